#include "FileRecorder/DvsFileRecorder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "FileReader/IndexBuilder.h"
#include "zelvan/EVT3Decoder.h"
#include "zelvan/FileHeader.h"
#include "zelvan/Logger.h"
#include "zelvan/ThreadUtils.h"

namespace zelvan {

namespace {
constexpr uint64_t kCacheFileSpanUs = 999'999;
// Stream time after which a partly filled buffer is handed on while nothing waits for the disk: at low
// event rates a buffer would otherwise gather many seconds, and the cache, whose files are made of
// whole buffers, would keep far more than its time.
constexpr uint64_t kBufferSpanUs = 100'000;
const char* const kCacheFileSuffix = "_zelvan.raw.tmp";

std::string systemError() { return std::strerror(errno); }
}  // namespace

DvsFileRecorder::DvsFileRecorder() : pool_(kPoolBuffers, false, kBufferBytes) {}

DvsFileRecorder::~DvsFileRecorder() {
    std::unique_lock<std::mutex> control(control_mutex_);
    if (recording_.load() && cache_mode_) {
        // Merge what the cache holds before anything goes away.
        control.unlock();
        // Its outcome stays in status().
        static_cast<void>(stopRecording());
        control.lock();
    }
    if (merge_thread_.joinable()) merge_thread_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        recording_ = false;
        caching_ = false;
        pushCurrentLocked();
        cv_.notify_all();
    }
    if (cache_thread_.joinable()) cache_thread_.join();
    if (writer_thread_.joinable()) writer_thread_.join();
    closeOutput();
    deleteListedCacheFiles();
    std::lock_guard<std::mutex> lock(mutex_);
    time_source_ = nullptr;
}

void DvsFileRecorder::addData(const uint8_t* data, size_t size) {
    if (data == nullptr || size == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!current_.bytes) {
        current_.bytes = pool_.acquire();
        current_.bytes->clear();
    }
    if (current_.bytes->empty()) current_.start_time = time_source_ ? time_source_() : std::nullopt;
    current_.bytes->insert(current_.bytes->end(), data, data + size);
    if (current_.bytes->size() <= kBufferBytes) {
        // A partly filled buffer goes on early only to a worker that has caught up, so that early
        // hand-overs never take the room that full buffers may need when the disk falls behind.
        if (queue_.empty() && !worker_busy_ && spanEndedLocked()) pushCurrentLocked();
        return;
    }
    if (queue_.size() >= kMaxQueuedBuffers) {
        // The disk does not keep up: drop this buffer rather than hold up the camera or grow without end.
        const uint64_t bytes = current_.bytes->size();
        current_.bytes->clear();
        dropped_total_ += bytes;
        if (recording_.load()) dropped_recording_ += bytes;
        drops_since_log_ += bytes;
        data_lost_before_next_ = true;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_drop_log_ >= std::chrono::seconds(1)) {
            ZV_LOG(LOG_WARNING, "Recorder dropped %llu bytes: the disk does not keep up with the camera.",
                   static_cast<unsigned long long>(drops_since_log_));
            drops_since_log_ = 0;
            last_drop_log_ = now;
        }
        return;
    }
    pushCurrentLocked();
}

bool DvsFileRecorder::spanEndedLocked() const {
    if (!time_source_) return false;
    const std::optional<uint64_t> now = time_source_();
    if (!now) return false;
    // A buffer begun before the stream had a time ends once it has one: the next starts with it.
    if (!current_.start_time) return true;
    const uint64_t start = *current_.start_time;
    // A time behind the buffer's start (a new time base) ends it too.
    return *now < start || *now - start >= kBufferSpanUs;
}

void DvsFileRecorder::setTimeSource(TimeSource source) {
    std::lock_guard<std::mutex> lock(mutex_);
    time_source_ = std::move(source);
}

void DvsFileRecorder::pushCurrentLocked() {
    if (!current_.bytes || current_.bytes->empty()) return;
    current_.after_loss = data_lost_before_next_;
    data_lost_before_next_ = false;
    queue_.push_back(std::move(current_));
    current_ = Chunk{};
    cv_.notify_all();
}

std::deque<DvsFileRecorder::Chunk> DvsFileRecorder::takeQueue() {
    std::deque<Chunk> batch;
    std::unique_lock<std::mutex> lock(mutex_);
    worker_busy_ = false;
    written_cv_.notify_all();
    cv_.wait(lock, [this] { return !queue_.empty() || !(recording_.load() || caching_.load()); });
    batch.swap(queue_);
    worker_busy_ = !batch.empty();
    return batch;
}

uint64_t DvsFileRecorder::startTimeOf(const Chunk& chunk, uint64_t fallback) {
    if (chunk.start_time) return *chunk.start_time;
    // The stream had no time yet: a decoder starting at these bytes takes it from the first TIME_HIGH.
    const uint8_t* first = chunk.bytes->data();
    if (auto t = EVT3Decoder::firstTimeHighTime(first, first + chunk.bytes->size())) return *t;
    return fallback;
}

void DvsFileRecorder::fail(RecorderError reason, const std::string& error) {
    ZV_LOG(LOG_ERROR, "%s", error.c_str());
    std::lock_guard<std::mutex> lock(files_mutex_);
    if (status_.failed) return;
    status_.failed = true;
    status_.error = error;
    status_.reason = reason;
}

bool DvsFileRecorder::outcome(RecorderError reason) {
    last_error_ = reason;
    return reason == RecorderError::None;
}

void DvsFileRecorder::countWrittenFromFile() {
    // After a failed write the file may hold part of a buffer: the file itself tells.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(output_path_, ec)) return;
    const auto size = std::filesystem::file_size(output_path_, ec);
    if (ec) return;
    std::lock_guard<std::mutex> lock(files_mutex_);
    status_.bytesWritten = size;
}

ZvRecordingStatus DvsFileRecorder::status() const {
    std::lock_guard<std::mutex> lock(files_mutex_);
    ZvRecordingStatus s = status_;
    s.recording = recording_.load();
    s.merging = merge_busy_.load();
    s.bytesDropped += dropped_recording_.load();
    if (!s.failed && s.bytesDropped > 0) {
        s.failed = true;
        s.error = std::to_string(s.bytesDropped) + " bytes dropped: the disk did not keep up with the camera";
        s.reason = RecorderError::BuffersDropped;
    }
    return s;
}

bool DvsFileRecorder::startRecording(const std::string& path, const DvsFileInfo& info) {
    std::lock_guard<std::mutex> control(control_mutex_);
    if (merge_busy_.load()) return outcome(RecorderError::MergeRunning);
    if (recording_.load()) return outcome(RecorderError::AlreadyRecording);
    if (writer_thread_.joinable()) writer_thread_.join();  // a recording that ended on a write error
    closeOutput();
    {
        std::lock_guard<std::mutex> lock(files_mutex_);
        status_ = ZvRecordingStatus{};
        status_.path = path;
    }
    dropped_recording_ = 0;
    // An index left beside an earlier file of this name must never be taken for the new recording's.
    // It goes once the name is known to be writable, and the earlier file is emptied only after it
    // went: a start that fails leaves the earlier recording as it was.
    if (std::string error; detail::makeWayForRecording(path, error) != detail::RecordingName::Ready) {
        fail(RecorderError::CannotOpen, error);
        return outcome(RecorderError::CannotOpen);
    }
    output_.open(path, std::ios::binary | std::ios::trunc);
    if (!output_) {
        fail(RecorderError::CannotOpen, "Cannot open recording file " + path + ": " + systemError());
        output_.clear();
        return outcome(RecorderError::CannotOpen);
    }
    output_path_ = path;
    file_info_ = info;
    header_written_ = false;
    if (cache_mode_) {
        recording_ = true;
        return outcome(RecorderError::None);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (current_.bytes) current_.bytes->clear();
        queue_.clear();
        data_lost_before_next_ = false;
    }
    ZV_LOG(LOG_INFO, "Start recording file ts: %llu",
           static_cast<unsigned long long>(info.dvs_start_timestamp));
    recording_ = true;
    writer_thread_ = std::thread(&DvsFileRecorder::writerLoop, this);
    return outcome(RecorderError::None);
}

bool DvsFileRecorder::stopRecording() {
    std::lock_guard<std::mutex> control(control_mutex_);
    if (merge_busy_.load()) return outcome(RecorderError::MergeRunning);
    bool was_recording;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        was_recording = recording_.exchange(false);
        if (cache_mode_ && !was_recording) return outcome(RecorderError::None);  // only the cache runs
        caching_ = false;
        pushCurrentLocked();
        cv_.notify_all();
    }
    if (cache_mode_) {
        if (cache_thread_.joinable()) cache_thread_.join();
        if (merge_thread_.joinable()) merge_thread_.join();
        std::string damaged;
        {
            std::lock_guard<std::mutex> lock(files_mutex_);
            for (const auto& file : cache_files_) {
                if (file.damaged && damaged.empty()) damaged = file.path;
            }
        }
        if (!damaged.empty()) {
            fail(RecorderError::CacheFileDamaged,
                 "Cache file " + damaged + " lacks data: it could not be written");
        }
        // Dropped buffers or a damaged cache file: data are lost already.
        const ZvRecordingStatus so_far = status();
        // The merge goes on with what there is; status() tells how it ended.
        merge_busy_ = true;
        merge_thread_ = std::thread(&DvsFileRecorder::mergeLoop, this);
        return outcome(so_far.failed ? so_far.reason : RecorderError::None);
    }
    // No writer while recording: the recording never got one, so nothing was written.
    if (!writer_thread_.joinable()) {
        return outcome(was_recording ? RecorderError::WriteFailed : RecorderError::None);
    }
    TimeSource source;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        source = time_source_;
    }
    if (source) {
        if (auto t = source())
            ZV_LOG(LOG_INFO, "Stop recording file ts: %llu", static_cast<unsigned long long>(*t));
    }
    writer_thread_.join();
    closeOutput();
    const ZvRecordingStatus result = status();
    return outcome(result.failed ? result.reason : RecorderError::None);
}

void DvsFileRecorder::setFileCacheTime(uint16_t seconds, const std::string& prefix) {
    std::lock_guard<std::mutex> control(control_mutex_);
    if (merge_thread_.joinable()) merge_thread_.join();
    if (recording_.load()) {
        ZV_LOG(LOG_WARNING, "The cache time cannot change while a recording runs.");
        return;
    }
    bool restart = false;
    {
        std::lock_guard<std::mutex> lock(files_mutex_);
        cache_prefix_ = prefix;
        // The files of a running cache are numbered and rolled over for its count of seconds: another
        // count starts the cache afresh.
        restart = seconds > 0 && caching_.load() && seconds != cache_seconds_;
    }
    if (seconds > 0 && caching_.load() && !restart) return;
    if (seconds == 0 || restart) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            cache_mode_ = false;
            caching_ = false;
            pushCurrentLocked();
            cv_.notify_all();
        }
        if (cache_thread_.joinable()) cache_thread_.join();
        if (seconds == 0) return;
    }
    {
        std::lock_guard<std::mutex> lock(files_mutex_);
        cache_seconds_ = seconds;
    }
    if (cache_thread_.joinable()) cache_thread_.join();
    // A recording that ended on a write error leaves its writer to end once nothing is recorded or
    // cached: it ends before the cache starts, so that only the cache loop takes the buffers.
    if (writer_thread_.joinable()) {
        writer_thread_.join();
        closeOutput();
    }
    cache_mode_ = true;
    startCacheLoop();
}

void DvsFileRecorder::waitForMerge() {
    std::lock_guard<std::mutex> control(control_mutex_);
    if (merge_thread_.joinable()) merge_thread_.join();
}

bool DvsFileRecorder::waitForMerge(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(files_mutex_);
    return merge_cv_.wait_for(lock, timeout, [this] { return !merge_busy_.load(); });
}

void DvsFileRecorder::waitUntilWritten() {
    std::unique_lock<std::mutex> lock(mutex_);
    written_cv_.wait(lock, [this] {
        const bool worker = recording_.load() || caching_.load();
        return !worker_busy_ && (queue_.empty() || !worker);
    });
}

std::vector<std::string> DvsFileRecorder::cacheFiles() const {
    std::lock_guard<std::mutex> lock(files_mutex_);
    std::vector<std::string> out;
    for (const auto& entry : cache_files_) out.push_back(entry.path);
    return out;
}

bool DvsFileRecorder::closeOutput() {
    bool ok = true;
    if (output_.is_open()) {
        output_.close();
        ok = static_cast<bool>(output_);
    }
    output_.clear();
    return ok;
}

void DvsFileRecorder::writerLoop() {
    setCurrentThreadName("zv-rec-writer");
    bool failed = false;
    auto writeOut = [this, &failed](const char* data, size_t size) {
        output_.write(data, static_cast<std::streamsize>(size));
        output_.flush();
        if (!output_) {
            failed = true;
            fail(RecorderError::WriteFailed,
                 "Write error in recording file " + output_path_ + ", recording stopped: " + systemError());
            std::lock_guard<std::mutex> lock(mutex_);
            recording_ = false;
            return;
        }
        std::lock_guard<std::mutex> lock(files_mutex_);
        status_.bytesWritten += size;
    };
    std::string header;
    auto writeHeader = [this, &writeOut, &header, &failed](uint64_t start_time) {
        DvsFileInfo info = file_info_;
        info.dvs_start_timestamp = start_time;
        header = generateDvsFileHeader(info);
        header_written_ = true;
        writeOut(header.data(), header.size());
        if (!failed) indexer_ = std::make_unique<detail::RecordingIndexer>(start_time);
    };
    for (;;) {
        std::deque<Chunk> batch = takeQueue();
        if (batch.empty()) break;
        for (const auto& chunk : batch) {
            if (!failed && !header_written_) writeHeader(startTimeOf(chunk, file_info_.dvs_start_timestamp));
            if (failed) {
                std::lock_guard<std::mutex> lock(files_mutex_);
                status_.bytesDropped += chunk.bytes->size();
                continue;
            }
            writeOut(reinterpret_cast<const char*>(chunk.bytes->data()), chunk.bytes->size());
            // The index follows the bytes the file holds (a failed write may have left part of them).
            if (!failed) indexer_->feed(chunk.bytes->data(), chunk.bytes->size());
        }
    }
    // A recording without data still gets its header.
    if (!failed && !header_written_) writeHeader(file_info_.dvs_start_timestamp);
    output_.flush();
    if (!output_) failed = true;
    // The file is closed, and the close checked, before its index is written: an index describes a
    // file known to be complete.
    if (!closeOutput() && !failed) {
        failed = true;
        fail(RecorderError::WriteFailed,
             "Cannot close recording file " + output_path_ + ": " + systemError());
    }
    countWrittenFromFile();
    // A recording that ended on a write error gets no index: the file's tail is not known exactly.
    if (!failed && indexer_) writeIndex(*indexer_, header);
    indexer_.reset();
    std::lock_guard<std::mutex> lock(mutex_);
    worker_busy_ = false;
    written_cv_.notify_all();
}

void DvsFileRecorder::writeIndex(detail::RecordingIndexer& indexer, const std::string& header) {
    const std::vector<uint8_t> bytes = indexer.finish(header);
    if (bytes.empty()) {
        // No events (readers keep no index either), or the index was dropped while recording.
        if (indexer.error().empty()) return;
        ZV_LOG(LOG_ERROR, "%s; the recording is complete, readers build its index", indexer.error().c_str());
        std::lock_guard<std::mutex> lock(files_mutex_);
        status_.indexError = indexer.error();
        return;
    }
    std::string error;
    const bool written = detail::writeSideFile(output_path_, bytes, error);
    if (!written) ZV_LOG(LOG_ERROR, "%s; the recording is complete, readers build its index", error.c_str());
    std::lock_guard<std::mutex> lock(files_mutex_);
    status_.indexWritten = written;
    status_.indexError = error;
}

void DvsFileRecorder::deleteListedCacheFiles() {
    std::lock_guard<std::mutex> lock(files_mutex_);
    for (const auto& entry : cache_files_) {
        if (std::remove(entry.path.c_str()) != 0)
            ZV_LOG(LOG_ERROR, "Error deleting file: %s", entry.path.c_str());
    }
    cache_files_.clear();
}

bool DvsFileRecorder::openNextCacheFile(uint64_t start_time) {
    std::string name;
    {
        std::lock_guard<std::mutex> lock(files_mutex_);
        name = cache_prefix_ + std::to_string(cache_sequence_) + kCacheFileSuffix;
    }
    if (cache_out_.is_open()) cache_out_.close();
    cache_out_.clear();
    cache_out_.open(name, std::ios::binary | std::ios::trunc);
    cache_file_open_ = true;
    cache_start_time_ = start_time;
    const bool ok = static_cast<bool>(cache_out_);
    {
        std::lock_guard<std::mutex> lock(files_mutex_);
        cache_files_.push_back(CacheFile{name, start_time, !ok});
    }
    if (!ok) ZV_LOG(LOG_ERROR, "Cannot open cache file %s: %s", name.c_str(), systemError().c_str());
    return ok;
}

void DvsFileRecorder::startCacheLoop() {
    // Before the thread runs, so that data handed over from now on are kept.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (current_.bytes) current_.bytes->clear();
        queue_.clear();
        data_lost_before_next_ = false;
    }
    deleteListedCacheFiles();
    cache_file_open_ = false;
    cache_sequence_ = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        caching_ = true;
    }
    cache_thread_ = std::thread(&DvsFileRecorder::cacheLoop, this);
}

void DvsFileRecorder::cacheLoop() {
    setCurrentThreadName("zv-rec-cache");
    ZV_LOG(LOG_INFO, "Start cache loop");
    for (;;) {
        std::deque<Chunk> batch = takeQueue();
        if (batch.empty()) break;
        for (const auto& chunk : batch) {
            const uint64_t t = startTimeOf(chunk, cache_file_open_ ? cache_start_time_ : 0);
            const bool first = !cache_file_open_;  // this buffer begins the cache
            bool rolled_over = false;              // this buffer begins a new cache file after an earlier one
            if (first) {
                cache_sequence_ = 0;
                openNextCacheFile(t);
                ZV_LOG(LOG_INFO, "Start save cache file: %s", cacheFiles().back().c_str());
            } else if (t < cache_start_time_ || t - cache_start_time_ > kCacheFileSpanUs) {
                // This buffer begins the next second: every cache file starts with the stream time of
                // its first byte, so that each one decodes on its own and the oldest gives the header.
                cache_out_.flush();
                ++cache_sequence_;
                const bool recording = recording_.load();
                const bool caching = caching_.load();
                {
                    std::lock_guard<std::mutex> lock(files_mutex_);
                    if (!recording && caching) {
                        // The cache keeps the last seconds of the stream: at most that many files, none
                        // that ended long before this buffer (the stream paused; the file just closed
                        // ends with this buffer and stays, since it may hold the first bytes after the
                        // pause), and none from before the camera's clock started again (a recording
                        // must not go back in time).
                        const uint64_t kept_us = (uint64_t(cache_seconds_) + 1) * (kCacheFileSpanUs + 1);
                        const bool clock_restarted =
                            t < cache_start_time_;  // every file is of the earlier clock
                        const auto stale = [&] {
                            if (clock_restarted || cache_files_.front().start_time > t) return true;
                            const uint64_t end = cache_files_.size() > 1 ? cache_files_[1].start_time : t;
                            return end < t && t - end > kept_us;
                        };
                        for (bool full = cache_files_.size() >= cache_seconds_;
                             !cache_files_.empty() && (full || stale()); full = false) {
                            const std::string oldest = cache_files_.front().path;
                            if (std::remove(oldest.c_str()) != 0) {
                                ZV_LOG(LOG_ERROR, "Error deleting file: %s", oldest.c_str());
                            }
                            cache_files_.pop_front();
                            ZV_LOG(LOG_INFO, "Delete unused buffer: %s", oldest.c_str());
                        }
                    }
                    if (recording && cache_sequence_ < cache_seconds_) {
                        cache_sequence_ += cache_seconds_;
                        ZV_LOG(LOG_INFO, "Save cache file num: %d", cache_sequence_);
                    }
                    if (!recording && caching && cache_sequence_ >= cache_seconds_) cache_sequence_ = 0;
                }
                openNextCacheFile(t);
                rolled_over = true;
                ZV_LOG(LOG_INFO, "A frame of cache file was saved: %s", cacheFiles().back().c_str());
            }
            cache_out_.write(reinterpret_cast<const char*>(chunk.bytes->data()),
                             static_cast<std::streamsize>(chunk.bytes->size()));
            if (chunk.after_loss) {
                // Data dropped just before this buffer belonged to the file it continues, or, when it
                // begins a file, to the earlier one where that is kept (a recording that holds it holds
                // this one too; one that starts with this one, or with the cache, lost nothing).
                std::lock_guard<std::mutex> lock(files_mutex_);
                if (!first && !rolled_over && !cache_files_.empty()) {
                    cache_files_.back().damaged = true;
                } else if (rolled_over && cache_files_.size() >= 2) {
                    cache_files_[cache_files_.size() - 2].damaged = true;
                }
            }
            if (!cache_out_) {
                std::lock_guard<std::mutex> lock(files_mutex_);
                if (!cache_files_.empty() && !cache_files_.back().damaged) {
                    cache_files_.back().damaged = true;
                    ZV_LOG(LOG_ERROR, "Write error in cache file %s: %s", cache_files_.back().path.c_str(),
                           systemError().c_str());
                }
            }
        }
    }
    if (cache_out_.is_open()) cache_out_.close();
    cache_out_.clear();
    cache_file_open_ = false;
    ZV_LOG(LOG_INFO, "End cache loop");
}

void DvsFileRecorder::mergeLoop() {
    setCurrentThreadName("zv-rec-merge");
    std::deque<CacheFile> files;
    {
        std::lock_guard<std::mutex> lock(files_mutex_);
        files = cache_files_;
    }
    DvsFileInfo info = file_info_;
    if (!files.empty()) info.dvs_start_timestamp = files.front().start_time;
    // The index is built here, from the bytes merged, off the camera's path: it describes exactly the
    // payload the recording holds. Indexing while caching would decode every cached byte, most of
    // which no recording ever takes.
    detail::RecordingIndexer indexer(info.dvs_start_timestamp);
    bool header_done = false;
    auto append = [this, &indexer, &header_done](const char* data, size_t size) {
        output_.write(data, static_cast<std::streamsize>(size));
        if (!output_) return false;
        if (header_done) indexer.feed(reinterpret_cast<const uint8_t*>(data), size);
        std::lock_guard<std::mutex> lock(files_mutex_);
        status_.bytesWritten += size;
        return true;
    };
    const std::string header = generateDvsFileHeader(info);
    // When the recording cannot take the rest, the cache files not yet merged stay on disk, out of
    // the list that the cache loop clears when it starts again.
    // They are renamed out of the names the cache reuses, and named in the recording's error.
    auto keepRemainingCacheFiles = [this] {
        std::string kept;
        std::lock_guard<std::mutex> lock(files_mutex_);
        for (const auto& entry : cache_files_) {
            std::string target = entry.path + ".kept";
            for (int n = 1; std::filesystem::exists(target); ++n)
                target = entry.path + ".kept" + std::to_string(n);
            std::error_code ec;
            std::filesystem::rename(entry.path, target, ec);
            if (ec) target = entry.path;
            ZV_LOG(LOG_WARNING, "Cache file kept: %s", target.c_str());
            kept += (kept.empty() ? "" : ", ") + target;
        }
        cache_files_.clear();
        if (!kept.empty()) status_.error += "; cached data not merged are kept in " + kept;
    };
    bool ok = append(header.data(), header.size());
    header_done = true;
    bool complete = ok;  // every cache file merged whole
    if (!ok) {
        fail(RecorderError::WriteFailed,
             "Write error in recording file " + output_path_ + ": " + systemError());
        keepRemainingCacheFiles();
    }
    std::vector<char> piece(1 << 20);
    for (const auto& file : files) {
        if (!ok) break;
        if (file.damaged) {
            complete = false;
            fail(RecorderError::CacheFileDamaged,
                 "Cache file " + file.path + " lacks data: it could not be written");
        }
        std::ifstream in(file.path, std::ios::binary);
        if (!in) {
            complete = false;
            fail(RecorderError::CacheReadFailed,
                 "Cannot read cache file " + file.path + ": " + systemError());
            keepRemainingCacheFiles();
            break;
        }
        while (ok && in) {
            in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
            ok = append(piece.data(), static_cast<size_t>(in.gcount()));
        }
        if (ok && in.bad()) {
            complete = false;
            fail(RecorderError::CacheReadFailed,
                 "Read error in cache file " + file.path + " while merging it into " + output_path_);
            keepRemainingCacheFiles();
            break;
        }
        if (!ok) {
            complete = false;
            fail(RecorderError::WriteFailed, "Write error in recording file " + output_path_ +
                                                 " while merging " + file.path + ": " + systemError());
            keepRemainingCacheFiles();
            break;
        }
        in.close();
        if (std::remove(file.path.c_str()) != 0)
            ZV_LOG(LOG_ERROR, "Error deleting file: %s", file.path.c_str());
        {
            std::lock_guard<std::mutex> lock(files_mutex_);
            if (!cache_files_.empty() && cache_files_.front().path == file.path) cache_files_.pop_front();
        }
        ZV_LOG(LOG_INFO, "app file: %s", file.path.c_str());
    }
    output_.flush();
    if (!output_) {
        complete = false;
        fail(RecorderError::WriteFailed,
             "Write error in recording file " + output_path_ + ": " + systemError());
    }
    if (!closeOutput() && complete) {
        complete = false;
        fail(RecorderError::WriteFailed,
             "Cannot close recording file " + output_path_ + ": " + systemError());
    }
    countWrittenFromFile();
    // Only a recording merged whole, with every cache file intact and the file closed cleanly, gets an
    // index: otherwise what it holds is not known exactly.
    if (complete && !files.empty()) writeIndex(indexer, header);
    if (cache_thread_.joinable()) cache_thread_.join();
    startCacheLoop();
    std::lock_guard<std::mutex> lock(files_mutex_);
    merge_busy_ = false;
    merge_cv_.notify_all();
}

}  // namespace zelvan
