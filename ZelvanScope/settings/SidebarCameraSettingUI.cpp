#include "settings/SidebarCameraSettingUI.h"

#include <QComboBox>

#include "settings/SidebarFrame.h"
#include "settings/items/SettingDisplayItem.h"
#include "settings/items/SettingItemBox.h"

SidebarCameraSettingUI::SidebarCameraSettingUI(QWidget* parent) : QWidget(parent) {
    setObjectName("sidebar_camera_setting");
    QVBoxLayout* boxes = buildSidebarFrame(this, tr("Camera Setting"));
    box_ = new SettingItemBox;
    box_->setObjectName("box_display");
    box_->setTitle(tr("Display"));
    display_ = new SettingDisplayItem;
    box_->addItem(display_);
    box_->setFolded(true);
    boxes->insertWidget(boxes->count() - 1, box_);

    connect(display_, &SettingDisplayItem::signalCumulativeTimeChanged, this,
            &SidebarCameraSettingUI::slotCumulativeTimeChanged);
    connect(display_, &SettingDisplayItem::signalFpsChanged, this, &SidebarCameraSettingUI::slotFpsChanged);
}

void SidebarCameraSettingUI::setCameraMode(bool camera) {
    cameraMode_ = camera;
    display_->slowRateBox()->setEnabled(!camera);
}

void SidebarCameraSettingUI::slotCumulativeTimeChanged(uint64_t time_us) {
    emit signalCumulativeTimeChanged(time_us);
}

void SidebarCameraSettingUI::slotFpsChanged(uint32_t fps) { emit signalFpsChanged(fps); }
