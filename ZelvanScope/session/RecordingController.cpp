#include "session/RecordingController.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <limits>

#include "settings/AppSettings.h"

namespace {
constexpr uint32_t kNoCallback = 0xFFFFFFFF;
}

RecordingController::RecordingController(AppSettings* settings, QObject* parent)
    : QObject(parent), settings_(settings), recorder_(std::make_unique<ZvFileRecorder>()) {
    cameraIo_.setMaxThreadCount(1);
    // Ticks often enough that the time counted across a pause is off by at most a tick; the text shows
    // whole seconds.
    clock_.setInterval(200);
    clock_.setTimerType(Qt::PreciseTimer);
    connect(&clock_, &QTimer::timeout, this, &RecordingController::clockTick);
    connect(recorder_.get(), &ZvFileRecorder::signalTimedRecordingEnded, this,
            &RecordingController::timedRecordingEnded, Qt::QueuedConnection);
}

RecordingController::~RecordingController() {
    setCamera(nullptr);
    cameraIo_.waitForDone();
    recorder_.reset();
}

void RecordingController::setCamera(std::shared_ptr<zelvan::DvsCamera> camera) {
    if (camera == camera_) return;
    if (recording_) stopManual();
    removeTriggerInCallback();
    triggerInSettingsPending_ = false;
    camera_ = std::move(camera);
    // A timed recording on the previous camera ends now.
    recorder_->setCamera(camera_);
}

void RecordingController::startManual() {
    if (!camera_ || recording_ || cameraTasks_ > 0) return;
    qInfo() << "start recording...";
    const QString wanted = settings_->outputRawFilePath + "/" +
                           QString::fromStdString(camera_->getDescription().serial) +
                           QDateTime::currentDateTime().toString("_yyyyMMdd_HHmmss") + ".raw";
    // A trigger-in recording that runs or is being completed holds the camera; asking the camera
    // would wait for its file on the GUI thread.
    if (recorder_->isRecording() || camera_->getRecordingStatus().merging) {
        const QString reason = recorder_->isRecording()
                                   ? tr("a trigger-in recording is running")
                                   : tr("the previous recording is still being assembled");
        emit tip(tr("Cannot record into %1: %2").arg(wanted, reason), ZvMessageType::Error,
                 settings_->outputRawFilePath);
        return;
    }
    // Two recordings within one second get different names; the camera then reports a folder that
    // takes no files.
    const QString claimed = createUniqueFile(wanted);
    const QString path = claimed.isEmpty() ? wanted : claimed;
    const std::string file = toFileSystemPath(path);
    if (camera_->startRecording(file) != 0) {
        if (!claimed.isEmpty()) QFile::remove(claimed);
        emit tip(tr("Cannot record into %1: %2").arg(path, ZvFileRecorder::startRefusal(*camera_, file)),
                 ZvMessageType::Error, settings_->outputRawFilePath);
        return;
    }
    lastRecordingPath_ = path;
    recordingCamera_ = camera_;
    recording_ = true;
    elapsed_.start();
    recordedMs_ = 0;
    lastTickMs_ = 0;
    clock_.start();
    emit recordingChanged(true);
    emit elapsedChanged(formatDuration(0));
}

void RecordingController::stopManual() {
    if (!recording_) return;
    qInfo() << "stop recording";
    recording_ = false;
    clock_.stop();
    emit elapsedChanged(QString());
    emit recordingChanged(false);
    // Ending a recording writes out what is queued and assembles a cached recording: off the GUI
    // thread, which shows the outcome once the file is complete.
    std::shared_ptr<zelvan::DvsCamera> camera = std::move(recordingCamera_);
    const std::string file = toFileSystemPath(lastRecordingPath_);
    const QFuture<RecordingOutcome> done = QtConcurrent::run(
        &cameraIo_, [camera, file] { return ZvFileRecorder::finishRecording(*camera, file); });
    finishWatcher_.setFuture(done);
    // The outcome is told before the task counts as done: a close that waits for the file then sees it.
    trackCameraTask(done, [this](const QFutureWatcher<RecordingOutcome>& task) { finished(task.result()); });
}

void RecordingController::clockTick() {
    // A camera that went away while not streaming is noticed here.
    if (recordingCamera_ && !recordingCamera_->isConnected()) {
        qInfo() << "Camera connection lost.";
        const bool shown = recordingCamera_ == camera_;
        stopManual();
        if (shown) emit recordedCameraLost();
        return;
    }
    // A recording the camera ended by itself (a write error such as a full disk) ends here at once, and
    // its outcome is shown, rather than when the user stops it.
    if (recordingCamera_ && !recordingCamera_->isRecording()) {
        qWarning() << "The recording ended by itself.";
        stopManual();
        return;
    }
    // The clock counts the time the camera streamed: a recording goes on across a pause of the live
    // view, and nothing is written while the camera stands still.
    const qint64 now = elapsed_.elapsed();
    if (recordingCamera_ && recordingCamera_->isStreaming()) recordedMs_ += now - lastTickMs_;
    lastTickMs_ = now;
    emit elapsedChanged(formatDuration(uint64_t(recordedMs_ / 1000)));
}

void RecordingController::finished(const RecordingOutcome& outcome) {
    applyPendingTriggerInSettings();
    if (outcome.ok()) {
        // The folder the file went to, which the settings may have changed since.
        emit tip(tr("Save file success!"), ZvMessageType::Success, outcome.path);
    } else {
        qWarning() << "Recording incomplete:" << outcome.path << outcome.error;
        emit tip(tr("Recording %1 is incomplete: %2").arg(outcome.path, outcome.error), ZvMessageType::Error,
                 outcome.path);
    }
}

void RecordingController::taskDone() {
    if (--cameraTasks_ > 0) return;
    emit busyChanged(false);
    if (isIdle()) emit idle();
}

void RecordingController::timedRecordingEnded() {
    applyPendingTriggerInSettings();
    if (isIdle()) emit idle();
}

void RecordingController::cameraLost() {
    // What the camera delivered before the loss is kept.
    stopManual();
    recorder_->stopTimedRecording();
}

void RecordingController::endAll() {
    stopManual();
    recorder_->stopTimedRecording();
}

void RecordingController::applyTriggerInSettings() {
    if (!camera_) return;
    removeTriggerInCallback();
    recorder_->setCamera(camera_);
    const bool enabled = settings_ && settings_->triggerInRecEnable;
    installTriggerInCallback(enabled);

    // A camera keeps its cache while it records: the change then waits for the recording's end.
    auto camera = camera_;
    if (recording_ || recorder_->isRecording() || camera->isRecording()) {
        holdBackTriggerInSettings();
        return;
    }
    const auto seconds = static_cast<uint16_t>(
        enabled ? std::min<uint32_t>(settings_->beforeTriggerInSaveTime, std::numeric_limits<uint16_t>::max())
                : 0);
    const std::string prefix = settings_ ? toFileSystemPath(settings_->appDataPath + "/") : std::string();
    // The cache restarts with the new time (0 first: a running cache keeps its time otherwise). The
    // camera first finishes merging the previous cached recording, so this waits off the GUI thread.
    QFuture<bool> applied = QtConcurrent::run(&cameraIo_, [camera, enabled, seconds, prefix] {
        camera->setFileCacheTime(0, ".");
        if (enabled) camera->setFileCacheTime(seconds, prefix);
        return !camera->isRecording();
    });
    // A recording that started meanwhile (a trigger) kept the cache as it was.
    trackCameraTask(applied, [this, camera](const QFutureWatcher<bool>& task) {
        if (!task.result() && camera == camera_) holdBackTriggerInSettings();
    });
}

void RecordingController::holdBackTriggerInSettings() {
    const bool shown = triggerInSettingsPending_;
    triggerInSettingsPending_ = true;
    if (!shown) {
        emit tip(tr("The trigger-in settings apply when the current recording ends."), ZvMessageType::Warning,
                 QString());
    }
    // The recording may have ended while this was decided; one that is not ours applies them at the
    // next end of a recording of ours.
    if (!recording_ && !recorder_->isRecording() && !isFinishing() && camera_ && !camera_->isRecording()) {
        QMetaObject::invokeMethod(this, &RecordingController::applyPendingTriggerInSettings,
                                  Qt::QueuedConnection);
    }
}

void RecordingController::applyPendingTriggerInSettings() {
    if (!triggerInSettingsPending_) return;
    triggerInSettingsPending_ = false;
    applyTriggerInSettings();
}

void RecordingController::installTriggerInCallback(bool enabled) {
    if (!enabled || !camera_) return;
    // Handled on the GUI thread, which owns the camera pointer and the settings, and only while this
    // camera is the one given.
    triggerCallbackId_ = camera_->addTriggerInCallback(
        [this, source = std::weak_ptr<zelvan::DvsCamera>(camera_)](zelvan::EventTriggerIn t) {
            QMetaObject::invokeMethod(
                this,
                [this, source, t] {
                    if (source.lock() == camera_) emit triggerArrived(t);
                },
                Qt::QueuedConnection);
        });
}

void RecordingController::removeTriggerInCallback() {
    if (triggerCallbackId_ == kNoCallback || !camera_) return;
    camera_->removeTriggerInCallback(triggerCallbackId_);
    triggerCallbackId_ = kNoCallback;
}
