#include "FileRecorder/DvsFileRecorder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "zelvan/FileHeader.h"
#include "zelvan/Logger.h"

namespace zelvan {

namespace {
constexpr uint64_t kCacheFileSpanUs = 999'999;
const char* const kCacheFileSuffix = "_zelvan.raw.tmp";
}  // namespace

DvsFileRecorder::DvsFileRecorder() : pool_(kPoolBuffers, false, kBufferBytes) {}

DvsFileRecorder::~DvsFileRecorder() {
    std::unique_lock<std::mutex> control(control_mutex_);
    if (recording_.load() && cache_mode_) {
        // Merge what the cache holds before anything goes away.
        control.unlock();
        stopRecording();
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
    std::lock_guard<std::mutex> lock(mutex_);
    deleteListedCacheFilesLocked();
    time_source_ = nullptr;
}

void DvsFileRecorder::addData(const uint8_t* data, size_t size) {
    if (data == nullptr || size == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!current_) {
        current_ = pool_.acquire();
        current_->clear();
    }
    current_->insert(current_->end(), data, data + size);
    if (current_->size() > kBufferBytes) {
        queue_.push_back(std::move(current_));
        current_ = pool_.acquire();
        current_->clear();
        cv_.notify_all();
    }
}

void DvsFileRecorder::setTimeSource(std::function<uint64_t()> source) {
    std::lock_guard<std::mutex> lock(mutex_);
    time_source_ = std::move(source);
}

uint64_t DvsFileRecorder::now() const {
    std::function<uint64_t()> source;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        source = time_source_;
    }
    return source ? source() : 0;
}

void DvsFileRecorder::pushCurrentLocked() {
    if (current_ && !current_->empty()) {
        queue_.push_back(std::move(current_));
        current_.reset();
    }
}

bool DvsFileRecorder::startRecording(const std::string& path, const DvsFileInfo& info) {
    std::lock_guard<std::mutex> control(control_mutex_);
    if (merge_busy_.load() || recording_.load()) return false;
    if (writer_thread_.joinable()) writer_thread_.join();  // a recording that ended on a write error
    closeOutput();
    output_.open(path, std::ios::binary | std::ios::trunc);
    if (!output_) {
        ZV_LOG(LOG_ERROR, "Cannot open recording file %s: %s", path.c_str(), std::strerror(errno));
        output_.clear();
        return false;
    }
    output_path_ = path;
    file_info_ = info;
    if (cache_mode_) {
        recording_ = true;
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (current_) current_->clear();
        queue_.clear();
    }
    ZV_LOG(LOG_INFO, "Start recording file ts: %llu", static_cast<unsigned long long>(info.dvs_start_timestamp));
    const std::string header = generateDvsFileHeader(info);
    output_.write(header.data(), static_cast<std::streamsize>(header.size()));
    if (!output_) {
        ZV_LOG(LOG_ERROR, "Cannot write to recording file %s", path.c_str());
        closeOutput();
        return false;
    }
    recording_ = true;
    writer_thread_ = std::thread(&DvsFileRecorder::writerLoop, this);
    return true;
}

bool DvsFileRecorder::stopRecording() {
    std::lock_guard<std::mutex> control(control_mutex_);
    if (merge_busy_.load()) return false;
    bool was_recording;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        was_recording = recording_.exchange(false);
        if (cache_mode_ && !was_recording) return true;  // only the cache runs: nothing to end
        caching_ = false;
        pushCurrentLocked();
        cv_.notify_all();
    }
    if (cache_mode_) {
        if (cache_thread_.joinable()) cache_thread_.join();
        if (merge_thread_.joinable()) merge_thread_.join();
        merge_busy_ = true;
        merge_thread_ = std::thread(&DvsFileRecorder::mergeLoop, this);
        return true;
    }
    if (writer_thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (time_source_) {
                ZV_LOG(LOG_INFO, "Stop recording file ts: %llu", static_cast<unsigned long long>(time_source_()));
            }
        }
        writer_thread_.join();
    }
    closeOutput();
    return true;
}

void DvsFileRecorder::setFileCacheTime(uint16_t seconds, const std::string& prefix) {
    std::lock_guard<std::mutex> control(control_mutex_);
    if (merge_thread_.joinable()) merge_thread_.join();
    if (recording_.load()) {
        ZV_LOG(LOG_WARNING, "The cache time cannot change while a recording runs.");
        return;
    }
    cache_prefix_ = prefix;
    if (seconds > 0) {
        if (caching_.load()) return;
        if (cache_thread_.joinable()) cache_thread_.join();
        cache_mode_ = true;
        cache_seconds_ = seconds;
        cache_start_time_ = 0;
        cache_sequence_ = 0;
        caching_ = true;
        cache_thread_ = std::thread(&DvsFileRecorder::cacheLoop, this);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cache_mode_ = false;
        caching_ = false;
        pushCurrentLocked();
        cv_.notify_all();
    }
    if (cache_thread_.joinable()) cache_thread_.join();
}

void DvsFileRecorder::waitForMerge() {
    std::lock_guard<std::mutex> control(control_mutex_);
    if (merge_thread_.joinable()) merge_thread_.join();
}

void DvsFileRecorder::waitUntilWritten() {
    std::unique_lock<std::mutex> lock(mutex_);
    written_cv_.wait(lock, [this] {
        const bool worker = recording_.load() || caching_.load();
        return !worker_busy_ && (queue_.empty() || !worker);
    });
}

std::vector<std::string> DvsFileRecorder::cacheFiles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& entry : cache_files_) out.push_back(entry.first);
    return out;
}

void DvsFileRecorder::closeOutput() {
    if (output_.is_open()) output_.close();
    output_.clear();
}

void DvsFileRecorder::writerLoop() {
    bool failed = false;
    for (;;) {
        std::deque<Buffer> batch;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            worker_busy_ = false;
            written_cv_.notify_all();
            cv_.wait(lock, [this] { return !queue_.empty() || !recording_.load(); });
            batch.swap(queue_);
            if (batch.empty() && !recording_.load()) break;
            worker_busy_ = true;
        }
        for (const auto& buffer : batch) {
            if (failed) break;
            output_.write(reinterpret_cast<const char*>(buffer->data()), static_cast<std::streamsize>(buffer->size()));
            output_.flush();
            if (!output_) {
                failed = true;
                ZV_LOG(LOG_ERROR, "Write error in recording file %s, recording stopped: %s", output_path_.c_str(),
                       std::strerror(errno));
                std::lock_guard<std::mutex> lock(mutex_);
                recording_ = false;
            }
        }
    }
    output_.flush();
    std::lock_guard<std::mutex> lock(mutex_);
    worker_busy_ = false;
    written_cv_.notify_all();
}

void DvsFileRecorder::deleteListedCacheFilesLocked() {
    for (const auto& entry : cache_files_) {
        if (std::remove(entry.first.c_str()) != 0) ZV_LOG(LOG_ERROR, "Error deleting file: %s", entry.first.c_str());
    }
    cache_files_.clear();
}

bool DvsFileRecorder::openNextCacheFileLocked(uint64_t start_time) {
    const std::string name = cache_prefix_ + std::to_string(cache_sequence_) + kCacheFileSuffix;
    if (cache_out_.is_open()) cache_out_.close();
    cache_out_.clear();
    cache_out_.open(name, std::ios::binary | std::ios::trunc);
    cache_start_time_ = start_time;
    cache_files_.emplace_back(name, start_time);
    if (!cache_out_) {
        ZV_LOG(LOG_ERROR, "Cannot open cache file %s: %s", name.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

void DvsFileRecorder::cacheLoop() {
    bool file_open = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (current_) current_->clear();
        queue_.clear();
        deleteListedCacheFilesLocked();
    }
    ZV_LOG(LOG_INFO, "Start cache loop");
    for (;;) {
        std::deque<Buffer> batch;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            worker_busy_ = false;
            written_cv_.notify_all();
            cv_.wait(lock, [this] { return !queue_.empty() || !(recording_.load() || caching_.load()); });
            batch.swap(queue_);
            if (batch.empty() && !(recording_.load() || caching_.load())) break;
            worker_busy_ = true;
        }
        for (const auto& buffer : batch) {
            const auto* bytes = reinterpret_cast<const char*>(buffer->data());
            const auto size = static_cast<std::streamsize>(buffer->size());
            if (!file_open) {
                cache_sequence_ = 0;
                const uint64_t start = now();
                std::lock_guard<std::mutex> lock(mutex_);
                openNextCacheFileLocked(start);
                file_open = true;
                ZV_LOG(LOG_INFO, "Start save cache file: %s", cache_files_.back().first.c_str());
            }
            const uint64_t t = now();
            if (t > cache_start_time_ && t - cache_start_time_ > kCacheFileSpanUs) {
                cache_out_.write(bytes, size);
                cache_out_.flush();
                ++cache_sequence_;
                const bool recording = recording_.load();
                const bool caching = caching_.load();
                const uint64_t next_start = now();
                std::lock_guard<std::mutex> lock(mutex_);
                if (!recording && caching && cache_files_.size() >= cache_seconds_) {
                    const std::string oldest = cache_files_.front().first;
                    if (std::remove(oldest.c_str()) != 0) ZV_LOG(LOG_ERROR, "Error deleting file: %s", oldest.c_str());
                    cache_files_.pop_front();
                    ZV_LOG(LOG_INFO, "Delete unused buffer: %s", oldest.c_str());
                }
                if (recording && cache_sequence_ < cache_seconds_) {
                    cache_sequence_ += cache_seconds_;
                    ZV_LOG(LOG_INFO, "Save cache file num: %d", cache_sequence_);
                }
                if (!recording && caching && cache_sequence_ >= cache_seconds_) cache_sequence_ = 0;
                openNextCacheFileLocked(next_start);
                ZV_LOG(LOG_INFO, "A frame of cache file was saved: %s", cache_files_.back().first.c_str());
            } else {
                cache_out_.write(bytes, size);
            }
            if (!cache_out_) {
                ZV_LOG(LOG_ERROR, "Write error in cache file %s", cache_files_.back().first.c_str());
                cache_out_.clear();
            }
        }
    }
    if (cache_out_.is_open()) cache_out_.close();
    cache_out_.clear();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        worker_busy_ = false;
        written_cv_.notify_all();
    }
    ZV_LOG(LOG_INFO, "End cache loop");
}

void DvsFileRecorder::mergeLoop() {
    std::deque<std::pair<std::string, uint64_t>> files;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        files = cache_files_;
    }
    DvsFileInfo info = file_info_;
    if (!files.empty()) info.dvs_start_timestamp = files.front().second;
    const std::string header = generateDvsFileHeader(info);
    output_.write(header.data(), static_cast<std::streamsize>(header.size()));
    std::vector<char> chunk(1 << 20);
    for (const auto& [name, start] : files) {
        std::ifstream in(name, std::ios::binary);
        while (in) {
            in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            output_.write(chunk.data(), in.gcount());
        }
        in.close();
        if (!output_) {
            // The recording cannot take the rest: leave those cache files on disk, out of the list
            // that the cache loop clears when it starts again.
            ZV_LOG(LOG_ERROR, "Write error in recording file %s while merging %s", output_path_.c_str(), name.c_str());
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& entry : cache_files_) ZV_LOG(LOG_WARNING, "Cache file kept: %s", entry.first.c_str());
            cache_files_.clear();
            break;
        }
        if (std::remove(name.c_str()) != 0) ZV_LOG(LOG_ERROR, "Error deleting file: %s", name.c_str());
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!cache_files_.empty() && cache_files_.front().first == name) cache_files_.pop_front();
        }
        ZV_LOG(LOG_INFO, "app file: %s", name.c_str());
    }
    output_.flush();
    closeOutput();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        caching_ = true;
    }
    cache_start_time_ = 0;
    cache_sequence_ = 0;
    if (cache_thread_.joinable()) cache_thread_.join();
    cache_thread_ = std::thread(&DvsFileRecorder::cacheLoop, this);
    merge_busy_ = false;
}

}  // namespace zelvan
