// The playback half of ZvEventProcessor: loading a raw recording, the paced playback loop, frame
// steps and seeking, and the cut and export jobs.
#include <QDebug>
#include <algorithm>
#include <chrono>
#include <exception>

#include "processing/ZvEventProcessor.h"
#include "zelvan/DvsFileReader.h"
#include "zelvan/RawFileReader.h"
#include "zelvan/TimeUtils.h"

namespace {

void logLine(const QString& line) { qInfo().noquote() << line; }

// Every trigger edge of the file in stream order. The index holds them per bookmark; a reader
// without an index lists only those met while reading.
std::vector<zelvan::EventTriggerIn> fileTriggers(zelvan::DvsFileReader& reader) {
    if (auto* raw = dynamic_cast<zelvan::RawFileReader*>(&reader)) {
        std::vector<zelvan::EventTriggerIn> out;
        for (const auto& [timestamp, bookmark] : raw->getAllBookmarks())
            out.insert(out.end(), bookmark.triggers.begin(), bookmark.triggers.end());
        return out;
    }
    return reader.getTriggerList();
}

}  // namespace

QString ZvEventProcessor::localTimeString(uint64_t timestamp) const {
    std::lock_guard<std::mutex> lock(infoMutex_);
    const auto offset = std::chrono::microseconds(static_cast<int64_t>(timestamp) -
                                                  static_cast<int64_t>(fileInfo_.dvs_start_timestamp));
    const auto at = fileInfo_.date + std::chrono::duration_cast<std::chrono::system_clock::duration>(offset);
    return QString::fromStdString(zelvan::timePointToString(at));
}

bool ZvEventProcessor::readyForFrames() const {
    if (!reader_ || loading_ || !loaded_) {
        logLine("not raw file.");
        return false;
    }
    if (fileJobs_ > 0) {
        // A cut or an export holds the reader; a step would wait for it on the GUI thread.
        logLine("a cut or an export is running.");
        return false;
    }
    return true;
}

void ZvEventProcessor::loadFile(QString file_path) {
    if (file_path.isEmpty()) {
        ++loadGeneration_;  // a load still running announces nothing
        // A load still running uses the reader: it stops at its next progress report, and is
        // waited for before the reader goes.
        cancelLoad_ = true;
        emit signalPlayStatus(false);
        joinLoad();
        stopPlaybackThread();
        std::lock_guard<std::mutex> lock(readerMutex_);
        reader_.reset();
        loaded_ = false;
        return;
    }
    logLine("Load raw file: " + file_path);
    if (loading_) {
        logLine("is loading.");
        return;  // the load running goes on and still announces its file
    }
    ++loadGeneration_;
    emit signalPlayStatus(false);
    stopPlaybackThread();
    joinLoad();
    {
        // A cut or an export of the old file keeps its own reference to the reader.
        std::lock_guard<std::mutex> lock(readerMutex_);
        reader_.reset();
        loaded_ = false;
    }
    std::shared_ptr<zelvan::DvsFileReader> reader =
        zelvan::DvsFileReader::createFileReader(toFileSystemPath(file_path));
    if (!reader) {
        logLine("not raw file.");
        return;
    }
    reader_ = reader;
    cancelLoad_ = false;
    reader->setProgressCallback(progressReporter(cancelLoad_));
    // Set before the thread starts, so that no frame operation slips in before it runs.
    loading_ = true;
    loadThread_ = std::thread(&ZvEventProcessor::loadLoop, this, std::move(reader), loadGeneration_);
}

void ZvEventProcessor::loadLoop(std::shared_ptr<zelvan::DvsFileReader> reader, uint64_t generation) {
    emit signalLoadingStatus(true);
    if (!reader->loadFile()) {
        const bool cancelled = reader->lastError() == zelvan::ReaderError::Cancelled;
        const QString why = QString::fromStdString(reader->lastErrorMessage());
        logLine(cancelled ? QString("Load raw file cancelled.") : "Load raw file failed: " + why);
        loading_ = false;
        // Told through the GUI thread, which Qt hands the values to: a load stopped by a close or by
        // another file says nothing.
        QMetaObject::invokeMethod(this, "announceFailedLoad", Qt::QueuedConnection,
                                  Q_ARG(quint64, generation), Q_ARG(bool, cancelled), Q_ARG(QString, why));
        return;
    }
    uint64_t start = 0;
    uint64_t end = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    zelvan::DvsFileInfo info;
    reader->getFileInfo(info);
    {
        std::lock_guard<std::mutex> lock(infoMutex_);
        fileInfo_ = info;
    }
    startTimestamp_ = start;
    endTimestamp_ = end;
    logLine("Start time: " + QString::number(start));
    logLine("End time: " + QString::number(end));
    position_ = start;
    // The counter grid keeps its full sensor size: a smaller recording fills its top-left corner,
    // and the live camera opened afterwards counts on the same grid.

    std::vector<std::pair<uint64_t, uint8_t>> triggers;
    bool have_triggers = true;
    try {
        for (const zelvan::EventTriggerIn& trigger : fileTriggers(*reader))
            triggers.emplace_back(trigger.timestamp, static_cast<uint8_t>(trigger.polarity));
    } catch (const std::exception&) {
        have_triggers = false;
        logLine("No triggers found in file or error reading triggers.");
    }
    const QString local = localTimeString(start);
    // Ready before playback is asked for.
    loaded_ = true;
    loading_ = false;
    logLine("Load raw file success.");

    // The file is announced by one call queued to the GUI thread, which drops it when the file has
    // been closed or another one opened meanwhile: a stale load never fills the slider or restarts
    // playback. The waiting window is closed in every case.
    QMetaObject::invokeMethod(
        this,
        [this, generation, start, end, local, have_triggers, triggers = std::move(triggers)] {
            if (generation == loadGeneration_) {
                if (have_triggers) emit signalTriggerList(triggers);
                emit signalEndTimeStamp(end);
                emit signalStartTimeStamp(start);
                emit signalRealTimeTimeStamp(start);
                emit signalLocalTime(local);
                emit signalPlayStatus(true);  // playback starts by itself once loaded
            }
            emit signalLoadingStatus(false);
        },
        Qt::QueuedConnection);
}

void ZvEventProcessor::announceFailedLoad(quint64 generation, bool cancelled, QString why) {
    if (generation == loadGeneration_) {
        if (cancelled)
            emit signalShowLeftBottomTips(tr("Loading cancelled."), ZvMessageType::Warning, QString());
        else
            emit signalShowLeftBottomTips(tr("Load raw file failed: ") + why, ZvMessageType::Error,
                                          QString());
    }
    emit signalLoadingStatus(false);
}

void ZvEventProcessor::joinLoad() {
    if (loadThread_.joinable()) loadThread_.join();
}

void ZvEventProcessor::slotPlaybackCtrl(bool on) {
    if (!reader_ || loading_ || !loaded_ || fileJobs_ > 0) {
        // Nothing to play (no file, a load running or failed, a cut or an export running): the play
        // button that asked is unchecked again, queued so that its own toggle ends first.
        if (on)
            QMetaObject::invokeMethod(
                this, [this] { emit signalPlayStatus(false); }, Qt::QueuedConnection);
        return;
    }
    if (!on) {
        stopPlaybackThread();
        return;
    }
    if (playing_) return;
    // A thread that ended at the end of the file is joined before the next one starts.
    if (playbackThread_.joinable()) playbackThread_.join();
    playing_ = true;
    playbackThread_ = std::thread(&ZvEventProcessor::playbackLoop, this, ++frameRun_);
}

void ZvEventProcessor::stopPlaybackThread() {
    ++frameRun_;  // frames of the run being stopped, still queued, are dropped
    {
        // Under the lock the playback thread waits with, so that the wake-up cannot be missed.
        std::lock_guard<std::mutex> lock(readerMutex_);
        playing_ = false;
    }
    paceCv_.notify_all();
    if (playbackThread_.joinable()) playbackThread_.join();
}

void ZvEventProcessor::stopForStep() {
    // Also after a run that ended by itself: its last frames, still queued, must not follow the step.
    ++frameRun_;
    if (!playing_) return;
    stopPlaybackThread();
    emit signalPlayStatus(false);
}

void ZvEventProcessor::playbackLoop(uint64_t run) {
    std::unique_lock<std::mutex> lock(readerMutex_);
    while (playing_ && reader_) {
        const auto t0 = std::chrono::steady_clock::now();
        const uint64_t end = endTimestamp_;
        const uint64_t step = step_;
        uint64_t pos = position_;
        std::shared_ptr<std::vector<zelvan::Event2D>> events;
        if (pos + step <= end) {
            events = reader_->getNTimeEventsGivenStartTimeStamp(pos, accTime_);
            pos += step;
        } else {
            // The last window reaches the end inclusively; a position beyond a lowered end wraps.
            if (pos <= end) events = reader_->getNTimeEventsGivenStartTimeStamp(pos, end - pos + 1);
            pos = end;
        }
        position_ = pos;
        showFrame(events, pos, run);
        if (!events || pos >= end) {
            const uint64_t start = startTimestamp_;
            reader_->seekTime(start);
            position_ = start;
            if (!loopPlayback_) {
                // The last frame drawn stays on screen.
                playing_ = false;
                emit signalPlayStatus(false);
                return;
            }
        }
        // The pace: one frame per period of wall-clock time, however long this one took; a stop
        // ends the wait at once.
        paceCv_.wait_until(lock, t0 + std::chrono::microseconds(kFramePeriodUs),
                           [this] { return !playing_; });
    }
}

void ZvEventProcessor::showFrame(const std::shared_ptr<std::vector<zelvan::Event2D>>& events,
                                 uint64_t timestamp, std::optional<uint64_t> run) {
    // An empty window is an empty frame: stepping through a pause of the scene shows it.
    if (!events) return;
    if (!events->empty()) addEvents(events->data(), events->data() + events->size());
    const QString local = localTimeString(timestamp);
    if (!run) {
        emit signalRealTimeTimeStamp(timestamp);
        emit signalLocalTime(local);
    } else {
        QMetaObject::invokeMethod(
            this,
            [this, run = *run, timestamp, local] {
                if (run != frameRun_) return;
                emit signalRealTimeTimeStamp(timestamp);
                emit signalLocalTime(local);
            },
            Qt::QueuedConnection);
    }
    requestRender();
}

void ZvEventProcessor::nextFrame() {
    if (!readyForFrames()) return;
    stopForStep();
    std::lock_guard<std::mutex> lock(readerMutex_);
    const uint64_t pos = position_;
    // Near the end nothing happens: the window would reach past it.
    if (pos + accTime_ >= endTimestamp_) return;
    auto events = reader_->getNTimeEventsGivenStartTimeStamp(pos, accTime_);
    position_ = pos + step_;
    if (!events) {
        logLine("File read end.");
        return;
    }
    showFrame(events, position_);
}

void ZvEventProcessor::preFrame() {
    if (!readyForFrames()) return;
    stopForStep();
    std::lock_guard<std::mutex> lock(readerMutex_);
    const uint64_t start = startTimestamp_;
    const uint64_t pos = position_;
    const uint64_t step = step_;
    const uint64_t back = pos >= start + step ? pos - step : start;
    position_ = back;
    if (!reader_->seekTime(back)) return;
    showFrame(reader_->getNTimeEvents(accTime_), back);
}

void ZvEventProcessor::setPlayPos(uint64_t timestamp_us) {
    if (!readyForFrames()) return;
    if (timestamp_us < startTimestamp_ || timestamp_us > endTimestamp_) return;
    stopForStep();
    std::lock_guard<std::mutex> lock(readerMutex_);
    if (!reader_->seekTime(timestamp_us)) {
        logLine("seek time err. " + QString::number(timestamp_us));
        return;
    }
    auto events = reader_->getNTimeEventsGivenStartTimeStamp(timestamp_us, accTime_);
    position_ = timestamp_us + accTime_;
    showFrame(events, position_);
}

void ZvEventProcessor::slotPlaybackReset() {
    if (!readyForFrames()) return;
    stopPlaybackThread();
    const uint64_t start = startTimestamp_;
    {
        std::lock_guard<std::mutex> lock(readerMutex_);
        reader_->seekTime(start);
        auto events = reader_->getNTimeEventsGivenStartTimeStamp(start, accTime_);
        if (events) {
            if (!events->empty()) addEvents(events->data(), events->data() + events->size());
            requestRender();
        }
    }
    logLine("set ts: " + QString::number(start));
    emit signalRealTimeTimeStamp(start);
    emit signalLocalTime(localTimeString(start));
    position_ = start;
    emit signalPlayStatus(false);
}

void ZvEventProcessor::slotPlayLoop(bool loop) { loopPlayback_ = loop; }

void ZvEventProcessor::setAccTime(uint64_t time_us) { accTime_ = time_us; }

void ZvEventProcessor::setFps(int fps) {
    if (fps < 1) {
        // Slow rates below 1/30 truncate to 0 frames per second: the slowest pace is used instead.
        logLine("set fps: " + QString::number(fps) + " is out of range, 1 is used.");
        fps = 1;
    }
    fps_ = uint64_t(fps);
    step_ = 1'000'000 / uint64_t(fps);
    logLine("set fps: " + QString::number(fps) + " time interval: " + QString::number(step_.load()));
}

void ZvEventProcessor::slotSetLowerTimeStamp(uint64_t timestamp_us) {
    startTimestamp_ = timestamp_us;
    if (!reader_ || loading_ || !loaded_) return;
    {
        // Under the lock the playback thread moves the position with.
        std::lock_guard<std::mutex> lock(readerMutex_);
        if (position_ >= timestamp_us) return;
        // A start raised past the position takes the position along: playback and steps go on
        // from the new start.
        position_ = timestamp_us;
    }
    if (playing_) return;  // the next frame played shows the new position
    ++frameRun_;           // frames of a run that ended meanwhile, still queued, are dropped
    emit signalRealTimeTimeStamp(timestamp_us);
    emit signalLocalTime(localTimeString(timestamp_us));
}

void ZvEventProcessor::slotSetUpperTimeStamp(uint64_t timestamp_us) { endTimestamp_ = timestamp_us; }

void ZvEventProcessor::slotExportVideo(QString qs_out_full_path, QString qs_out_dir, uint64_t start_ts,
                                       uint64_t end_ts) {
    startFileJob(FileJob::Export, qs_out_full_path, qs_out_dir, start_ts, end_ts);
}

void ZvEventProcessor::slotCutRawFile(QString qs_out_full_path, QString qs_out_dir, uint64_t start_ts,
                                      uint64_t end_ts) {
    startFileJob(FileJob::Cut, qs_out_full_path, qs_out_dir, start_ts, end_ts);
}

void ZvEventProcessor::startFileJob(FileJob job, const QString& out_full_path, const QString& out_dir,
                                    uint64_t start_ts, uint64_t end_ts) {
    if (!reader_ || loading_ || !loaded_) {
        emit signalShowLeftBottomTips(tr("No recording is loaded."), ZvMessageType::Error, QString());
        return;
    }
    if (fileJobs_ > 0) {
        emit signalShowLeftBottomTips(tr("A cut or an export is already running."), ZvMessageType::Error,
                                      QString());
        return;
    }
    stopForStep();
    // A job of this kind that has ended is joined before the next one starts.
    std::thread& thread = job == FileJob::Cut ? cutThread_ : exportThread_;
    if (thread.joinable()) thread.join();
    ++fileJobs_;
    ++fileJobsUntold_;
    cancelJob_ = false;
    // Only one job runs at a time, and the load that used the callback has ended.
    reader_->setProgressCallback(progressReporter(cancelJob_));
    thread = std::thread([this, reader = reader_, job, out_full_path, out_dir, start_ts, end_ts] {
        emit signalLoadingStatus(true);
        const QString done = "extract event data start:" + QString::number(start_ts) +
                             " end: " + QString::number(end_ts) + " success.";
        bool ok = false;
        QString why;
        try {
            if (job == FileJob::Cut) {
                ok = reader->extractEventData(start_ts, end_ts, toFileSystemPath(out_full_path));
            } else {
                logLine("start export video: " + out_full_path);
                ok = reader->exportEventDataToVideo(start_ts, end_ts, toFileSystemPath(out_full_path));
            }
            if (!ok) why = QString::fromStdString(reader->lastErrorMessage());
        } catch (const std::exception& e) {
            // Only running out of memory throws: the reader has removed what it wrote.
            why = QString::fromLocal8Bit(e.what());
        }
        const bool cancelled = !ok && reader->lastError() == zelvan::ReaderError::Cancelled;
        // Done with the reader before the result is told: a job asked for on hearing it is accepted.
        --fileJobs_;
        if (cancelled) {
            const QString what = job == FileJob::Cut ? tr("Cut cancelled.") : tr("Export cancelled.");
            logLine(what);
            emit signalShowLeftBottomTips(what, ZvMessageType::Warning, QString());
        } else if (ok) {
            logLine(done);
            const QString what =
                job == FileJob::Cut ? tr("Export raw file success!") : tr("Export video success!");
            emit signalShowLeftBottomTips(what, ZvMessageType::Success, out_dir);
        } else {
            const QString what =
                job == FileJob::Cut ? tr("Export raw file failed: ") : tr("Export video failed: ");
            logLine(what + why);
            emit signalShowLeftBottomTips(what + why, ZvMessageType::Error, QString());
        }
        --fileJobsUntold_;
        emit signalLoadingStatus(false);
    });
}

void ZvEventProcessor::cancelWork() {
    if (loading_) cancelLoad_ = true;
    if (fileJobs_ > 0) cancelJob_ = true;
}

std::function<bool(uint64_t, uint64_t)> ZvEventProcessor::progressReporter(const std::atomic<bool>& cancel) {
    return [this, &cancel, last = -1](uint64_t done, uint64_t total) mutable {
        const int percent = zelvan::DvsFileReader::progressPercent(done, total);
        if (percent != last) {
            last = percent;
            emit signalProgress(percent);
        }
        return !cancel.load();
    };
}

void ZvEventProcessor::shutDownPlayback() {
    // What still runs stops at its next progress report.
    cancelLoad_ = true;
    cancelJob_ = true;
    joinLoad();
    stopPlaybackThread();
    if (cutThread_.joinable()) cutThread_.join();
    if (exportThread_.joinable()) exportThread_.join();
    std::lock_guard<std::mutex> lock(readerMutex_);
    reader_.reset();
}
