// What every setting item shares: the parameter it is bound to and the label that names it. The
// label shows toDisplayName(name) (translated where the translation files know the words); changes
// are reported under toParamName of the untranslated label, so a translation never changes the name
// a camera tool receives.
#pragma once

#include <QString>
#include <QWidget>
#include <string>

class QLabel;

class SettingItem : public QWidget {
    Q_OBJECT
public:
    // The name reported with every change and matched by the slots that push values in.
    const std::string& paramName() const { return paramName_; }
    // The label's untranslated text ("Bias Diff On").
    const QString& displayName() const { return displayName_; }
    // The tooltip of the whole item (the parameter's description); a part with its own tooltip, such
    // as a switch's "Enable", keeps that one.
    void setToolTipText(const QString& text);

protected:
    SettingItem(const QString& name, QWidget* parent);
    QLabel* nameLabel() const { return nameLabel_; }

private:
    QString displayName_;
    std::string paramName_;
    QLabel* nameLabel_;
};
