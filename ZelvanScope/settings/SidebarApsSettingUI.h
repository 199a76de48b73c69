// The "APS Setting" panel of a fusion camera: the parameters of the frame sensor's control tool in a
// box "APS" (switches for bool parameters, line-edit items for int and float ones; enum parameters
// are not shown), the manual calibration offset between frame and events in a box "APS Manual
// Calibration" (Offset X and Offset Y, -100 to 100 frame pixels, and Apply), and the config bar
// (Default, Refresh, Load, Export) working on the fusion camera.
//
// Every change goes to the tool at once (CameraTool::setParam); a refused one is told (Error) and
// the item shows the tool's value again. Offsets are sent as a pair (signalManualCaliOffsetXY)
// whenever either changes; Apply asks for the corrected calibration to be stored
// (signalApplyCaliOffset). The offsets go back to 0, without being sent, when another camera (or
// none) is shown and once the calibration has taken them in (resetOffsets): they are always the
// translation on top of the calibration in use.
//
// Threads: GUI thread only; the tool is called synchronously.
#pragma once

#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "Utility/ViewerUtils.h"
#include "zelvan/CameraTool.h"
#include "zelvan/FusionCamera.h"

class AppSettings;
class QPushButton;
class QVBoxLayout;
class SettingBaseWithLineEdit;
class SettingItem;
class SettingItemBox;

class SidebarApsSettingUI : public QWidget {
    Q_OBJECT
public:
    static constexpr int kOffsetLimit = 100;

    explicit SidebarApsSettingUI(QWidget* parent = nullptr);
    ~SidebarApsSettingUI() override;

    // Shows the camera's frame control tool and the config bar; an empty camera clears the panel.
    void setFusionCamera(std::shared_ptr<zelvan::FusionCamera> camera,
                         std::shared_ptr<zelvan::CameraTool> tool);
    // The frame control box alone (rebuilt; an empty tool or one without parameters leaves none).
    void setApsToolUI(std::shared_ptr<zelvan::CameraTool> tool);
    void clear();
    // Sets both offsets and their items to 0 without sending them (the calibration took them in, or
    // was loaded anew).
    void resetOffsets();
    std::shared_ptr<zelvan::FusionCamera> camera() const { return camera_; }

    // What the config buttons do once their dialogs have given a path (also used by tests).
    bool loadConfigFile(const QString& path);
    bool exportConfigFile(const QString& path);
    bool loadDefaultConfig();
    // Shows the values of every tool of the camera in the items (signalSetValue per parameter).
    bool refreshFromCamera();

    // The widgets, for the window and tests.
    SettingItemBox* apsBox() const { return apsBox_; }
    SettingItemBox* calibrationBox() const { return calibrationBox_; }
    SettingBaseWithLineEdit* offsetXItem() const { return offsetX_; }
    SettingBaseWithLineEdit* offsetYItem() const { return offsetY_; }
    QPushButton* applyButton() const { return apply_; }
    QWidget* configBar() const { return configBar_; }
    SettingItem* item(const std::string& name) const;
    double offsetX() const { return offsetXValue_; }
    double offsetY() const { return offsetYValue_; }

signals:
    void signalManualCaliOffsetXY(double x, double y);
    void signalApplyCaliOffset();
    void signalShowLeftBottomTips(QString tips, ZvMessageType type, QString file_path);
    void signalShowLeftBottomTips(QString tips, ZvMessageType type);
    void signalShowLeftBottomTips(QString tips);
    void signalSetValue(std::string name, int value);
    void signalSetValue(std::string name, bool value);
    void signalSetValue(std::string name, float value);
    void signalSetValue(std::string name, std::string value);
    // A file or the defaults were loaded into the camera: every tool, not only the frame sensor's, may
    // have other values now (emitted after a failed load too).
    void signalCameraToolsLoaded();

public slots:
    void onApsBoolValueChanged(std::string name, bool value);
    void onApsSliderValueChanged(std::string name, int value);
    void onApsSliderFloatValueChanged(std::string name, int value);
    void slotExportConfig();
    void slotLoadConfig();
    void slotRefreshConfig();
    void slotDefaultConfig();

private:
    struct Entry {
        std::string name;
        zelvan::ParameterType type;
        SettingItem* item;
    };
    bool applyChange(const std::string& name, const zelvan::ParameterValue& value);
    // Pushes the tool's value of `entry` into its item (not sent back); false when unreadable.
    bool showToolValue(const Entry& entry);
    // Loads `path` into the camera, shows every tool's values again and tells the outcome (the toast
    // names `shown`); `failure` is the text of a failed load.
    bool applyFile(const QString& path, const QString& failure, const QString& shown);
    void tip(const QString& text, ZvMessageType type, const QString& path = QString());

    AppSettings* settings_;
    std::shared_ptr<zelvan::FusionCamera> camera_;
    std::shared_ptr<zelvan::CameraTool> tool_;
    std::vector<Entry> entries_;
    QVBoxLayout* boxes_;
    QWidget* configBar_;
    SettingItemBox* apsBox_ = nullptr;
    SettingItemBox* calibrationBox_ = nullptr;
    SettingBaseWithLineEdit* offsetX_ = nullptr;
    SettingBaseWithLineEdit* offsetY_ = nullptr;
    QPushButton* apply_ = nullptr;
    double offsetXValue_ = 0.0;
    double offsetYValue_ = 0.0;
    bool resettingOffsets_ = false;
    bool showingToolValues_ = false;
};
