#include "settings/items/SettingItem.h"

#include <QCoreApplication>
#include <QLabel>

#include "settings/items/SettingNames.h"

namespace {
// Labels of the tools' parameters that are plain words; the sensors' bias names stay as they are.
[[maybe_unused]] const char* const kTranslatedLabels[] = {
    QT_TRANSLATE_NOOP("SettingItem", "Enable"),   QT_TRANSLATE_NOOP("SettingItem", "Mode"),
    QT_TRANSLATE_NOOP("SettingItem", "Type"),     QT_TRANSLATE_NOOP("SettingItem", "Threshold"),
    QT_TRANSLATE_NOOP("SettingItem", "Offset X"), QT_TRANSLATE_NOOP("SettingItem", "Offset Y"),
};
}  // namespace

SettingItem::SettingItem(const QString& name, QWidget* parent)
    : QWidget(parent), displayName_(toDisplayName(name)), paramName_(toParamName(displayName_)) {
    nameLabel_ =
        new QLabel(QCoreApplication::translate("SettingItem", displayName_.toUtf8().constData()), this);
    nameLabel_->setObjectName("lb_name");
}

void SettingItem::setToolTipText(const QString& text) { setToolTip(text); }
