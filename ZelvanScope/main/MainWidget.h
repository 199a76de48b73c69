// The viewer's main window: opens cameras, shows the live stream, records, routes messages to toasts.
#pragma once

#include <QAction>
#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "Utility/ViewerUtils.h"
#include "zelvan/DvsCamera.h"
#include "zelvan/DvsCameraManager.h"
#include "zelvan/FusionCamera.h"

namespace Ui {
class MainWidget;
}
class AppSettings;
class QMimeData;
class LiveSession;
class RecordingController;
class ZvFileRecorder;
class ShowImageForm;
class SidebarApsSettingUI;
class SidebarCameraSettingUI;
class SidebarDvsSettingUI;
class WaitingWindow;
class ZvEventProcessor;
class ZvFusionCameraDataProcessor;

enum ViewerMode { NoDevice = 0, EventCamera = 1, FusionCamera = 2, RawFile = 3, FusionFile = 4 };

class MainWidget : public QWidget {
    Q_OBJECT
public:
    // Set on the application when the user asked for a restart (a language change): main() starts
    // the program again once this window has been released.
    static constexpr const char* kRestartProperty = "zelvanRestart";

    explicit MainWidget(QWidget* parent = nullptr);
    ~MainWidget() override;

    // Searches for cameras as "Open Camera" does before showing the list.
    std::vector<zelvan::CameraDescription> searchCameras();
    // Opens the described camera as "Open Camera" does after the user picked it (steps after the
    // camera list), leaving the open one first (its recording is ended). Returns when the camera is
    // open (or failed).
    void openCameraByDescription(const zelvan::CameraDescription& description);

    // Opens a recording as "Open Recording" does after the user chose `path` (steps after the file
    // dialog): the camera is released and the event processor loads and plays the file. A path that
    // names no readable ".raw" file is refused with an Error toast and changes nothing. The file
    // becomes the first of File > Open Recent.
    void openRecording(const QString& path);
    // The one ".raw" file a drag carries, or an empty string when it carries anything else.
    static QString droppedRecording(const QMimeData* mime);
    zelvan::STREAM_TYPE viewerShowType() const { return viewerShowType_; }

    // For tests and the status line.
    ViewerMode viewerMode() const { return viewerMode_; }
    std::shared_ptr<zelvan::DvsCamera> eventCamera() const;
    ZvEventProcessor* eventProcessor() const { return eventProcessor_; }
    // The open event camera's stream (tests and benchmarks).
    LiveSession* liveSession() const { return live_.get(); }
    ZvFusionCameraDataProcessor* fusionProcessor() const { return fusionProcessor_; }
    std::shared_ptr<zelvan::FusionCamera> fusionCamera() const { return fusionCamera_; }
    SidebarApsSettingUI* apsSidebar() const { return apsSidebar_; }
    // The firmware version read from the open fusion camera.
    QString firmwareVersion() const { return QString::fromStdString(firmwareVersion_); }
    // True while the fusion camera streams both sensors.
    bool isFusionLive() const { return fusionLive_; }
    // True while the record button records the fusion camera, and while its files are completed.
    bool isFusionRecording() const { return fusionRecording_; }
    bool isFinishingFusionRecording() const { return fusionStopWatcher_.isRunning(); }
    // Runs on the thread that completes a fusion recording, before the camera is asked to (tests
    // hold the completion with it).
    void setFusionStopHookForTesting(std::function<void()> hook) { fusionStopHook_ = std::move(hook); }
    ShowImageForm* imageForm() const;
    Ui::MainWidget* form() const { return ui_.get(); }
    ZvFileRecorder* recorder() const;
    bool isLiveRunning() const;
    // True while the record button records.
    bool isRecording() const;
    QString statisticsText() const;
    uint64_t accumulationTime() const { return accumulationTime_; }
    // The batch time the live camera streams with (microseconds).
    uint64_t liveBatchTime() const;
    SidebarCameraSettingUI* cameraSidebar() const { return cameraSidebar_; }
    SidebarDvsSettingUI* dvsSidebar() const { return dvsSidebar_; }
    // The stream time of the latest events shown (microseconds).
    uint64_t latestTimestamp() const;
    // The path of the latest recording started with the record button.
    QString lastRecordingPath() const;
    // True while the record button's recording is being ended and its file completed.
    bool isFinishingRecording() const;
    // True while camera calls that wait for files run (ending a recording, changing the
    // pre-trigger cache); the record button waits for them.
    bool isCameraBusy() const;
    // What the trigger-in handler does with one trigger, on the GUI thread (also used by tests).
    void onTriggerIn(zelvan::EventTriggerIn trigger);
    // The statistics label: the rates of the latest statistics report, or nothing (also used by tests).
    void setStatistics(uint64_t data_rate, uint64_t event_rate);
    void clearStatistics();

signals:
    void triggerEventsToShow();
    void resetShowCameraFormTitle(bool);
    void toShowCameraSerial(QString);
    void setShowCameraLiveUI(bool);
    void signalSetViewerShowType(zelvan::STREAM_TYPE);
    void signalShowLeftBottomTips(QString tips, ZvMessageType type, QString file_path);
    void signalShowLeftBottomTips(QString tips, ZvMessageType type);
    void signalShowLeftBottomTips(QString tips);
    void signalOpenRawFile(QString);
    void signalOpenFusionFile(QString);
    void signalExportVideo(QString out_path, QString out_dir, uint64_t start_ts, uint64_t end_ts);
    void signalCutRawFile(QString out_path, QString out_dir, uint64_t start_ts, uint64_t end_ts);
    void signalRecByTime(uint32_t, QString path);
    void signalImageReslotionChanged(int width, int height);

public slots:
    void initDvsCameraSettings();
    void showCameraPlayingUI(bool en);
    void on_pb_record_clicked();
    void openActionSlot(QAction* action);
    void slotOpenRecording();
    void slotShowToolIPConfig();
    void slotSaveAs();
    void slotCutRecording();
    void slotOpenCamera();
    void slotGeneralSetting();
    void slotSwitchLanguage();
    void slotAbout();
    void slotShowCameraInfo();
    void setShowTitleInfo(bool show);
    void showCameraSerial(QString str);
    void showTimeStamp(uint64_t timestamp_us);
    void showLocalTime(QString local_time);
    void on_pb_fold_setting_clicked(bool checked);
    void on_pb_viewer_setting_clicked(bool checked);
    void slotStartEndPointEditable(bool en);
    void on_pb_fold_general_setting_clicked();
    void on_pb_fold_dvs_setting_clicked(bool checked);
    void on_pb_fold_aps_setting_clicked(bool checked);
    void on_pb_viewer_type_clicked();
    void on_pb_play_clicked(bool checked);
    void slotShowLeftBottomTips(QString tips, ZvMessageType type, QString file_path);
    void slotShowLeftBottomTips(QString tips, ZvMessageType type);
    void slotShowLeftBottomTips(QString tips);
    void getEventsToShow();
    void slotSetSliderStartTime(uint64_t);
    void slotSetSliderEndTime(uint64_t ts);
    void slotSetWaitWinStatus(bool en);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // No recording file, cut or export is still being written (a close waits for them).
    bool filesComplete() const;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void changeEvent(QEvent* event) override;
    // A single ".raw" file dropped on the window opens as File > Open Recording would.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void buildMenus();
    // The playback position and the end handle's time under the slider.
    void showSliderTime();
    // File > Open Recent: the settings' recent recordings, then "Clear Recent".
    void fillRecentMenu();
    // After a load that ended without a recording: the window shows none.
    void forgetFailedRecording();
    void openRecentRecording(const QString& path);
    // Space, Left and Right: true when `key` is one of them (and has been handled).
    bool handlePlayBarKey(int key);
    // True when the play button has something to start: a connected camera or an open recording.
    bool canPlay() const;
    void centreWaitingWindow();
    // Runs `work` on a worker thread while the busy window shows (events are handled meanwhile),
    // then `done` on the GUI thread, once.
    void runBehindWaitingWindow(std::function<void()> work, std::function<void()> done);
    // Ends a close that waited for the files once nothing is left to wait for.
    void closeIfIdle();
    void finishHeldClose();
    void setActionTexts();
    std::shared_ptr<zelvan::DvsCamera> openCameraTask(const std::string& serial);
    // Opens the fusion camera on the worker thread: the firmware check (the version is handed back in
    // `firmware`), the calibration and the callbacks that feed the fusion processor. Null when the
    // camera cannot be opened.
    std::shared_ptr<zelvan::FusionCamera> openFusionCameraTask(const std::string& serial,
                                                               std::string& firmware);
    void openFusionCamera(const zelvan::CameraDescription& description);
    void installFusionCamera(std::shared_ptr<zelvan::FusionCamera> camera, const std::string& serial);
    // Ends the fusion camera's recording and stream and lets the camera go (destroyed).
    void releaseFusionCamera();
    void fusionPlayClicked(bool checked);
    // Stops both streams of the fusion camera; a stop that reports a failure is told.
    void stopFusionStreams();
    // Waits until the fusion recording's files are complete, behind the busy window (the window goes
    // on handling events meanwhile).
    void waitForFusionRecordingFiles();
    void fusionRecordClicked();
    // Ends the fusion recording; its outcome is told once the files are complete.
    void stopFusionRecording();
    void watchFusionCamera();
    void connectFusionProcessor();
    void installEventCamera(std::shared_ptr<zelvan::DvsCamera> camera, const std::string& serial);
    void releaseEventCamera();
    void cameraLost();
    void showViewerType(zelvan::STREAM_TYPE type);
    // The accumulation time of the camera sidebar: the live camera's batch time.
    void setAccumulationTime(uint64_t time_us);
    // Shows `page` in the sidebar area when `button` is checked (unchecking the other fold buttons),
    // or hides the area; the image view takes the rest of the width.
    void showSidebar(QWidget* page, QPushButton* button);
    void connectPlayback();
    // One slider marker per trigger edge: red for rising, green for falling edges.
    void showTriggers(const std::vector<std::pair<uint64_t, uint8_t>>& triggers);

    std::unique_ptr<Ui::MainWidget> ui_;
    AppSettings* settings_ = nullptr;
    zelvan::DvsCameraManager manager_;
    std::string firmwareVersion_;
    uint64_t accumulationTime_ = 33333;
    zelvan::STREAM_TYPE viewerShowType_ = zelvan::DVS;
    QString statusPrefix_, bandwidthText_, eventRateText_, statusSuffix_;
    ViewerMode viewerMode_ = NoDevice;
    bool centred_ = false;        // the first show centres the window
    bool closeWhenIdle_ = false;  // a close waits for the recordings' files
    // A file the close waited for failed: the window stays so that the user reads why.
    bool closeMetError_ = false;

    ZvEventProcessor* eventProcessor_ = nullptr;
    ZvFusionCameraDataProcessor* fusionProcessor_ = nullptr;
    std::shared_ptr<zelvan::FusionCamera> fusionCamera_;
    bool fusionLive_ = false;
    bool fusionRecording_ = false;
    QString fusionRecordingBase_;
    QElapsedTimer fusionRecordingClock_;
    QTimer fusionRecordingTimer_;  // ticks the recording time
    QTimer fusionWatch_;           // notices a lost fusion camera
    QFutureWatcher<int> fusionStopWatcher_;
    std::function<void()> fusionStopHook_;
    std::unique_ptr<LiveSession> live_;                // the open event camera and its stream
    std::unique_ptr<RecordingController> recordings_;  // the record button and trigger-in recordings
    WaitingWindow* waitingWindow_ = nullptr;
    SidebarCameraSettingUI* cameraSidebar_ = nullptr;  // owned by the sidebar area
    SidebarDvsSettingUI* dvsSidebar_ = nullptr;        // owned by the sidebar area
    SidebarApsSettingUI* apsSidebar_ = nullptr;        // owned by the sidebar area
    static constexpr int kSidebarWidth = 400;
    QMenu* fileMenu_ = nullptr;
    QMenu* deviceMenu_ = nullptr;
    QMenu* settingMenu_ = nullptr;
    QMenu* helpMenu_ = nullptr;
    QMenu* toolsMenu_ = nullptr;
    QMenu* viewerSettingMenu_ = nullptr;
    QAction* actOpenRecording_ = nullptr;
    QMenu* recentMenu_ = nullptr;
    QAction* actSaveAs_ = nullptr;
    QAction* actCutRecording_ = nullptr;
    QAction* actQuit_ = nullptr;
    QAction* actOpenCamera_ = nullptr;
    QAction* actCameraInfo_ = nullptr;
    QAction* actGeneralSetting_ = nullptr;
    QAction* actLanguage_ = nullptr;
    QAction* actAbout_ = nullptr;
    QAction* actIpConfig_ = nullptr;
    QAction* actStartEndPoint_ = nullptr;
};
