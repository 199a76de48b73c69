// A setting item for a bool parameter: the name and a checkable switch ("Enable" as its tooltip).
// A click reports signalItemValueChanged(paramName(), checked); a value pushed in through
// slotItemValueChanged only sets the switch.
#pragma once

#include <QString>
#include <string>

#include "settings/items/SettingItem.h"
#include "zelvan/CameraTool.h"

class QPushButton;

class SettingBaseWithSwitchButton : public SettingItem {
    Q_OBJECT
public:
    explicit SettingBaseWithSwitchButton(const QString& name, QWidget* parent = nullptr);

    bool isChecked() const;
    // Sets the switch without reporting it.
    void setChecked(bool checked);
    // Default value and description of a parameter.
    void setParameterInfo(const zelvan::BoolParameterInfo& info);

public slots:
    // Applied when `name` is this item's parameter.
    void slotItemValueChanged(std::string name, bool value);

signals:
    void signalItemValueChanged(std::string name, bool value);

private:
    QPushButton* switch_;
};
