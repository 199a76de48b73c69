// The recordings of the camera shown: the record button's (its file name, clock and completion) and
// the trigger-in ones (the pre-trigger cache, the trigger callback, the timed recorder).
#pragma once

#include <QElapsedTimer>
#include <QFuture>
#include <QFutureWatcher>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>
#include <memory>

#include "Utility/ViewerUtils.h"
#include "Utility/ZvFileRecorder.h"
#include "zelvan/DvsCamera.h"

class AppSettings;

// Threads: every member function runs on the GUI thread. Camera calls that wait for files (ending a
// recording and completing its file, changing the pre-trigger cache, which waits for a running
// merge) run in order on one camera I/O thread; their results come back to the GUI thread. Trigger
// edges arrive on a driver thread and are handed to the GUI thread (triggerArrived) while the
// camera they come from is still the one given.
class RecordingController : public QObject {
    Q_OBJECT
public:
    explicit RecordingController(AppSettings* settings, QObject* parent = nullptr);
    // Ends the recordings on the cameras they started on and waits until their files are complete.
    ~RecordingController() override;

    // The camera shown. Another one (or none) ends the record button's recording and the
    // trigger-in recording of the previous one.
    void setCamera(std::shared_ptr<zelvan::DvsCamera> camera);

    // The record button's recording into the output folder: a refusal is told through tip().
    void startManual();
    void stopManual();
    bool isRecording() const { return recording_; }
    // True while the record button's recording is being ended and its file completed.
    bool isFinishing() const { return finishWatcher_.isRunning(); }
    // True while camera calls that wait for files run; the record button waits for them.
    bool isBusy() const { return cameraTasks_ > 0; }
    // No camera task and no trigger-in recording runs.
    bool isIdle() const { return cameraTasks_ == 0 && !recorder_->isRecording(); }
    QString lastRecordingPath() const { return lastRecordingPath_; }
    ZvFileRecorder* recorder() const { return recorder_.get(); }

    // Applies the trigger-in settings to the camera (pre-trigger cache, trigger callback). During a
    // recording the cache cannot change: the settings then apply when it ends (and a Warning says so).
    void applyTriggerInSettings();
    // The camera shown was lost: its recordings end, keeping what it delivered.
    void cameraLost();
    // Ends every recording (the window closes).
    void endAll();

signals:
    // The record button's recording started (true) or ended (false).
    void recordingChanged(bool recording);
    // The recording clock's text ("00:00:07"), empty when no recording runs.
    void elapsedChanged(QString text);
    void busyChanged(bool busy);
    // Nothing left to wait for (see isIdle()).
    void idle();
    // A message for the user about the record button's recording or the settings (the timed
    // recorder's own messages come from recorder()).
    void tip(QString text, ZvMessageType type, QString file_path);
    // A trigger edge of the camera shown, on the GUI thread.
    void triggerArrived(zelvan::EventTriggerIn trigger);
    // The recording clock found the camera shown gone while it recorded.
    void recordedCameraLost();

private:
    void clockTick();
    void finished(const RecordingOutcome& outcome);
    // Counts `task` as a camera task (the record button and a close wait for it) and, once it has
    // finished, runs `done` and then ends the count, on the GUI thread, through a watcher this
    // object owns: nothing runs after this object has gone (a QFuture continuation would, when its
    // event is dropped at destruction).
    template <typename T, typename Done>
    void trackCameraTask(QFuture<T> task, Done done) {
        if (cameraTasks_++ == 0) emit busyChanged(true);
        auto* watcher = new QFutureWatcher<T>(this);
        connect(watcher, &QFutureWatcherBase::finished, this,
                [this, watcher, done = std::move(done)]() mutable {
                    done(*watcher);
                    watcher->deleteLater();
                    taskDone();
                });
        watcher->setFuture(std::move(task));
    }
    void taskDone();
    void holdBackTriggerInSettings();
    void applyPendingTriggerInSettings();
    void installTriggerInCallback(bool enabled);
    void removeTriggerInCallback();
    void timedRecordingEnded();

    AppSettings* settings_;
    std::shared_ptr<zelvan::DvsCamera> camera_;
    std::unique_ptr<ZvFileRecorder> recorder_;
    uint32_t triggerCallbackId_ = 0xFFFFFFFF;
    bool triggerInSettingsPending_ = false;  // a recording held back the trigger-in settings

    bool recording_ = false;
    std::shared_ptr<zelvan::DvsCamera> recordingCamera_;  // the camera the record button records
    QString lastRecordingPath_;
    QTimer clock_;  // ticks the recording time and watches the recording camera
    QElapsedTimer elapsed_;
    qint64 recordedMs_ = 0;  // time of the recording during which the camera streamed
    qint64 lastTickMs_ = 0;  // elapsed_ at the last tick of the clock

    QThreadPool cameraIo_;
    int cameraTasks_ = 0;  // submitted and not yet finished
    QFutureWatcher<RecordingOutcome> finishWatcher_;
};
