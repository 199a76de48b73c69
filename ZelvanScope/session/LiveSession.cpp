#include "session/LiveSession.h"

#include <QDebug>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <chrono>

#include "processing/ZvEventProcessor.h"

LiveSession::LiveSession(ZvEventProcessor* processor, QObject* parent)
    : QObject(parent), processor_(processor) {}

LiveSession::~LiveSession() { release(); }

void LiveSession::install(std::shared_ptr<zelvan::DvsCamera> camera) {
    release();
    camera_ = std::move(camera);
    lossReported_ = false;
    if (!camera_) return;
    // Rates are shown only while this camera streams; one that arrives after the stop is dropped.
    camera_->setStatisticInfoCallback(
        [this, source = std::weak_ptr<zelvan::DvsCamera>(camera_)](zelvan::ZvStatisticInfo info) {
            QMetaObject::invokeMethod(
                this,
                [this, source, info] {
                    if (running_.load() && source.lock() == camera_)
                        emit statisticsChanged(info.dataRate, info.eventRate);
                },
                Qt::QueuedConnection);
        });
}

void LiveSession::release() {
    if (!camera_) return;
    // Ending the stream also ends the statistics callbacks.
    stop();
    camera_->setStatisticInfoCallback(nullptr);
    camera_.reset();
}

int LiveSession::start(uint64_t batch_time_us) {
    if (!camera_) return -1;
    if (running_.load()) return 0;
    if (displayThread_.joinable()) displayThread_.join();  // ended by a loss
    if (camera_->start() != 0) return -1;
    batchTime_ = batch_time_us;
    camera_->setBatchEventsTime(batch_time_us);
    lossReported_ = false;  // a later loss is news again
    running_ = true;
    displayThread_ = std::thread(&LiveSession::displayLoop, this, camera_);
    return 0;
}

void LiveSession::stop() {
    stopDisplay();
    if (camera_) camera_->stop();
}

void LiveSession::setBatchTime(uint64_t batch_time_us) {
    batchTime_ = batch_time_us;
    if (camera_ && running_.load()) camera_->setBatchEventsTime(batch_time_us);
}

void LiveSession::stopDisplay() {
    running_ = false;
    // A consumer blocked in getNextBatch is woken by the camera's stop.
    if (displayThread_.joinable()) {
        if (camera_) camera_->stop();
        displayThread_.join();
    }
}

void LiveSession::noticeLoss() {
    if (!camera_ || camera_->isConnected() || lossReported_) return;
    lossReported_ = true;
    stopDisplay();
    emit cameraLost();
}

void LiveSession::reportLoss(const std::weak_ptr<zelvan::DvsCamera>& camera) {
    QMetaObject::invokeMethod(
        this,
        [this, camera] {
            if (!camera_ || camera.lock() != camera_ || lossReported_) return;
            lossReported_ = true;
            stopDisplay();
            emit cameraLost();
        },
        Qt::QueuedConnection);
}

namespace {

// How often a running live view hands the memory freed in the C library's heaps back to the system.
// Batches, frames and images of several megabytes are freed and allocated again all the time, from
// several threads; the library keeps the freed memory, so that a live view of hours would otherwise
// grow a little after every burst. A trim takes well under a millisecond.
constexpr auto kTrimPeriod = std::chrono::seconds(20);

void giveFreedMemoryBack() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

}  // namespace

void LiveSession::displayLoop(std::shared_ptr<zelvan::DvsCamera> camera) {
    const auto period = std::chrono::microseconds(1000000 / kDisplayRate);
    auto last_trim = std::chrono::steady_clock::now();
    while (running_.load()) {
        const auto t0 = std::chrono::steady_clock::now();
        if (t0 - last_trim >= kTrimPeriod) {
            giveFreedMemoryBack();
            last_trim = t0;
        }
        if (camera->getNextBatch(batch_) && !batch_.empty()) {
            processor_->addEvents(batch_.data(), batch_.data() + batch_.size());
            latestTimestamp_ = batch_.back().timestamp;
            emit framesReady();
        }
        const auto elapsed = std::chrono::steady_clock::now() - t0;
        if (elapsed < period && running_.load()) std::this_thread::sleep_for(period - elapsed);
        if (!camera->isConnected()) {
            qInfo() << "Camera connection lost.";
            running_ = false;
            reportLoss(camera);
        }
    }
}
