// A setting item for an enum parameter: the name and a combo box of the options in their order.
// A change of the current text reports signalItemValueChanged(paramName(), text). A value pushed in
// through slotItemValueChanged selects that option and, like any change of the current text, reports
// it when it differs from the option shown; a text that is no option is ignored.
#pragma once

#include <QString>
#include <QStringList>
#include <string>

#include "settings/items/SettingItem.h"
#include "zelvan/CameraTool.h"

class QComboBox;

class SettingBaseWithComboBox : public SettingItem {
    Q_OBJECT
public:
    explicit SettingBaseWithComboBox(const QString& name, QWidget* parent = nullptr);

    // Appends an option; the first option becomes the current one without being reported.
    void addItem(const QString& option);
    QStringList items() const;
    QString currentText() const;
    // The options in order, the default one shown (without a report), and the description.
    void setParameterInfo(const zelvan::EnumParameterInfo& info);

public slots:
    // Applied when `name` is this item's parameter.
    void slotItemValueChanged(std::string name, std::string value);

signals:
    void signalItemValueChanged(std::string name, std::string item);

private:
    QComboBox* combo_;
};
