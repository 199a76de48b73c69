// The "Camera Setting" panel: display settings that apply to any source, in one box "Display" with
// the accumulation time (event time per shown frame) and the slow rate (how much slower than real
// time recordings play). The box starts folded.
#pragma once

#include <QWidget>
#include <cstdint>

class SettingDisplayItem;
class SettingItemBox;

class SidebarCameraSettingUI : public QWidget {
    Q_OBJECT
public:
    explicit SidebarCameraSettingUI(QWidget* parent = nullptr);

    SettingItemBox* displayBox() const { return box_; }
    SettingDisplayItem* displayItem() const { return display_; }

    // Camera mode (a live camera is shown): the slow rate, which paces recordings only, is not
    // offered. File mode (a recording, or nothing open): both settings are.
    void setCameraMode(bool camera);
    bool isCameraMode() const { return cameraMode_; }

signals:
    void signalCumulativeTimeChanged(uint64_t time_us);
    void signalFpsChanged(uint32_t fps);

private slots:
    void slotCumulativeTimeChanged(uint64_t time_us);
    void slotFpsChanged(uint32_t fps);

private:
    SettingItemBox* box_;
    SettingDisplayItem* display_;
    bool cameraMode_ = false;
};
