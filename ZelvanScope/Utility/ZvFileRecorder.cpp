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
                          AppSettings::instance()->appDataPath.toStdString() + "/");
    cacheEnabled_ = sec != 0;
}

bool ZvFileRecorder::recordingTime(uint32_t sec, QString file_path) {
    const auto cam = camera();
    if (!recording_.load() && cam && cam->isConnected() && sec != 0) {
        std::lock_guard<std::mutex> thread_lock(threadMutex_);
        if (timedThread_.joinable()) timedThread_.join();  // ended: recording_ is cleared last
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopRequested_ = false;
        }
        emit signalShowLeftBottomTips(tr("Recording file ... "), ZvMessageType::Success, file_path);
        qInfo() << "record time : " << sec << "file path: " << file_path;
        recording_ = true;  // set here so that a second trigger right after is refused
        timedThread_ = std::thread(&ZvFileRecorder::timedRecording, this, cam, file_path, sec);
        return true;
    }
    qInfo() << "Recording false." << recording_.load() << (cam && cam->isConnected()) << sec;
    emit signalShowLeftBottomTips(tr("Currently being recorded."), ZvMessageType::Warning, file_path);
    return false;
}

void ZvFileRecorder::timedRecording(std::shared_ptr<zelvan::DvsCamera> camera, QString path, uint32_t sec) {
    zelvan::Logger::Instance().log_(zelvan::LOG_INFO, __FILE__, __LINE__, "recording start");
    camera->startRecording(zelvan::local8bitToUtf8(path.toLocal8Bit().toStdString()));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(sec);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_until(lock, end, [this] { return stopRequested_; });
    }
    camera->stopRecording();
    zelvan::Logger::Instance().log_(zelvan::LOG_INFO, __FILE__, __LINE__, "recording end");
    emit signalShowLeftBottomTips(tr("Recording end"), ZvMessageType::Success, QString());
    recording_ = false;
}

void ZvFileRecorder::waitForTimedRecording() {
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (timedThread_.joinable()) timedThread_.join();
}

bool ZvFileRecorder::startRecording(QString file_path) {
    const auto cam = camera();
    if (recording_.load() || !cam) return false;
    cam->startRecording(file_path.toLocal8Bit().toStdString());
    recording_ = true;
    return true;
}

bool ZvFileRecorder::stopRecording() {
    const auto cam = camera();
    if (!recording_.load() || !cam) return false;
    cam->stopRecording();
    recording_ = false;
    return true;
}

void ZvFileRecorder::slotSaveFileParamChanged() {
    AppSettings::instance();
}

void ZvFileRecorder::slotDetectionRecordingTime(QString) {
    AppSettings::instance();
}
