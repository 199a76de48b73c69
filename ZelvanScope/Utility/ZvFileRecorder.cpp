#include "Utility/ZvFileRecorder.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <chrono>

#include "settings/AppSettings.h"
#include "zelvan/Logger.h"

ZvFileRecorder::ZvFileRecorder(std::shared_ptr<zelvan::DvsCamera> camera, QObject* parent)
    : QObject(parent), camera_(std::move(camera)) {}

ZvFileRecorder::~ZvFileRecorder() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
        wake_.notify_all();
    }
    waitForTimedRecording();
    std::lock_guard<std::mutex> lock(mutex_);
    camera_.reset();
}

void ZvFileRecorder::setCamera(std::shared_ptr<zelvan::DvsCamera> camera) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (camera != camera_) {
        // A running timed recording belongs to the camera that goes: it ends now.
        stopRequested_ = true;
        wake_.notify_all();
    }
    camera_ = std::move(camera);
}

std::shared_ptr<zelvan::DvsCamera> ZvFileRecorder::camera() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return camera_;
}

void ZvFileRecorder::setCacheTime(int sec) {
    const auto cam = camera();
    if (!cam) return;
    cam->setFileCacheTime(static_cast<uint16_t>(sec),
                          toFileSystemPath(AppSettings::instance()->appDataPath + "/"));
    cacheEnabled_ = sec != 0;
}

bool ZvFileRecorder::recordingTime(uint32_t sec, QString file_path) {
    const auto cam = camera();
    // Another recording (the record button's) holds the camera, or is still being assembled: the edge
    // is refused at once, and told once for that recording, not for every edge of a trigger that keeps
    // coming.
    const zelvan::ZvRecordingStatus held = cam ? cam->getRecordingStatus() : zelvan::ZvRecordingStatus{};
    if (!recording_.load() && cam && (cam->isRecording() || held.merging)) {
        if (held.path != refusedFor_) {
            refusedFor_ = held.path;
            const QString reason = startRefusal(*cam, toFileSystemPath(file_path));
            qWarning() << "Trigger-in recording refused:" << file_path << reason;
            emit signalShowLeftBottomTips(tr("Cannot record into %1: %2").arg(file_path, reason),
                                          ZvMessageType::Error, file_path);
        }
        return false;
    }
    if (!recording_.load() && cam && cam->isConnected() && sec != 0) {
        std::lock_guard<std::mutex> thread_lock(threadMutex_);
        if (timedThread_.joinable()) timedThread_.join();  // ended: recording_ is cleared last
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopRequested_ = false;
        }
        qInfo() << "record time : " << sec << "file path: " << file_path;
        recording_ = true;  // set here so that a second trigger right after is refused
        refusalShown_ = false;
        timedThread_ = std::thread(&ZvFileRecorder::timedRecording, this, cam, file_path, sec);
        return true;
    }
    // Told once until a recording starts again: a periodic trigger would otherwise cover the window
    // with a message for every edge.
    if (!refusalShown_) {
        refusalShown_ = true;
        qInfo() << "Recording false." << recording_.load() << (cam && cam->isConnected()) << sec;
        emit signalShowLeftBottomTips(tr("Currently being recorded."), ZvMessageType::Warning, file_path);
    }
    return false;
}

void ZvFileRecorder::timedRecording(std::shared_ptr<zelvan::DvsCamera> camera, QString wanted, uint32_t sec) {
    zelvan::Logger::Instance().log_(zelvan::LOG_INFO, __FILE__, __LINE__, "recording start");
    // Never over an existing recording (two triggers, or a trigger and the record button, within
    // the second that names the file).
    const QString claimed = createUniqueFile(wanted);
    const QString path = claimed.isEmpty() ? wanted : claimed;
    const std::string file = toFileSystemPath(path);
    if (camera->startRecording(file) != 0) {
        // Another recording holds the camera, or the file cannot be created: that recording is
        // none of ours to stop.
        if (!claimed.isEmpty()) QFile::remove(claimed);
        const QString reason = startRefusal(*camera, file);
        qWarning() << "Trigger-in recording refused:" << path << reason;
        emit signalShowLeftBottomTips(tr("Cannot record into %1: %2").arg(path, reason), ZvMessageType::Error,
                                      path);
        recording_ = false;
        emit signalTimedRecordingEnded();
        return;
    }
    emit signalShowLeftBottomTips(tr("Recording file ... "), ZvMessageType::Success, path);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(sec);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_until(lock, end, [this] { return stopRequested_; });
    }
    const RecordingOutcome outcome = finishRecording(*camera, file);
    zelvan::Logger::Instance().log_(zelvan::LOG_INFO, __FILE__, __LINE__, "recording end");
    if (outcome.ok()) {
        emit signalShowLeftBottomTips(tr("Recording end"), ZvMessageType::Success, QString());
    } else {
        emit signalShowLeftBottomTips(tr("Recording %1 is incomplete: %2").arg(path, outcome.error),
                                      ZvMessageType::Error, path);
    }
    recording_ = false;
    emit signalTimedRecordingEnded();
}

QString ZvFileRecorder::startRefusal(const zelvan::DvsCamera& camera, const std::string& path) {
    const zelvan::ZvRecordingStatus status = camera.getRecordingStatus();
    if (status.path == path && !status.error.empty()) return QString::fromStdString(status.error);
    if (status.merging) return tr("the previous recording is still being assembled");
    if (status.recording || camera.isRecording()) {
        return tr("the camera is recording into %1").arg(fromFileSystemPath(status.path));
    }
    return tr("the camera does not record");
}

RecordingOutcome ZvFileRecorder::finishRecording(zelvan::DvsCamera& camera, const std::string& path) {
    // A cached recording is assembled after the stop, which takes as long as copying it: a long one,
    // minutes. Its outcome is known only once that is done, and the file counts as incomplete until then.
    const bool stopped = camera.stopRecording() == 0;
    while (!camera.waitForRecordingMerged(std::chrono::seconds(10))) {
    }
    const zelvan::ZvRecordingStatus status = camera.getRecordingStatus();
    RecordingOutcome outcome;
    outcome.path = fromFileSystemPath(path);
    if (status.path != path) {
        // The camera has started another recording since: the status speaks of that one.
        outcome.error = stopped ? tr("its outcome is unknown: the camera went on to another recording")
                                : tr("data were lost");
    } else if (!stopped || status.failed) {
        outcome.error = status.error.empty() ? tr("data were lost") : QString::fromStdString(status.error);
        // A file that did not get even its header (a full disk) is no recording: it is not left behind.
        const QFileInfo file(outcome.path);
        if (file.isFile() && !file.isSymLink() && file.size() == 0 && QFile::remove(outcome.path)) {
            outcome.error = tr("%1; the empty file was removed").arg(outcome.error);
        }
    }
    return outcome;
}

void ZvFileRecorder::stopTimedRecording() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopRequested_ = true;
    wake_.notify_all();
}

void ZvFileRecorder::waitForTimedRecording() {
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (timedThread_.joinable()) timedThread_.join();
}

bool ZvFileRecorder::startRecording(QString file_path) {
    auto cam = camera();
    if (recording_.load() || !cam) return false;
    if (cam->startRecording(toFileSystemPath(file_path)) != 0) return false;
    manualCamera_ = std::move(cam);
    recording_ = true;
    return true;
}

bool ZvFileRecorder::stopRecording() {
    // Only a recording started by startRecording(): a timed one ends by itself.
    if (!manualCamera_) return false;
    if (manualCamera_->stopRecording() != 0) {
        qWarning() << "Recording incomplete:"
                   << QString::fromStdString(manualCamera_->getRecordingStatus().error);
    }
    manualCamera_.reset();
    recording_ = false;
    return true;
}

void ZvFileRecorder::slotSaveFileParamChanged() { AppSettings::instance(); }

void ZvFileRecorder::slotDetectionRecordingTime(QString) { AppSettings::instance(); }
