#include "processing/ZvFusionCameraDataProcessor.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <chrono>
#include <cstring>

#include "processing/FusionFrameQueue.h"
#include "settings/AppSettings.h"
#include "zelvan/ApsFileReader.h"
#include "zelvan/DvsFileReader.h"
#include "zelvan/FusionCamera.h"

namespace {

void logLine(const QString& line) { qInfo().noquote() << line; }

// A frame's time on the event clock.
uint64_t frameTime(const zelvan::ApsFrame& frame, uint64_t offset) { return frame.endTimestamp() + offset; }

// A BGR888 image sharing `frame`'s bytes (valid while the frame is).
QImage frameView(const zelvan::ApsFrame& frame) {
    if (frame.empty()) return {};
    return QImage(frame.data(), frame.width(), frame.height(), frame.width() * 3, QImage::Format_BGR888);
}

}  // namespace

ZvFusionCameraDataProcessor::ZvFusionCameraDataProcessor(QObject* parent)
    : QObject(parent),
      counters_(size_t(1280) * 720 * 2, 0),
      fusion_(DvsApsFusionProccessor::Pairing::ByFrameTime) {
    // Created on the GUI thread, which owns the settings: the colours are copied now and at every
    // theme change, so that the camera's threads never read the settings.
    AppSettings* settings = AppSettings::instance();
    setThemeColors(settings->onColor, settings->offColor, settings->backgroundColor);
    connect(settings, &AppSettings::colorThemeChanged, this, &ZvFusionCameraDataProcessor::setThemeColors);
    fusion_.addFusionDataCallback([this](zelvan::ApsFrame& frame, zelvan::Event2D* first,
                                         zelvan::Event2D* last) { fusionHandler(frame, first, last); });
}

ZvFusionCameraDataProcessor::~ZvFusionCameraDataProcessor() {
    fusion_.removeFusionDataCallback();
    {
        std::lock_guard<std::mutex> lock(readerMutex_);
        playing_ = false;
    }
    paceCv_.notify_all();
    if (playbackThread_.joinable()) playbackThread_.join();
    joinLoader();
    frames_.reset();
}

// --- Live ---

void ZvFusionCameraDataProcessor::setThemeColors(QColor on, QColor off, QColor background) {
    std::lock_guard<std::mutex> lock(colorMutex_);
    colors_ = Colors{on.rgb(), off.rgb(), background.rgb()};
}

ZvFusionCameraDataProcessor::Colors ZvFusionCameraDataProcessor::colors() const {
    std::lock_guard<std::mutex> lock(colorMutex_);
    return colors_;
}

void ZvFusionCameraDataProcessor::setFusionCamera(std::shared_ptr<zelvan::FusionCamera> camera) {
    std::lock_guard<std::mutex> lock(cameraMutex_);
    camera_ = std::move(camera);
    cameraSet_ = camera_ != nullptr;
}

std::shared_ptr<zelvan::FusionCamera> ZvFusionCameraDataProcessor::fusionCamera() const {
    std::lock_guard<std::mutex> lock(cameraMutex_);
    return camera_;
}

bool ZvFusionCameraDataProcessor::loadCalibration(zelvan::CalibratorParameters& params) {
    if (calibrator_.loadCalibrationParam(params)) return true;
    // Never what was loaded before (another camera's or recording's calibration).
    qWarning() << "The default calibration is used instead.";
    zelvan::CalibratorParameters defaults = Calibrator::defaultParameters();
    calibrator_.loadCalibrationParam(defaults);
    return false;
}

void ZvFusionCameraDataProcessor::addApsData(zelvan::ApsFrame frame) { fusion_.addApsData(std::move(frame)); }

void ZvFusionCameraDataProcessor::addDvsData(const zelvan::Event2D* first, const zelvan::Event2D* last) {
    fusion_.addDvsData(first, last);
}

void ZvFusionCameraDataProcessor::addSyncSignal(zelvan::EventTriggerIn trigger) {
    fusion_.addSyncSignal(trigger);
}

void ZvFusionCameraDataProcessor::clearFusionData() {
    fusion_.clear();
    std::lock_guard<std::mutex> lock(counterMutex_);
    std::fill(counters_.begin(), counters_.end(), uint16_t(0));
}

void ZvFusionCameraDataProcessor::accumulateDvsEvents(const zelvan::Event2D* first,
                                                      const zelvan::Event2D* last) {
    if (viewType_.load() != zelvan::DVS || first == last) return;
    std::lock_guard<std::mutex> lock(counterMutex_);
    uint16_t* counts = counters_.data();
    const size_t size = counters_.size();
    const size_t width = size_t(dvsWidth_);
    const size_t height = size_t(dvsHeight_);
    for (const zelvan::Event2D* e = first; e != last; ++e) {
        // An event off the sensor would otherwise be counted at a pixel of the next row.
        if (size_t(e->x) >= width || size_t(e->y) >= height || e->polarity > 1) continue;
        const size_t index = 2 * (size_t(e->y) * width + e->x) + e->polarity;
        if (index >= size) continue;
        uint16_t& c = counts[index];
        c += c < kCountLimit;
    }
}

std::vector<uint16_t> ZvFusionCameraDataProcessor::countersForTesting() const {
    std::lock_guard<std::mutex> lock(counterMutex_);
    return counters_;
}

void ZvFusionCameraDataProcessor::drawEvents(const zelvan::Event2D* first, const zelvan::Event2D* last,
                                             bool mirror, QRgb on, QRgb off, QImage& image) {
    const int width = image.width();
    const int height = image.height();
    if (image.format() != QImage::Format_BGR888 || width <= 0) return;
    const uint8_t on_bgr[3] = {uint8_t(qBlue(on)), uint8_t(qGreen(on)), uint8_t(qRed(on))};
    const uint8_t off_bgr[3] = {uint8_t(qBlue(off)), uint8_t(qGreen(off)), uint8_t(qRed(off))};
    const qsizetype stride = image.bytesPerLine();
    uint8_t* bits = image.bits();
    for (const zelvan::Event2D* e = first; e != last; ++e) {
        const int column = mirror ? width - 1 - int(e->x) : int(e->x);
        if (column < 0 || column >= width || int(e->y) >= height) continue;
        uint8_t* p = bits + qsizetype(e->y) * stride + qsizetype(column) * 3;
        std::memcpy(p, e->polarity == 1 ? on_bgr : off_bgr, 3);
    }
}

void ZvFusionCameraDataProcessor::emitImage(const QImage& image, uint64_t timestamp) {
    emit signalFusionImage(image);
    emit signalTimeStamp(timestamp);
}

void ZvFusionCameraDataProcessor::fusionHandler(zelvan::ApsFrame& frame, zelvan::Event2D* first,
                                                zelvan::Event2D* last) {
    const zelvan::STREAM_TYPE type = viewType_.load();
    const Colors c = colors();
    const uint64_t timestamp = frame.endTimestamp();
    if (type == zelvan::DVS) {
        // The events counted since the last frame, painted once per frame.
        QImage image;
        {
            std::lock_guard<std::mutex> images(eventsImageMutex_);
            if (eventsImage_.width() != dvsWidth_ || eventsImage_.height() != dvsHeight_)
                eventsImage_ = QImage(dvsWidth_, dvsHeight_, QImage::Format_BGR888);
            eventsImage_.fill(c.background);
            const uint8_t on_bgr[3] = {uint8_t(qBlue(c.on)), uint8_t(qGreen(c.on)), uint8_t(qRed(c.on))};
            const uint8_t off_bgr[3] = {uint8_t(qBlue(c.off)), uint8_t(qGreen(c.off)), uint8_t(qRed(c.off))};
            std::lock_guard<std::mutex> counts(counterMutex_);
            for (int y = 0; y < dvsHeight_; ++y) {
                uint8_t* row = eventsImage_.scanLine(y);
                const uint16_t* pair = counters_.data() + size_t(y) * size_t(dvsWidth_) * 2;
                for (int x = 0; x < dvsWidth_; ++x, pair += 2) {
                    const uint16_t off = pair[0];
                    const uint16_t on = pair[1];
                    if (off == 0 && on == 0) continue;
                    std::memcpy(row + x * 3, off > on ? off_bgr : on_bgr, 3);
                }
            }
            std::fill(counters_.begin(), counters_.end(), uint16_t(0));
            image = eventsImage_.copy();
        }
        emitImage(image, timestamp);
        return;
    }
    if (type == zelvan::DVS_AND_APS) {
        const std::shared_ptr<zelvan::FusionCamera> camera = fusionCamera();
        if (!camera || !camera->isConnected()) return;
    }
    calibrator_.mapApsToDvs(frame, liveMapped_);
    QImage image;
    {
        std::lock_guard<std::mutex> lock(imageMutex_);
        fusionImage_ = frameView(liveMapped_).copy();
        if (type == zelvan::DVS_AND_APS) {
            // The events of the accumulation time up to the frame's exposure end: a moving edge's
            // latest events lie on the edge the frame shows.
            const uint64_t acc = accTime_.load();
            const uint64_t from = timestamp > acc ? timestamp - acc : 0;
            const zelvan::Event2D* begin = std::lower_bound(
                first, last, from, [](const zelvan::Event2D& e, uint64_t t) { return e.timestamp < t; });
            drawEvents(begin, last, false, c.on, c.off, fusionImage_);
        }
        image = fusionImage_;
    }
    emitImage(image, timestamp);
}

void ZvFusionCameraDataProcessor::slotSetViewerType(zelvan::STREAM_TYPE type) {
    if (type != zelvan::DVS && type != zelvan::APS && type != zelvan::DVS_AND_APS) return;
    viewType_ = type;
    // The frame-only view draws no events: a frame is shown as soon as it arrives.
    fusion_.setWaitForEvents(type != zelvan::APS);
}

// --- Opening a recording ---

bool ZvFusionCameraDataProcessor::hasFile() const { return loaded_.load(); }

void ZvFusionCameraDataProcessor::joinLoader() {
    if (!loaderThread_.joinable()) return;
    cancelLoad_ = true;
    loaderThread_.join();
}

void ZvFusionCameraDataProcessor::cancelWork() {
    if (loading_.load()) cancelLoad_ = true;
}

void ZvFusionCameraDataProcessor::closeRecording() {
    std::lock_guard<std::mutex> lock(readerMutex_);
    loaded_ = false;
    frames_.reset();
    frameReader_.reset();
    eventReader_.reset();
    frameTimes_.clear();
}

bool ZvFusionCameraDataProcessor::slotReadFusionFile(QString str) {
    if (loading_.load() && !str.isEmpty()) return false;  // cancel it first
    if (str.isEmpty()) {
        stopPlayback(true);
        joinLoader();
        closeRecording();
        return false;
    }
    stopPlayback(true);
    closeRecording();
    logLine("Load fusion file: " + str);
    joinLoader();
    const int dot = str.lastIndexOf('.');
    const QString base = dot < 0 ? str : str.left(dot);
    std::shared_ptr<zelvan::ApsFileReader> frames =
        frameReaderFactory_ ? frameReaderFactory_(toFileSystemPath(base + ".mp4"))
                            : zelvan::ApsFileReader::createFileReader(toFileSystemPath(base + ".mp4"));
    std::shared_ptr<zelvan::DvsFileReader> events =
        zelvan::DvsFileReader::createFileReader(toFileSystemPath(base + ".raw"));
    // The recording's own calibration, or the default one: never the one of the camera or the
    // recording shown before.
    zelvan::CalibratorParameters params = Calibrator::defaultParameters();
    const QString json = base + ".json";
    if (QFileInfo(json).isFile()) {
        zelvan::CalibratorParameters read = Calibrator::defaultParameters();
        if (zelvan::jsonFileToParam(toFileSystemPath(json), read) && calibrator_.loadCalibrationParam(read)) {
            params = read;
        } else {
            calibrator_.loadCalibrationParam(params);
            emit signalShowLeftBottomTips(
                tr("The calibration %1 cannot be used; the default calibration is shown.")
                    .arg(QDir::toNativeSeparators(json)),
                ZvMessageType::Warning, json);
        }
    } else {
        calibrator_.loadCalibrationParam(params);
    }
    frameReader_ = frames;
    eventReader_ = events;
    cancelLoad_ = false;
    // Listing the video's frames decodes all of it: a cancel is looked at as it goes.
    if (frames) frames->setProgressCallback([this](uint64_t, uint64_t) { return !cancelLoad_.load(); });
    if (events) {
        events->setProgressCallback([this, last = -1](uint64_t done, uint64_t total) mutable {
            const int percent = zelvan::DvsFileReader::progressPercent(done, total);
            if (percent != last) {
                last = percent;
                emit signalProgress(percent);
            }
            return !cancelLoad_.load();
        });
    }
    loading_ = true;
    loaderThread_ =
        std::thread(&ZvFusionCameraDataProcessor::loadLoop, this, std::move(frames), std::move(events), str);
    return true;
}

void ZvFusionCameraDataProcessor::failLoad(const QString& log_line, const QString& tip, const QString& path,
                                           ZvMessageType type) {
    logLine(log_line);
    {
        std::lock_guard<std::mutex> lock(readerMutex_);
        frames_.reset();
        frameReader_.reset();
        eventReader_.reset();
        frameTimes_.clear();
    }
    loading_ = false;
    emit signalLoadingStatus(false);
    emit signalShowLeftBottomTips(tip, type, path);
}

void ZvFusionCameraDataProcessor::loadLoop(std::shared_ptr<zelvan::ApsFileReader> frames,
                                           std::shared_ptr<zelvan::DvsFileReader> events, QString path) {
    emit signalLoadingStatus(true);
    const int dot = path.lastIndexOf('.');
    const QString base = dot < 0 ? path : path.left(dot);
    const QString mp4 = QDir::toNativeSeparators(base + ".mp4");
    // A cancel is looked at between the steps, and during the video's listing and the raw file's scan
    // at their reports.
    const auto cancelled = [this] {
        if (!cancelLoad_.load()) return false;
        failLoad("Load fusion file cancelled.", tr("Loading cancelled."), QString(), ZvMessageType::Warning);
        return true;
    };
    if (cancelled()) return;
    const bool frames_loaded = frames && frames->loadFile();
    if (cancelled()) return;
    if (!frames_loaded) {
        failLoad("Load aps file failed.", tr("Cannot load the frames of the recording: %1.").arg(mp4),
                 base + ".mp4");
        return;
    }
    if (cancelled()) return;
    std::vector<uint64_t> times;
    frames->getTimeStamps(times);
    auto queue = std::make_unique<FusionFrameQueue>(frames, times, calibrator_);
    zelvan::ApsFrame first;
    const bool have_first = queue->rewind(first);
    if (cancelled()) return;
    if (!have_first) {
        queue.reset();
        failLoad("Load aps file failed: the first frame cannot be read.",
                 tr("Cannot read the first frame of %1.").arg(mp4), base + ".mp4");
        return;
    }
    if (!events || !events->loadFile()) {
        queue.reset();
        if (events && events->lastError() == zelvan::ReaderError::Cancelled && cancelled()) return;
        const QString why = events ? QString::fromStdString(events->lastErrorMessage()) : QString();
        failLoad(
            "Load dvs file failed. " + why,
            tr("Cannot load the events of the recording: %1.").arg(QDir::toNativeSeparators(base + ".raw")),
            base + ".raw");
        return;
    }
    uint64_t start = 0;
    uint64_t end = 0;
    events->getStartTimeStamp(start);
    events->getEndTimeStamp(end);
    zelvan::DvsFileInfo info;
    events->getFileInfo(info);
    const uint64_t offset = info.aps_start_timestamp;
    logLine("Read aps file time offset: " + QString::number(offset));
    {
        std::lock_guard<std::mutex> lock(readerMutex_);
        frames_ = std::move(queue);
        frameTimes_ = std::move(times);
        nextFrame_ = std::move(first);
        // Nothing shown yet: the first tick takes the first frame.
        currentFrame_ = zelvan::ApsFrame();
        eventStart_ = start;
        eventEnd_ = end;
        frameOffset_ = offset;
        skipsTold_ = false;
        lower_ = offset;
        upper_ = end;
        timeBase_ = offset;
    }
    emit signalStartTimeStamp(offset);
    emit signalEndTimeStamp(end);
    emit signalTimeStamp(offset);
    logLine("fusion file start : " + QString::number(offset));
    logLine("fusion_file_end_timestamp_: " + QString::number(end));
    logLine("time base: " + QString::number(offset));
    loaded_ = true;
    loading_ = false;
    emit signalLoadingStatus(false);
    emit signalPlayStatus(true);
}

// --- Playback ---

bool ZvFusionCameraDataProcessor::readyForSteps() const {
    return !loading_.load() && loaded_.load() && frames_;
}

uint64_t ZvFusionCameraDataProcessor::currentFrameTime() const { return currentFrameTime_.load(); }

void ZvFusionCameraDataProcessor::stopPlayback(bool tell) {
    {
        std::lock_guard<std::mutex> lock(readerMutex_);
        playing_ = false;
    }
    paceCv_.notify_all();
    if (playbackThread_.joinable()) playbackThread_.join();
    if (tell) emit signalPlayStatus(false);
}

void ZvFusionCameraDataProcessor::slotPlaybackCtrl(bool play) {
    if (!readyForSteps()) return;
    if (!play) {
        stopPlayback(false);
        return;
    }
    if (playing_.load()) return;
    if (playbackThread_.joinable()) playbackThread_.join();  // ended at the end of the recording
    playing_ = true;
    playbackThread_ = std::thread(&ZvFusionCameraDataProcessor::playbackLoop, this);
}

void ZvFusionCameraDataProcessor::playbackLoop() {
    std::unique_lock<std::mutex> lock(readerMutex_);
    while (playing_.load()) {
        const auto tick = std::chrono::steady_clock::now();
        // The last step ends at the end of the recording, not beyond it.
        timeBase_ = std::min(timeBase_.load() + interval_.load(), upper_.load());
        renderFrameAt();
        if (timeBase_.load() >= upper_.load()) {
            if (!rewindLocked()) {
                playing_ = false;
                emit signalPlayStatus(false);
                break;
            }
            timeBase_ = lower_.load();
            if (!replay_.load()) {
                playing_ = false;
                emit signalPalyFileFinished();
                break;
            }
        }
        // One tick per 33 333 us of wall-clock time, whatever the fps; a stop ends the wait at once.
        paceCv_.wait_until(lock, tick + std::chrono::microseconds(kWallPeriodUs),
                           [this] { return !playing_.load(); });
    }
}

bool ZvFusionCameraDataProcessor::rewindLocked() {
    if (!frames_) return false;
    zelvan::ApsFrame first;
    const uint64_t offset = frameOffset_.load();
    const uint64_t lower = lower_.load();
    // The frame at the playback start (the first frame when the start lies before it).
    if (!frames_->seek(lower > offset ? lower - offset : 0, first) && !frames_->rewind(first)) return false;
    if (eventReader_) eventReader_->seekTime(std::max(lower, eventStart_.load()));
    nextFrame_ = std::move(first);
    currentFrame_ = zelvan::ApsFrame();
    return true;
}

bool ZvFusionCameraDataProcessor::renderFrameAt() {
    if (!frames_) return false;
    const uint64_t offset = frameOffset_.load();
    const uint64_t tb = timeBase_.load();
    const bool have_next = !nextFrame_.empty();
    const bool went_back = !currentFrame_.empty() && tb < frameTime(currentFrame_, offset);
    const bool before_next = have_next && tb < frameTime(nextFrame_, offset);
    if (went_back || (currentFrame_.empty() && before_next)) {
        // The time went back (or nothing is shown yet): the frame at it, and the one after.
        zelvan::ApsFrame at;
        // Nothing shown yet and the time before the first frame: the first frame.
        if (!frames_->seek(tb > offset ? tb - offset : 0, at) &&
            (!currentFrame_.empty() || !frames_->rewind(at)))
            return false;
        zelvan::ApsFrame after;
        if (!frames_->next(after)) after = zelvan::ApsFrame();  // the last frame: none after it
        currentFrame_ = std::move(at);
        nextFrame_ = std::move(after);
    } else if (have_next && !before_next) {
        // The time passed the next frame: it is shown, and the one after it is taken (at the end of
        // the file there is none, and the last frame stays). One frame per step: a jump of several
        // frames catches up over the following steps.
        std::swap(currentFrame_, nextFrame_);
        if (!frames_->next(nextFrame_)) nextFrame_ = zelvan::ApsFrame();
    }
    if (currentFrame_.empty()) return false;
    currentFrameTime_ = frameTime(currentFrame_, offset);
    if (!skipsTold_ && frames_->skippedFrames() > 0) {
        skipsTold_ = true;
        emit signalShowLeftBottomTips(tr("Frames of the recording that cannot be decoded are skipped."),
                                      ZvMessageType::Warning, QString());
    }

    const Colors c = colors();
    const zelvan::STREAM_TYPE type = viewType_.load();
    std::shared_ptr<std::vector<zelvan::Event2D>> events;
    const uint64_t acc = accTime_.load();
    // The events of the accumulation time up to the frame shown (at or before the time base), as the
    // live view draws them: a moving edge's latest events lie on the edge the frame shows. The events
    // only view follows the time base.
    const uint64_t until = type == zelvan::DVS_AND_APS ? currentFrameTime_.load() : tb;
    if (eventReader_ && type != zelvan::APS)
        events = eventReader_->getNTimeEventsGivenStartTimeStamp(until > acc ? until - acc : 0,
                                                                 until > acc ? acc : until);
    const bool have_events = events && !events->empty();
    QImage image;
    if (type == zelvan::DVS) {
        image = QImage(currentFrame_.width(), currentFrame_.height(), QImage::Format_BGR888);
        image.fill(c.background);
        if (have_events)
            drawEvents(events->data(), events->data() + events->size(), false, c.on, c.off, image);
    } else {
        std::lock_guard<std::mutex> lock(imageMutex_);
        fusionImage_ = frameView(currentFrame_).copy();
        if (type == zelvan::DVS_AND_APS && have_events)
            drawEvents(events->data(), events->data() + events->size(), false, c.on, c.off, fusionImage_);
        image = fusionImage_;
    }
    emitImage(image, tb);
    QString line = "get aps frame ts: " + QString::number(currentFrameTime_.load()) + " next aps ts: " +
                   QString::number(nextFrame_.empty() ? 0 : frameTime(nextFrame_, offset)) +
                   " timebase: " + QString::number(tb);
    if (have_events)
        line += " dvs start ts: " + QString::number(events->front().timestamp) +
                " dvs end ts: " + QString::number(events->back().timestamp);
    qDebug().noquote() << line;
    return true;
}

void ZvFusionCameraDataProcessor::nextFrame() {
    if (playing_.load()) stopPlayback(true);
    if (!readyForSteps()) return;
    std::lock_guard<std::mutex> lock(readerMutex_);
    const uint64_t tb = timeBase_.load();
    if (tb + accTime_.load() >= upper_.load()) return;
    timeBase_ = tb + interval_.load();
    if (!renderFrameAt()) keepTimeBase(tb);
    logLine("time base update: " + QString::number(timeBase_.load()) +
            " interval: " + QString::number(interval_.load()));
}

void ZvFusionCameraDataProcessor::preFrame() {
    if (playing_.load()) stopPlayback(true);
    if (!readyForSteps()) return;
    std::lock_guard<std::mutex> lock(readerMutex_);
    const uint64_t tb = timeBase_.load();
    const uint64_t interval = interval_.load();
    const uint64_t lower = lower_.load();
    timeBase_ = (tb > interval && tb - interval > lower) ? tb - interval : lower;
    if (!renderFrameAt()) keepTimeBase(tb);
}

void ZvFusionCameraDataProcessor::keepTimeBase(uint64_t tb) {
    // Nothing could be shown at the new time: the frame shown stays with its time, and the slider
    // goes back to it.
    logLine("No frame at " + QString::number(timeBase_.load()) + ": the current frame stays.");
    timeBase_ = tb;
    emit signalTimeStamp(tb);
}

void ZvFusionCameraDataProcessor::setPlayPos(uint64_t timestamp_us) {
    if (playing_.load()) stopPlayback(true);
    if (!readyForSteps()) return;
    std::lock_guard<std::mutex> lock(readerMutex_);
    const uint64_t offset = frameOffset_.load();
    zelvan::ApsFrame at;
    if (!frames_->seek(timestamp_us > offset ? timestamp_us - offset : 0, at)) {
        // The frame shown stays, and so does the time: the slider goes back to it.
        logLine("No frame at " + QString::number(timestamp_us) + ": the current frame stays.");
        emit signalTimeStamp(timeBase_.load());
        emit signalShowLeftBottomTips(
            tr("There is no frame at %1; the frame shown stays.").arg(formatTimestamp(timestamp_us)),
            ZvMessageType::Warning, QString());
        return;
    }
    timeBase_ = timestamp_us;
    currentFrame_ = std::move(at);
    if (!frames_->next(nextFrame_)) nextFrame_ = zelvan::ApsFrame();
    renderFrameAt();
}

void ZvFusionCameraDataProcessor::requestPlayPos(uint64_t timestamp_us) {
    requestedPos_ = timestamp_us;
    if (seekRequested_) return;
    seekRequested_ = true;
    QMetaObject::invokeMethod(this, &ZvFusionCameraDataProcessor::runRequestedPlayPos, Qt::QueuedConnection);
}

void ZvFusionCameraDataProcessor::runRequestedPlayPos() {
    seekRequested_ = false;
    setPlayPos(requestedPos_);
}

void ZvFusionCameraDataProcessor::slotPlaybackReset() {
    if (playing_.load()) stopPlayback(true);
    if (!readyForSteps()) return;
    std::lock_guard<std::mutex> lock(readerMutex_);
    if (!rewindLocked()) return;
    timeBase_ = lower_.load();
    renderFrameAt();
}

void ZvFusionCameraDataProcessor::slotSetLowerTimeStamp(uint64_t timestamp) { lower_ = timestamp; }
void ZvFusionCameraDataProcessor::slotSetUpperTimeStamp(uint64_t timestamp) { upper_ = timestamp; }
void ZvFusionCameraDataProcessor::slotSetReplayFlag(bool replay) { replay_ = replay; }

void ZvFusionCameraDataProcessor::setFps(int fps) {
    // A rate of 0 or less counts as 1 frame per second.
    fps = std::max(fps, 1);
    fps_ = fps;
    interval_ = uint64_t(1000000 / fps);
    logLine("set fps: " + QString::number(fps) + " time interval: " + QString::number(interval_.load()));
}

void ZvFusionCameraDataProcessor::setAccTime(uint64_t time_us) { accTime_ = std::max<uint64_t>(time_us, 1); }

// --- Manual calibration ---

void ZvFusionCameraDataProcessor::slotSetApsOffset(double dx, double dy) {
    calibrator_.adjustAffineTranslation(dx, dy);
    // A paused recording shows its frame again with the new offset (frames are resampled as they are
    // decoded, so it is decoded again).
    if (!playing_.load() && readyForSteps()) requestPlayPos(timeBase_.load());
}

QString ZvFusionCameraDataProcessor::calibrationFilePath() const {
    AppSettings* settings = AppSettings::instance();
    // The folder of the recordings opened; the application's data folder until that is known.
    QString folder = settings->inputRawFilePath;
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) folder = settings->appDataPath;
    return folder + "/tmp_calibration_file.json";
}

void ZvFusionCameraDataProcessor::slotApplyOffset() {
    const QString path = calibrationFilePath();
    std::string file = toFileSystemPath(path);
    // The translation is folded into the transform whether or not the file can be written: the view
    // keeps what the user set, and the offsets start again from 0.
    const bool written = calibrator_.saveCalibrationParam(file);
    emit signalCalibrationOffsetApplied();
    const std::shared_ptr<zelvan::FusionCamera> camera = fusionCamera();
    bool stored = false;
    if (!written) {
        logLine("Cannot write the calibration file " + path);
    } else if (camera && camera->isConnected()) {
        stored = camera->writeCalibrationFile(file);
    }
    if (stored) {
        emit signalShowLeftBottomTips(tr("Manual calibration parameters were written successfully!"),
                                      ZvMessageType::Success, QString());
    } else {
        emit signalShowLeftBottomTips(tr("Manual calibration parameters were written failed!"),
                                      ZvMessageType::Error, QString());
    }
}
