#include "settings/items/SettingBaseWithComboBox.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>

SettingBaseWithComboBox::SettingBaseWithComboBox(const QString& name, QWidget* parent)
    : SettingItem(name, parent) {
    combo_ = new QComboBox(this);
    combo_->setObjectName("cb_value");
    combo_->setMinimumWidth(120);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 4, 8, 4);
    row->addWidget(nameLabel());
    row->addStretch(1);
    row->addWidget(combo_);

    connect(combo_, &QComboBox::currentTextChanged, this,
            [this](const QString& text) { emit signalItemValueChanged(paramName(), text.toStdString()); });
}

void SettingBaseWithComboBox::addItem(const QString& option) {
    const QSignalBlocker quiet(combo_);
    combo_->addItem(option);
}

QStringList SettingBaseWithComboBox::items() const {
    QStringList options;
    for (int i = 0; i < combo_->count(); ++i) options.append(combo_->itemText(i));
    return options;
}

QString SettingBaseWithComboBox::currentText() const { return combo_->currentText(); }

void SettingBaseWithComboBox::setParameterInfo(const zelvan::EnumParameterInfo& info) {
    for (const std::string& option : info.options) addItem(QString::fromStdString(option));
    const int index = combo_->findText(QString::fromStdString(info.default_value));
    if (index >= 0) {
        const QSignalBlocker quiet(combo_);
        combo_->setCurrentIndex(index);
    }
    setToolTipText(QString::fromStdString(info.description));
}

void SettingBaseWithComboBox::slotItemValueChanged(std::string name, std::string value) {
    if (name != paramName()) return;
    const int index = combo_->findText(QString::fromStdString(value));
    if (index >= 0) combo_->setCurrentIndex(index);
}
