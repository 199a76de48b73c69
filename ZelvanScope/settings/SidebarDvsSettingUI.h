// The "DVS Setting" panel: one foldable box per camera tool (biases, trigger in, anti-flicker, event
// rate control, event trail filter, region of interest), built from the tool's parameter
// descriptions. Every change goes at once to the tool (CameraTool::setParam) and, once the camera
// accepted it, into the current camera parameter file of AppSettings under the tool's key
// ("Biases", "TirggerIn" (the key existing files use), "AntiFlicker", "EventRateControl",
// "EventTrailFilter", "ROI"), so that the camera starts with the same values next time.
//
// For an event camera a bar of four buttons loads the default parameters, re-reads the camera, loads
// a file or exports one. After each of them, and whenever a change was refused, the items show the
// values read back from the camera's tools; values pushed into the items in this way are never sent
// back to the camera. A rectangle drawn on the image view can be applied as region of interest.
// The event sensor of a fusion camera is shown without the trigger-in box and without the bar.
//
// Failures reach the user as toasts (signalShowLeftBottomTips): a refused value (Error, once until
// that parameter is accepted again), a value that cannot be recorded in the parameter file (Warning,
// once until a value is recorded again), a failed load, export or read-back (Error).
//
// Threads: GUI thread only; the tools are called synchronously.
#pragma once

#include <QRect>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <array>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Utility/ViewerUtils.h"
#include "zelvan/CameraTool.h"
#include "zelvan/DvsCamera.h"
#include "zelvan/FusionCamera.h"

class AppSettings;
class QLabel;
class QPushButton;
class QVBoxLayout;
class SettingBaseWithLineEdit;
class SettingItem;
class SettingItemBox;

class SidebarDvsSettingUI : public QWidget {
    Q_OBJECT
public:
    // Which camera the panel serves.
    enum class Source {
        EventCamera,   // the config bar and every tool
        FusionCamera,  // the event sensor of a fusion camera: no trigger-in box, no config bar
    };
    // The tools, in the order the window passes them and the boxes stand.
    enum class Tool { Biases, TriggerIn, AntiFlicker, EventRateControl, EventTrailFilter, Roi };
    static constexpr int kToolCount = 6;

    explicit SidebarDvsSettingUI(QWidget* parent = nullptr);
    ~SidebarDvsSettingUI() override;

    void setSource(Source source);
    Source source() const { return source_; }

    // Tool setters: each removes the tool's box and, for a tool with parameters, builds it again
    // (folded) at the end of the boxes. An empty tool leaves no box.
    void setBiasesToolUI(std::shared_ptr<zelvan::CameraTool> tool);
    void setTriggerInToolUI(std::shared_ptr<zelvan::CameraTool> tool);
    void setAntiFlickerToolUI(std::shared_ptr<zelvan::CameraTool> tool);
    void setEventRateControlToolUI(std::shared_ptr<zelvan::CameraTool> tool);
    void setEventTrailFilterToolUI(std::shared_ptr<zelvan::CameraTool> tool);
    // `fileKey` names the member of the parameter file that records the ROI's values ("ROI" when
    // empty).
    void setROIToolUI(std::shared_ptr<zelvan::CameraTool> tool, std::string fileKey);
    // Keeps the event camera (empty: none) and shows the config bar for it. Unless the camera is on
    // Ethernet or is the GenX320 camera "Zelvan.320camera", the current parameter file of AppSettings
    // is applied to it when that file exists; values it refuses are told in a Warning toast.
    void setCamera(std::shared_ptr<zelvan::DvsCamera> camera);
    std::shared_ptr<zelvan::DvsCamera> camera() const { return camera_; }

    // The whole panel for an open event camera: setCamera, a box for each of its tools, and the
    // camera's values in the items.
    void showEventCamera(std::shared_ptr<zelvan::DvsCamera> camera);
    // The whole panel for the event sensor of an open fusion camera: no config bar, no trigger-in box;
    // changes are recorded in the current fusion-camera parameter file.
    void showFusionCamera(std::shared_ptr<zelvan::FusionCamera> camera);
    // No camera, no boxes, no config bar; rectangle selection on the image is switched off.
    void clear();

    // What the config buttons do once their file dialogs have given a path (also used by tests).
    // Each reports its outcome as a toast, shows the camera's values in the items and returns
    // whether it succeeded.
    bool loadConfigFile(const QString& path);
    bool exportConfigFile(const QString& path);
    // The save dialog of an export in `folder`; a name typed without suffix gets ".json", and an
    // existing file of that name is replaced only when the user agrees. Empty when given up.
    static QString askExportPath(QWidget* parent, const QString& folder);
    // The reason of a configuration load or export, for the user.
    static QString configErrorMessage(zelvan::ConfigError error);
    // The default file, or for the GenX320 camera (which the file does not describe) every
    // parameter's own default.
    bool loadDefaultConfig();
    // Shows the values of the tools in the items; false (with an Error toast) when one cannot be read.
    bool refreshFromCamera();

    // Sets one integer parameter of the ROI tool: on success the items show it and it is recorded;
    // the border of every ROI field turns grey on success and red on failure.
    bool setRoiParam(const std::string& name, int value);

    // The widgets, for the window and tests.
    SettingItemBox* toolBox(Tool tool) const;
    std::shared_ptr<zelvan::CameraTool> tool(Tool tool) const;
    // The item of a tool's parameter; null when the box does not show it.
    SettingItem* item(Tool tool, const std::string& name) const;
    QWidget* configBar() const { return configBar_; }
    // The items of the ROI box's integer parameters.
    const std::vector<SettingBaseWithLineEdit*>& roiItems() const { return roiItems_; }

signals:
    // A change failed because the camera is no longer connected.
    void signalCameraGone();
    void signalCumulativeTimeChanged(uint64_t time_us);
    void signalFpsChanged(uint32_t fps);
    void signalShowLeftBottomTips(QString tips, ZvMessageType type, QString file_path);
    void signalShowLeftBottomTips(QString tips, ZvMessageType type);
    void signalShowLeftBottomTips(QString tips);
    // Values delivered by name (slotParamChangedDelivery): every item of that name and kind takes
    // them, whichever box it is in.
    void signalSetValue(std::string name, int value);
    void signalSetValue(std::string name, bool value);
    void signalSetValue(std::string name, float value);
    void signalSetValue(std::string name, std::string value);
    // Rectangle selection on the image view follows the ROI's "enable".
    void signalRoiSelectionEnabled(bool enabled);

public slots:
    void onBiasSliderValueChanged(std::string name, int value);
    void onTriggerInSliderValueChanged(std::string name, bool value);
    void onAntiFlickerSliderValueChanged(std::string name, int value);
    void onAntiFlickerSliderValueChanged(std::string name, bool value);
    void onAntiFlickerSliderFloatValueChanged(std::string name, int value);
    void onAntiFlickerSliderEnumValueChanged(std::string name, std::string value);
    void onEventRateControlSliderValueChanged(std::string name, int value);
    void onEventRateControlSliderValueChanged(std::string name, bool value);
    void onEventTrailFilterSliderValueChanged(std::string name, int value);
    void onEventTrailFilterSliderValueChanged(std::string name, bool en);
    void onEventTrailFilterSliderValueChanged(std::string name, std::string value);
    void onROISliderValueChanged(std::string name, bool value);
    void onROISliderValueChanged(std::string name, std::string value);

    void slotCumulativeTimeChanged(uint64_t time_us);
    void slotFpsChanged(uint32_t fps);
    void slotExportConfig();
    void slotLoadConfig();
    void slotRefreshConfig();
    void slotDefaultConfig();
    void slotParamChangedDelivery(std::string name, int value);
    void slotParamChangedDelivery(std::string name, bool value);
    void slotParamChangedDelivery(std::string name, float value);
    void slotParamChangedDelivery(std::string name, std::string value);
    // Applies a rectangle in image pixels as the ROI: width, height, x, then y, each through the
    // tool's integer parameter whose name matches one of the coordinate's aliases.
    void slotApplyRoiFromImage(QRect roi);

    // True while accepted changes wait to be read back and recorded (a moment after the last one).
    bool settling() const { return !unsettled_.empty(); }

private:
    // One item of a box, bound to the tool's parameter `name`.
    struct Entry {
        std::string name;
        zelvan::ParameterType type;
        SettingItem* item;
    };
    struct Panel {
        std::shared_ptr<zelvan::CameraTool> tool;
        SettingItemBox* box = nullptr;
        std::vector<Entry> entries;
        std::string fileKey;
    };

    void setToolBox(Tool which, std::shared_ptr<zelvan::CameraTool> tool, std::string fileKey = {});
    void addEntry(Tool which, Panel& panel, const std::string& name, zelvan::ParameterType type);
    // Sends a change to the tool; records it when accepted, shows the camera's value when refused.
    bool applyChange(Tool which, const std::string& name, const zelvan::ParameterValue& value);
    void record(Tool which, const std::string& name, const zelvan::ParameterValue& value);
    // Writes all the camera has into the current parameter file (after a load or the defaults).
    void recordCameraState();
    void noteOutcome(Tool which, const std::string& name, const zelvan::ParameterValue& value, bool accepted);
    // Reads one parameter from the tool; false when the tool cannot give it.
    bool readCameraValue(Tool which, const Entry& entry, zelvan::ParameterValue& value) const;
    // Reads one parameter from the tool into its item (without sending it back); false when the
    // tool cannot give it.
    bool showCameraValue(Tool which, const Entry& entry);
    // An accepted change settles a moment after the last one: its item shows what the camera took
    // (a tool may round what it is given) and the file records that. Settling at once (before the
    // tools go) is what clear() does.
    void queueSettle(Tool which, const std::string& name);
    void settle();
    // Shows the values settled while their field was being edited, once it is not any more.
    void showUndisplayed();
    // True while the user types into the item's text field.
    static bool isBeingTyped(const Entry& entry);
    bool showCameraValue(Tool which, const std::string& name);
    // Rectangle selection follows the ROI tool's "enable" as the camera has it.
    void followRoiEnable();
    void updateEmptyHint();
    void tip(const QString& text, ZvMessageType type, const QString& path = QString());
    // Sets every parameter of every tool of the camera to its described default; false, with the first
    // refused one in `why`, when the camera refused any (the others are still set).
    bool applyToolDefaults(QString& why);
    // After a refused change: when the camera has gone, emits signalCameraGone and returns true.
    bool cameraGone();
    // The camera shown has lost its device.
    bool lost() const;

    Source source_ = Source::EventCamera;
    AppSettings* settings_;
    std::shared_ptr<zelvan::DvsCamera> camera_;
    std::shared_ptr<zelvan::FusionCamera> fusionCamera_;  // the fusion camera whose event sensor is shown
    std::array<Panel, kToolCount> panels_;
    std::vector<SettingBaseWithLineEdit*> roiItems_;
    QVBoxLayout* boxes_;
    QWidget* configBar_;
    QLabel* emptyHint_;  // shown while there is no box
    // True while values read from the camera are pushed into the items: what the items report
    // meanwhile is not sent back.
    bool showingCameraValues_ = false;
    // "tool.parameter" of the refusals told; a parameter is told again after it was accepted.
    std::set<std::string> refusalsTold_;
    // A failure to record a value is told once until a value is recorded again.
    bool recordFailureTold_ = false;
    // Accepted changes waiting to settle, and the timer that settles them.
    std::vector<std::pair<Tool, std::string>> unsettled_;
    QTimer settleTimer_;
    std::vector<std::pair<Tool, std::string>> undisplayed_;
    // The open camera's changes are recorded in the current parameter file (not for cameras that
    // file is never applied to).
    bool recordsToFile_ = false;
};
