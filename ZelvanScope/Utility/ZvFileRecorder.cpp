#include "Utility/ZvFileRecorder.h"

#include <QDebug>
#include <chrono>

#include "settings/AppSettings.h"
#include "zelvan/Logger.h"
#include "zelvan/StringUtils.h"

ZvFileRecorder::ZvFileRecorder(std::shared_ptr<zelvan::DvsCamera> camera, QObject* parent)
    : QObject(parent), camera_(std::move(camera)) {}

ZvFileRecorder::~ZvFileRecorder() {
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        recording_ = false;
    }
    wake_.notify_all();
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (timedThread_.joinable()) timedThread_.join();
    camera_.reset();
}

void ZvFileRecorder::setCamera(std::shared_ptr<zelvan::DvsCamera> camera) { camera_ = std::move(camera); }

void ZvFileRecorder::setCacheTime(int sec) {
    if (!camera_) return;
    camera_->setFileCacheTime(static_cast<uint16_t>(sec), AppSettings::instance()->appDataPath.toStdString() + "/");
    cacheEnabled_ = sec != 0;
}

bool ZvFileRecorder::recordingTime(uint32_t sec, QString file_path) {
    if (!recording_.load() && camera_ && camera_->isConnected() && sec != 0) {
        std::lock_guard<std::mutex> lock(threadMutex_);
        if (timedThread_.joinable()) timedThread_.join();
        emit signalShowLeftBottomTips(tr("Recording file ... "), ZvMessageType::Success, file_path);
        qInfo() << "record time : " << sec << "file path: " << file_path;
        recording_ = true;  // set here so that a second trigger right after is refused
        timedThread_ = std::thread(&ZvFileRecorder::timedRecording, this, file_path, sec);
        return true;
    }
    qInfo() << "Recording false." << recording_.load() << (camera_ && camera_->isConnected()) << sec;
    emit signalShowLeftBottomTips(tr("Currently being recorded."), ZvMessageType::Warning, file_path);
    return false;
}

void ZvFileRecorder::timedRecording(QString path, uint32_t sec) {
    recording_ = true;
    zelvan::Logger::Instance().log_(zelvan::LOG_INFO, __FILE__, __LINE__, "recording start");
    camera_->startRecording(zelvan::local8bitToUtf8(path.toLocal8Bit().toStdString()));
    const auto t0 = std::chrono::steady_clock::now();
    {
        std::unique_lock<std::mutex> lock(wakeMutex_);
        while (recording_.load()) {
            if (std::chrono::steady_clock::now() - t0 >= std::chrono::seconds(sec)) break;
            // Checked every half second: the recording ends between sec and sec + 0.5 s (or at once
            // when the recorder goes away).
            wake_.wait_for(lock, std::chrono::milliseconds(500), [this] { return !recording_.load(); });
        }
    }
    camera_->stopRecording();
    zelvan::Logger::Instance().log_(zelvan::LOG_INFO, __FILE__, __LINE__, "recording end");
    emit signalShowLeftBottomTips(tr("Recording end"), ZvMessageType::Success, QString());
    recording_ = false;
}

void ZvFileRecorder::waitForTimedRecording() {
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (timedThread_.joinable()) timedThread_.join();
}

bool ZvFileRecorder::startRecording(QString file_path) {
    if (recording_.load() || !camera_) return false;
    camera_->startRecording(file_path.toLocal8Bit().toStdString());
    recording_ = true;
    return true;
}

bool ZvFileRecorder::stopRecording() {
    if (!recording_.load() || !camera_) return false;
    camera_->stopRecording();
    recording_ = false;
    return true;
}

void ZvFileRecorder::slotSaveFileParamChanged() { AppSettings::instance(); }

void ZvFileRecorder::slotDetectionRecordingTime(QString) { AppSettings::instance(); }
