// Recording of a fusion camera: events to NAME.raw, frames to NAME.mp4 (presentation time 0 at the first
// recorded frame's exposure end), the calibration to NAME.json.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "FileReader/IndexBuilder.h"
#include "FileReader/OutputFile.h"
#include "camera/TandraCamera.h"
#include "zelvan/DataToVideoConverter.h"
#include "zelvan/FileHeader.h"
#include "zelvan/Logger.h"
#include "zelvan/ThreadUtils.h"

namespace zelvan {

int TandraCamera::startRecording(std::string folder, std::string name, STREAM_TYPE type) {
    std::lock_guard<std::mutex> control(record_control_mutex_);
    // Never opened, or its device lost (nothing would reach the files).
    if (!inited_.load() || !alive_.load() || loss_noticed_.load()) {
        ZV_LOG(LOG_ERROR, "Recording refused: camera %s is not open.", getDescription().serial.c_str());
        return -1;
    }
    const std::string base = folder + "/" + name;
    CalibratorParameters calibration;
    bool calibration_valid = false;
    {
        std::lock_guard<std::mutex> lock(calibration_mutex_);
        calibration = calibration_;
        calibration_valid = calibration_valid_;
    }
    const bool busy = ((type == DVS || type == DVS_AND_APS) && event_recording_.load()) ||
                      ((type == APS || type == DVS_AND_APS) && frame_recording_.load());
    if (busy) {
        ZV_LOG(LOG_INFO, "Do not save again while saving.");
        return -1;
    }
    // What was not told of a recording the camera ended belongs to that recording, not to this one.
    ended_recording_failed_ = false;
    // Files of an earlier recording of this name stay as they were when the event file cannot be
    // written: that is known before the calibration and the video are written. An event file made
    // here goes again when the start fails after all.
    const std::string raw = base + ".raw";
    bool raw_made = false;
    if (type != APS && !makeWayForRaw(raw, raw_made)) return -1;
    std::error_code ec;
    const bool json_made = calibration_valid && !std::filesystem::exists(base + ".json", ec);
    const auto refuse = [&] {
        if (raw_made) detail::removePartialOutput(raw);
        if (json_made) detail::removePartialOutput(base + ".json");
        return -1;
    };
    if (calibration_valid && !paramToJsonFile(calibration, base + ".json")) {
        ZV_LOG(LOG_ERROR, "Unable to write the calibration %s.json of the recording.", base.c_str());
        return refuse();
    }
    switch (type) {
        case DVS:
            return startRecordingDvsStream(raw) == 0 ? 0 : refuse();
        case APS:
            return startRecordingApsStream(folder, name);
        default:
            if (startRecordingApsStream(folder, name) != 0) {
                ZV_LOG(LOG_INFO, "Start Recording APS Stream Failed.");
                return refuse();
            }
            if (startRecordingDvsStream(raw) != 0) {
                ZV_LOG(LOG_INFO, "Start Recording DVS Stream Failed.");
                // Nothing half-started is left behind: the video just opened is closed again.
                stopRecordingLocked(APS, true);
                return refuse();
            }
            return 0;
    }
}

int TandraCamera::stopRecording(STREAM_TYPE type) {
    std::lock_guard<std::mutex> control(record_control_mutex_);
    int result = stopRecordingLocked(type);
    // A recording the camera ended by itself (a lost device, a stop from a callback) that lost data is
    // told to whoever stops recording next.
    if (ended_recording_failed_.exchange(false)) {
        ZV_LOG(LOG_ERROR, "Camera %s: the last recording was ended by the camera and is incomplete.",
               getDescription().serial.c_str());
        result = -1;
    }
    return result;
}

int TandraCamera::endRecording() {
    std::lock_guard<std::mutex> control(record_control_mutex_);
    return stopRecordingLocked(DVS_AND_APS);
}

// --- Frames ---

int TandraCamera::startRecordingApsStream(const std::string& folder, const std::string& name) {
    if (frame_recording_.load()) {
        ZV_LOG(LOG_INFO, "Do not save again while saving.");
        return -1;
    }
    const std::string path = folder + "/" + name + ".mp4";
    std::unique_lock<std::mutex> lock(record_mutex_);
    // The recording thread sets the encoder up when the camera opens; wait for its verdict.
    record_done_cv_.wait(lock, [this] { return recorder_set_up_ || recorder_exited_ || !alive_.load(); });
    if (!recorder_ready_ || recorder_exited_ || !alive_.load()) {
        ZV_LOG(LOG_ERROR, "Frame recording is not available on camera %s.", getDescription().serial.c_str());
        return -1;
    }
    folder_ = folder;
    frame_start_timestamp_ = 0;
    last_recorded_timestamp_ = 0;
    frames_dropped_ = 0;
    recorded_frames_ = 0;
    ++frame_session_;
    frame_error_.clear();
    record_frames_.clear();
    open_path_ = path;
    open_requested_ = true;
    record_cv_.notify_all();
    record_done_cv_.wait(lock, [this] { return !open_requested_ || recorder_exited_; });
    if (open_requested_ || open_result_ != 0) {
        open_requested_ = false;
        ZV_LOG(LOG_ERROR, "Unable to open %s for writing.", path.c_str());
        return -1;
    }
    video_closed_ = false;
    frame_recording_ = true;
    return 0;
}

void TandraCamera::prepareApsData2Save(const FrameBuffer& frame, uint64_t exposure_end) {
    {
        std::lock_guard<std::mutex> lock(record_mutex_);
        if (!frame_recording_.load()) return;
        if (exposure_end == 0) {
            // Its exposure time could not be read: the frame has no time in the video.
            ++frames_dropped_;
            if (frame_error_.empty()) frame_error_ = "a frame whose exposure time could not be read";
            return;
        }
        if (record_frames_.size() == kMaxQueuedRecordFrames) {
            // The encoder fell behind: the frame is lost to the recording, which then fails.
            if (frames_dropped_++ == 0) {
                ZV_LOG(LOG_WARNING,
                       "Camera %s: the video encoder fell behind, frames are dropped from the recording.",
                       getDescription().serial.c_str());
            }
            return;
        }
        // The buffer is handed over as it is: the frame is not copied again.
        record_frames_.push(RecordFrame{frame, exposure_end});
        ++recorded_frames_;
        if (frame_start_timestamp_ == 0) {
            frame_start_timestamp_ = exposure_end;
            ZV_LOG(LOG_INFO, "Mp4 offset: %lld", static_cast<long long>(exposure_end));
        }
    }
    record_cv_.notify_all();
    record_done_cv_.notify_all();  // an event recording may wait for the first frame
}

uint64_t TandraCamera::frameStartTimestamp() {
    std::lock_guard<std::mutex> lock(record_mutex_);
    return frame_start_timestamp_;
}

void TandraCamera::frameRecordingLoop() {
    setCurrentThreadName("zv-fusion-video");
    auto converter = std::make_unique<DataToVideoConverter>();
    converter->setConverterFrameSize(int(aps_height_), int(aps_width_), int(aps_height_), int(aps_width_));
    const bool ready = converter->setConverterFmt(DataToVideoConverter::kPixFmtNv12,
                                                  DataToVideoConverter::kPixFmtYuv420p) == 0 &&
                       converter->initVideoConverter() >= 0;
    if (!ready) {
        ZV_LOG(LOG_ERROR,
               "Video converter initialization failed, please confirm that the input file is correct.");
        converter.reset();
    }
    std::unique_lock<std::mutex> lock(record_mutex_);
    recorder_ready_ = ready;
    recorder_set_up_ = true;
    if (!ready) frame_recording_ = false;
    record_done_cv_.notify_all();
    while (true) {
        record_cv_.wait(
            lock, [this] { return !alive_.load() || open_requested_ || !record_frames_.empty() || finish_; });
        if (open_requested_) {
            const std::string path = open_path_;
            lock.unlock();
            const int result = converter ? converter->setOutputFile(path) : -1;
            lock.lock();
            open_result_ = result;
            open_requested_ = false;
            record_done_cv_.notify_all();
            continue;
        }
        while (!record_frames_.empty()) {
            RecordFrame item = record_frames_.pop();
            const uint64_t start = frame_start_timestamp_;
            // Presentation times must rise: a frame without a usable time is left out (and counted).
            const bool usable = item.timestamp >= start &&
                                (last_recorded_timestamp_ == 0 || item.timestamp > last_recorded_timestamp_);
            if (usable) last_recorded_timestamp_ = item.timestamp;
            lock.unlock();
            int result = -1;
            if (usable && converter) {
                result =
                    converter->nv12ToVideo(item.frame->data(), static_cast<int64_t>(item.timestamp - start));
            }
            item.frame.reset();
            lock.lock();
            record_done_cv_.notify_all();  // room in the queue again
            if (result != 0) {
                ++frames_dropped_;
                if (frame_error_.empty()) {
                    frame_error_ = usable && converter ? converter->lastErrorMessage()
                                                       : "a frame without a rising exposure time";
                }
            }
        }
        if (finish_ || (!alive_.load() && !video_closed_)) {
            lock.unlock();
            const int result = converter ? converter->flushAndCloseVideo() : -1;
            lock.lock();
            if (result != 0 && frame_error_.empty())
                frame_error_ = converter ? converter->lastErrorMessage() : "no video encoder";
            finish_ = false;
            video_closed_ = true;
            record_done_cv_.notify_all();
        }
        if (!alive_.load()) break;
    }
    frame_recording_ = false;
    recorder_exited_ = true;
    recorder_ready_ = false;
    record_done_cv_.notify_all();
}

// --- Events ---

bool TandraCamera::makeWayForRaw(const std::string& path, bool& made) {
    std::string index_error;
    switch (detail::makeWayForRecording(path, index_error, &made)) {
        case detail::RecordingName::Ready:
            return true;
        case detail::RecordingName::IndexStays:
            ZV_LOG(LOG_ERROR, "%s", index_error.c_str());
            return false;
        case detail::RecordingName::CannotOpen:
            break;
    }
    ZV_LOG(LOG_ERROR, "%s", ("Unable to open " + path + " for writing.").c_str());
    return false;
}

int TandraCamera::startRecordingDvsStream(const std::string& path) {
    if (event_recording_.load()) {
        ZV_LOG(LOG_INFO, "Do not save again while saving.");
        return -1;
    }
    ZV_LOG(LOG_INFO, "Start recording DVS stream to %s.", path.c_str());
    raw_index_.reset();
    // An index left beside an earlier file of this name must never be taken for the new recording's.
    // It goes once the name is known to be writable, and the earlier file is emptied only after it
    // went: a start that fails leaves the earlier recording as it was.
    // The name was made ready for it (startRecording).
    raw_file_ = std::ofstream(path, std::ios::binary | std::ios::trunc);
    if (!raw_file_) {
        ZV_LOG(LOG_ERROR, "%s", ("Unable to open " + path + " for writing.").c_str());
        return -1;
    }
    raw_path_ = path;
    header_written_ = false;
    aps_start_for_header_ = 0;
    {
        // The video whose first frame the header waits for: the one recording now, if any.
        std::lock_guard<std::mutex> lock(record_mutex_);
        raw_waited_for_frame_ = frame_recording_.load();
        waited_frame_session_ = frame_session_;
        waited_video_had_frames_ = false;
    }
    event_error_.clear();
    event_pool_ = std::make_unique<ObjectPool>(kEventPoolCount, false, kEventChunkBytes,
                                               ObjectPool::Allocation::OnDemand);
    {
        std::lock_guard<std::mutex> lock(event_record_mutex_);
        current_event_chunk_ = event_pool_->acquire();
        current_event_chunk_->clear();
        event_chunks_.clear();
        have_first_time_ = false;
        first_buffer_time_ = 0;
        event_bytes_dropped_ = 0;
    }
    event_stop_requested_ = false;
    event_recording_ = true;
    startThread(event_recording_thread_, &TandraCamera::eventRecordingLoop);
    return 0;
}

void TandraCamera::prepareDvsData2Save(const std::vector<uint8_t>& bytes) {
    bool queued = false;
    {
        std::lock_guard<std::mutex> lock(event_record_mutex_);
        if (!event_accepting_.load() || !current_event_chunk_) return;
        if (!have_first_time_) {
            // The stream time just before the first recorded byte starts the file's header.
            first_buffer_time_ = decoder_->getLastTimestamp();
            have_first_time_ = true;
        }
        if (!current_event_chunk_->empty() &&
            current_event_chunk_->size() + bytes.size() > kEventChunkBytes) {
            if (event_chunks_.size() == kMaxQueuedEventChunks) {
                // The disk fell behind: these bytes are lost to the recording, which then fails.
                if (event_bytes_dropped_ == 0) {
                    ZV_LOG(LOG_WARNING, "Camera %s: the disk fell behind, event data are dropped from %s.",
                           getDescription().serial.c_str(), raw_path_.c_str());
                }
                event_bytes_dropped_ += current_event_chunk_->size();
                current_event_chunk_->clear();
            } else {
                event_chunks_.push(std::move(current_event_chunk_));
                current_event_chunk_ = event_pool_->acquire();
                current_event_chunk_->clear();
                queued = true;
            }
        }
        current_event_chunk_->insert(current_event_chunk_->end(), bytes.begin(), bytes.end());
    }
    if (queued) event_record_cv_.notify_all();
}

bool TandraCamera::writeRawHeaderOnce() {
    if (header_written_) return true;
    header_written_ = true;
    DvsFileInfo info = file_info_;
    {
        std::lock_guard<std::mutex> lock(event_record_mutex_);
        info.dvs_start_timestamp = have_first_time_ ? first_buffer_time_ : decoder_->getLastTimestamp();
    }
    // A fusion recording's header starts with "% aps_start_timestamp N" (generateDvsFileHeader puts
    // it first when it is known).
    info.aps_start_timestamp = aps_start_for_header_;
    info.date = std::chrono::system_clock::now();
    const std::string header = generateDvsFileHeader(info);
    raw_file_.write(header.data(), static_cast<std::streamsize>(header.size()));
    if (!raw_file_ && event_error_.empty()) event_error_ = "the header could not be written";
    if (raw_file_) {
        raw_index_ = std::make_unique<detail::RecordingIndexer>(info.dvs_start_timestamp);
        raw_header_ = header;
    }
    return static_cast<bool>(raw_file_);
}

bool TandraCamera::writeEventChunk(const std::vector<uint8_t>& chunk) {
    if (!writeRawHeaderOnce()) return false;
    raw_file_.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    if (!raw_file_) {
        if (event_error_.empty()) {
            event_error_ = "writing the file failed";
            // Told at once; the stop tells it again with what was lost.
            ZV_LOG(LOG_ERROR, "Camera %s: writing %s failed (%s); the recording is incomplete.",
                   getDescription().serial.c_str(), raw_path_.c_str(), std::strerror(errno));
        }
        raw_index_.reset();  // the file's tail is not known exactly
        return false;
    }
    if (raw_index_) raw_index_->feed(chunk.data(), chunk.size());
    return true;
}

std::string TandraCamera::waitForFirstFrame() {
    using Clock = std::chrono::steady_clock;
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    const auto wait_us =
        static_cast<uint64_t>(duration_cast<std::chrono::microseconds>(kFirstFrameWait).count());
    // At least as long as kFirstFrameWait by the computer's clock, and until as much time has passed by
    // the camera's, which its events carry: a busy computer that delivers the camera's data late does
    // not cost the recording its first frame. While no events come, the camera's clock cannot be read.
    // Its time counts from the first value it shows during the wait: the one it showed before may be
    // from before a pause of the stream.
    const auto began = Clock::now();
    const uint64_t camera_before = decoder_->getLastTimestamp();
    uint64_t camera_seen = camera_before;
    bool camera_moved = false;
    uint64_t camera_from = 0;
    auto still_since = began;
    while (true) {
        {
            std::unique_lock<std::mutex> lock(record_mutex_);
            if (record_done_cv_.wait_for(lock, kFirstFramePoll, [this] {
                    return frame_start_timestamp_ != 0 || event_stop_requested_.load() ||
                           !frame_recording_.load() || !alive_.load();
                })) {
                return {};
            }
        }
        const auto now = Clock::now();
        const uint64_t camera_now = decoder_->getLastTimestamp();
        if (camera_now != camera_seen) {
            // The first value of the wait, or a stream started again from an earlier time.
            if (!camera_moved || camera_now < camera_from) camera_from = camera_now;
            camera_moved = true;
            camera_seen = camera_now;
            still_since = now;
        }
        const auto waited = duration_cast<milliseconds>(now - began).count();
        if (now - began >= kFirstFrameWallLimit) {
            return "no frame within " + std::to_string(waited) + " ms";
        }
        if (now - began < kFirstFrameWait) continue;
        if (camera_moved && camera_seen - camera_from >= wait_us) {
            return "no frame within " + std::to_string((camera_seen - camera_from) / 1000) +
                   " ms of the camera's time (" + std::to_string(waited) + " ms here)";
        }
        if (now - still_since >= kFirstFrameWait) {
            return "no frame, and no event for " +
                   std::to_string(duration_cast<milliseconds>(now - still_since).count()) + " ms";
        }
    }
}

void TandraCamera::eventRecordingLoop() {
    setCurrentThreadName("zv-fusion-raw");
    if (raw_waited_for_frame_) {
        // Both streams: the header carries the first frame's exposure end; wait for it, but not
        // forever (a camera whose frames never come still records its events).
        std::string why = waitForFirstFrame();
        std::lock_guard<std::mutex> lock(record_mutex_);
        aps_start_for_header_ = frame_start_timestamp_;
        if (frame_start_timestamp_ == 0) {
            if (why.empty()) why = "no frame";
            ZV_LOG(LOG_WARNING, "Camera %s: %s; %s is written without %% aps_start_timestamp.",
                   getDescription().serial.c_str(), why.c_str(), raw_path_.c_str());
        }
    }
    std::unique_lock<std::mutex> lock(event_record_mutex_);
    // Buffers the event stream loses from here on would be missing from the file.
    event_losses_at_record_start_ = lostEventBuffers();
    event_accepting_.store(!event_stop_requested_.load(), std::memory_order_release);
    while (true) {
        event_record_cv_.wait(lock,
                              [this] { return !event_chunks_.empty() || event_stop_requested_.load(); });
        while (!event_chunks_.empty()) {
            FrameBuffer chunk = event_chunks_.pop();
            lock.unlock();
            writeEventChunk(*chunk);
            chunk.reset();
            lock.lock();
        }
        if (event_stop_requested_.load()) break;
    }
    lock.unlock();
    writeRawHeaderOnce();
}

int TandraCamera::stopRecordingLocked(STREAM_TYPE type, bool abandoned) {
    int result = 0;
    if (event_recording_.load() && (type == DVS || type == DVS_AND_APS)) {
        {
            std::lock_guard<std::mutex> lock(event_record_mutex_);
            if (event_accepting_.exchange(false)) {
                const uint64_t lost_now = lostEventBuffers();
                event_losses_in_recording_ = lost_now - std::min(lost_now, event_losses_at_record_start_);
            } else {
                event_losses_in_recording_ = 0;
            }
            // The bytes collected since the last full chunk belong to the recording as well.
            if (current_event_chunk_ && !current_event_chunk_->empty()) {
                if (event_chunks_.size() == kMaxQueuedEventChunks) {
                    event_bytes_dropped_ += current_event_chunk_->size();
                } else {
                    event_chunks_.push(std::move(current_event_chunk_));
                }
            }
            current_event_chunk_.reset();
            event_stop_requested_ = true;
        }
        event_record_cv_.notify_all();
        { std::lock_guard<std::mutex> lock(record_mutex_); }
        record_done_cv_.notify_all();  // ends the wait for the first frame
        if (event_recording_thread_.joinable()) event_recording_thread_.join();
        raw_file_.close();
        if (raw_file_.fail() && event_error_.empty()) event_error_ = "closing the file failed";
        // The index of what the file holds (dropped data included: the file is whole without them);
        // none after a failed write. Failing to write it leaves the recording complete.
        if (raw_index_ && !raw_file_.fail()) {
            const std::vector<uint8_t> index = raw_index_->finish(raw_header_);
            std::string index_error;
            if (!index.empty() && !detail::writeSideFile(raw_path_, index, index_error))
                ZV_LOG(LOG_ERROR, "%s; readers build the index of %s", index_error.c_str(),
                       raw_path_.c_str());
            if (!raw_index_->error().empty())
                ZV_LOG(LOG_ERROR, "%s; readers build the index of %s", raw_index_->error().c_str(),
                       raw_path_.c_str());
        }
        raw_index_.reset();
        uint64_t dropped = 0;
        {
            std::lock_guard<std::mutex> lock(event_record_mutex_);
            dropped = event_bytes_dropped_;
            event_chunks_.clear();
        }
        event_pool_.reset();
        event_recording_ = false;
        // A video whose first frame came after the header was written cannot be placed among the
        // events.
        bool late_frame = false;
        {
            // Only the video this file waited for matters, whether it still runs or has ended.
            std::lock_guard<std::mutex> lock(record_mutex_);
            late_frame = raw_waited_for_frame_ && aps_start_for_header_ == 0 &&
                         (waited_video_had_frames_ ||
                          (waited_frame_session_ == frame_session_ && recorded_frames_.load() != 0));
        }
        if (late_frame && event_error_.empty()) {
            event_error_ = "the first frame came too late for its time to be written into the header";
        }
        // Buffers the event stream lost (its reader fell behind) never reached the file either.
        if (event_losses_in_recording_ != 0 && event_error_.empty()) {
            event_error_ = std::to_string(event_losses_in_recording_) +
                           " event buffer(s) lost before they reached the file";
        }
        if (!event_error_.empty() || dropped != 0) {
            ZV_LOG(LOG_ERROR, "Recording %s incomplete: %s%s%llu bytes dropped.", raw_path_.c_str(),
                   event_error_.c_str(), event_error_.empty() ? "" : ", ",
                   static_cast<unsigned long long>(dropped));
            result = -1;
        }
    }
    if (frame_recording_.load() && (type == APS || type == DVS_AND_APS)) {
        std::unique_lock<std::mutex> lock(record_mutex_);
        // An event file still recording that waited for this video learns whether it had frames.
        if (frame_session_ == waited_frame_session_ && recorded_frames_.load() != 0)
            waited_video_had_frames_ = true;
        frame_recording_ = false;
        finish_ = true;
        record_cv_.notify_all();
        // The encoder takes what is queued, then closes the video.
        record_done_cv_.wait(lock, [this] { return video_closed_ || recorder_exited_; });
        const std::string video = folder_;
        // A video without frames cannot be placed among the events (nor read back).
        if (!abandoned && recorded_frames_.load() == 0 && frame_error_.empty())
            frame_error_ = "no frame was recorded";
        if (!frame_error_.empty() || frames_dropped_ != 0) {
            ZV_LOG(LOG_ERROR, "Frame recording in %s incomplete: %llu frame(s) not recorded%s%s.",
                   video.c_str(), static_cast<unsigned long long>(frames_dropped_),
                   frame_error_.empty() ? "" : ": ", frame_error_.c_str());
            result = -1;
        }
        frame_start_timestamp_ = 0;
    }
    return result;
}

}  // namespace zelvan
