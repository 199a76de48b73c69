#include "settings/items/SettingBaseWithSwitchButton.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

SettingBaseWithSwitchButton::SettingBaseWithSwitchButton(const QString& name, QWidget* parent)
    : SettingItem(name, parent) {
    switch_ = new QPushButton(this);
    // Like every button of the window, it never takes the focus: Space stays the play key.
    switch_->setFocusPolicy(Qt::NoFocus);
    switch_->setObjectName("pb_switch");
    switch_->setCheckable(true);
    switch_->setToolTip(tr("Enable"));
    switch_->setCursor(Qt::PointingHandCursor);
    // The switch takes its look from the icon: off, and on in the On state.
    QIcon icon;
    icon.addFile(":/img/assets/switch_off.svg", QSize(), QIcon::Normal, QIcon::Off);
    icon.addFile(":/img/assets/switch_on.svg", QSize(), QIcon::Normal, QIcon::On);
    switch_->setIcon(icon);
    switch_->setIconSize(QSize(36, 20));

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 4, 8, 4);
    row->addWidget(nameLabel());
    row->addStretch(1);
    row->addWidget(switch_);

    connect(switch_, &QPushButton::clicked, this,
            [this](bool checked) { emit signalItemValueChanged(paramName(), checked); });
}

bool SettingBaseWithSwitchButton::isChecked() const { return switch_->isChecked(); }

void SettingBaseWithSwitchButton::setChecked(bool checked) { switch_->setChecked(checked); }

void SettingBaseWithSwitchButton::setParameterInfo(const zelvan::BoolParameterInfo& info) {
    setChecked(info.default_value);
    setToolTipText(QString::fromStdString(info.description));
}

void SettingBaseWithSwitchButton::slotItemValueChanged(std::string name, bool value) {
    if (name == paramName()) setChecked(value);
}
