// A setting item for an int parameter (float parameters are shown as whole numbers): the name, the
// unit, a horizontal slider, minus and plus buttons and a line edit that shows the value.
//
// Every move of the slider (drag, keys, the buttons, typed text, setValue) reports the new value:
// signalItemValueChanged(paramName(), v) and, when set, the change callback with the same pair.
// Typed text that is not a whole number inside [minimum, maximum] turns the field red (the style
// sheet's QLineEdit[state="invalid"]) and is not applied; the slider stays where it was. Values pushed
// in through slotItemValueChanged report themselves only when they move the slider, so a value read
// back from the camera is not echoed. Range changes clamp the value silently.
#pragma once

#include <QString>
#include <functional>
#include <string>

#include "settings/items/SettingItem.h"
#include "zelvan/CameraTool.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;

class SettingBaseWithLineEdit : public SettingItem {
    Q_OBJECT
public:
    using ChangeCallback = std::function<void(const std::string& name, int value)>;

    explicit SettingBaseWithLineEdit(const QString& name, QWidget* parent = nullptr);

    // The slider's range and the bounds of typed values (a maximum below the minimum is raised to it);
    // a value outside moves onto the nearer bound without being reported.
    void setRange(int minimum, int maximum);
    // Shows `value` in the field and on the slider; ignored outside [minimum, maximum].
    void setValue(int value);
    // The unit label reads "(unit)"; an empty unit or a single blank leaves it empty.
    void setUnit(const QString& unit);
    // Called with every reported change, after the signal.
    void setChangeCallback(ChangeCallback callback) { callback_ = std::move(callback); }
    // Marks the field as accepted (grey border) or rejected (red) by whoever applied the value.
    void setValueAccepted(bool accepted);

    // Range, default value, unit and description of a parameter; a float parameter's numbers are
    // truncated to whole numbers.
    void setParameterInfo(const zelvan::IntParameterInfo& info);
    void setParameterInfo(const zelvan::FloatParameterInfo& info);

    int minimum() const { return minimum_; }
    int maximum() const { return maximum_; }
    int value() const;
    QString unitText() const;

public slots:
    // Applied when `name` is this item's parameter.
    void slotItemValueChanged(std::string name, int value);
    // The value truncated to a whole number; values beyond the int range are ignored.
    void slotItemValueChanged(std::string name, float value);

signals:
    void signalItemValueChanged(std::string name, int value);

private slots:
    void slotSliderValueChanged(int value);
    void slotTextChanged(const QString& text);
    void slotPlusClicked();
    void slotMinusClicked();

private:
    void showValueText(int value);

    int minimum_ = 0;
    int maximum_ = 0;
    ChangeCallback callback_;
    QSlider* slider_;
    QLineEdit* edit_;
    QPushButton* plus_;
    QPushButton* minus_;
    QLabel* unit_;
};
