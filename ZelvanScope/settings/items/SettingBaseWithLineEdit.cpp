#include "settings/items/SettingBaseWithLineEdit.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "settings/items/StyleState.h"

namespace {

// The whole number a field shows, if it is one.
std::optional<int> parseValue(const QString& text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    if (!ok) return std::nullopt;
    return value;
}

// A float bound or value as the whole number the item edits (towards zero, kept in the int range).
// `value` as a whole number (`whole` of it: std::trunc, std::ceil or std::floor), within int.
int wholeOf(float value, double (*whole)(double) = std::trunc) {
    if (std::isnan(value)) return 0;
    const double t = whole(static_cast<double>(value));
    return static_cast<int>(
        std::clamp(t, double(std::numeric_limits<int>::min()), double(std::numeric_limits<int>::max())));
}

QPushButton* stepButton(const char* objectName, const char* icon, const QString& tip, QWidget* parent) {
    auto* button = new QPushButton(parent);
    button->setObjectName(objectName);
    button->setIcon(QIcon(icon));
    button->setIconSize(QSize(12, 12));
    button->setToolTip(tip);
    button->setFocusPolicy(Qt::NoFocus);
    button->setAutoRepeat(true);
    return button;
}

}  // namespace

SettingBaseWithLineEdit::SettingBaseWithLineEdit(const QString& name, QWidget* parent)
    : SettingItem(name, parent) {
    slider_ = new QSlider(Qt::Horizontal, this);
    slider_->setObjectName("slider_value");
    slider_->setRange(0, 0);
    edit_ = new QLineEdit(QStringLiteral("0"), this);
    edit_->setObjectName("le_value");
    edit_->setFixedWidth(72);
    edit_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    minus_ = stepButton("pb_minus", ":/img/assets/minus.svg", tr("Decrease"), this);
    plus_ = stepButton("pb_plus", ":/img/assets/plus.svg", tr("Increase"), this);
    unit_ = new QLabel(this);
    unit_->setObjectName("lb_unit");
    unit_->hide();

    auto* head = new QHBoxLayout;
    head->setSpacing(4);
    head->addWidget(nameLabel());
    head->addWidget(unit_);
    head->addStretch(1);
    auto* controls = new QHBoxLayout;
    controls->setSpacing(4);
    controls->addWidget(minus_);
    controls->addWidget(slider_, 1);
    controls->addWidget(plus_);
    controls->addWidget(edit_);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(8, 4, 8, 4);
    column->setSpacing(2);
    column->addLayout(head);
    column->addLayout(controls);

    connect(slider_, &QSlider::valueChanged, this, &SettingBaseWithLineEdit::slotSliderValueChanged);
    connect(edit_, &QLineEdit::textChanged, this, &SettingBaseWithLineEdit::slotTextChanged);
    connect(plus_, &QPushButton::clicked, this, &SettingBaseWithLineEdit::slotPlusClicked);
    connect(minus_, &QPushButton::clicked, this, &SettingBaseWithLineEdit::slotMinusClicked);
}

void SettingBaseWithLineEdit::setRange(int minimum, int maximum) {
    minimum_ = minimum;
    maximum_ = std::max(minimum, maximum);
    {
        const QSignalBlocker quiet(slider_);
        slider_->setRange(minimum_, maximum_);
    }
    showValueText(slider_->value());
}

void SettingBaseWithLineEdit::setValue(int value) {
    if (value < minimum_ || value > maximum_) return;
    slider_->setValue(value);  // reports the value when it moves the slider
    showValueText(value);
}

void SettingBaseWithLineEdit::setUnit(const QString& unit) {
    const bool none = unit.isEmpty() || unit == QStringLiteral(" ");
    unit_->setText(none ? QString() : QStringLiteral("(") + unit + QStringLiteral(")"));
    unit_->setVisible(!none);
}

void SettingBaseWithLineEdit::setValueAccepted(bool accepted) {
    setStyleState(edit_, "state", accepted ? "accepted" : "invalid");
}

void SettingBaseWithLineEdit::setParameterInfo(const zelvan::IntParameterInfo& info) {
    setRange(info.min, info.max);
    setValue(info.default_value);
    setUnit(QString::fromStdString(info.unit));
    setToolTipText(QString::fromStdString(info.description));
}

void SettingBaseWithLineEdit::setParameterInfo(const zelvan::FloatParameterInfo& info) {
    // Whole values only: every one the slider offers lies within the parameter's range.
    setRange(wholeOf(info.min, std::ceil), wholeOf(info.max, std::floor));
    setValue(wholeOf(info.default_value));
    setUnit(QString::fromStdString(info.unit));
    setToolTipText(QString::fromStdString(info.description));
}

int SettingBaseWithLineEdit::value() const { return slider_->value(); }

QString SettingBaseWithLineEdit::unitText() const { return unit_->text(); }

void SettingBaseWithLineEdit::slotItemValueChanged(std::string name, int value) {
    if (name == paramName()) setValue(value);
}

void SettingBaseWithLineEdit::slotItemValueChanged(std::string name, float value) {
    if (!std::isfinite(value)) return;
    const double t = std::trunc(static_cast<double>(value));
    if (t < std::numeric_limits<int>::min() || t > std::numeric_limits<int>::max()) return;
    slotItemValueChanged(std::move(name), static_cast<int>(t));
}

void SettingBaseWithLineEdit::slotSliderValueChanged(int value) {
    showValueText(value);
    const std::string& name = paramName();
    emit signalItemValueChanged(name, value);
    if (callback_) callback_(name, value);
}

void SettingBaseWithLineEdit::slotTextChanged(const QString& text) {
    const std::optional<int> value = parseValue(text);
    if (!value || *value < minimum_ || *value > maximum_) {
        setStyleState(edit_, "state", "invalid");
        return;
    }
    // The plain look first (accented while the field has the focus): whoever applies the value may
    // mark it accepted or rejected while the slider reports it.
    setStyleState(edit_, "state", QString());
    slider_->setValue(*value);
}

void SettingBaseWithLineEdit::slotPlusClicked() {
    const std::optional<int> value = parseValue(edit_->text());
    if (!value || static_cast<long long>(*value) + 1 > maximum_) return;
    setValue(*value + 1);
}

void SettingBaseWithLineEdit::slotMinusClicked() {
    const std::optional<int> value = parseValue(edit_->text());
    if (!value || static_cast<long long>(*value) - 1 < minimum_) return;
    setValue(*value - 1);
}

// Writes the value into the field unless the field already reads it (typing "007" stays as typed).
void SettingBaseWithLineEdit::showValueText(int value) {
    if (parseValue(edit_->text()) == value) return;
    edit_->setText(QString::number(value));
}
