// Records a camera's raw event stream to a raw event file, directly or through a rolling cache of
// one-second files that lets a recording start a few seconds in the past.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "zelvan/ObjectPool.h"
#include "zelvan/Types.h"

namespace zelvan {

class DvsFileRecorder {
public:
    DvsFileRecorder();
    ~DvsFileRecorder();
    DvsFileRecorder(const DvsFileRecorder&) = delete;
    DvsFileRecorder& operator=(const DvsFileRecorder&) = delete;

    // True while a recording or the cache runs: the camera then hands over every raw buffer.
    // Lock-free, read on every buffer.
    bool isTakingData() const { return recording_.load() || caching_.load(); }

    // Takes a copy of one raw buffer. Never waits for file output.
    void addData(const uint8_t* data, size_t size);
    void addData(const std::vector<uint8_t>& bytes) { addData(bytes.data(), bytes.size()); }

    // The camera's current event time in microseconds.
    void setTimeSource(std::function<uint64_t()> source);

    // Starts recording into `path`. False while cached data are being merged, when a recording
    // already runs, or when the file cannot be created (logged).
    bool startRecording(const std::string& path, const DvsFileInfo& info);
    // Ends the recording; in cache mode the cached seconds and the recording are merged into the
    // file on a background thread. False while a merge runs.
    bool stopRecording();
    // seconds > 0 keeps that many one-second cache files whose paths begin with `prefix`; 0 stops
    // the cache.
    void setFileCacheTime(uint16_t seconds, const std::string& prefix);

    bool isRecording() const { return recording_.load(); }
    bool isMerging() const { return merge_busy_.load(); }
    // Waits until a running merge has finished (for callers that need the completed file).
    void waitForMerge();
    // Waits until every buffer handed over so far has been written to its file (the partly filled
    // buffer still being collected is not handed over yet).
    void waitUntilWritten();
    // Paths of the cache files currently kept, oldest first.
    std::vector<std::string> cacheFiles() const;

    static constexpr size_t kBufferBytes = 1048576;
    static constexpr size_t kPoolBuffers = 10;

private:
    using Buffer = std::shared_ptr<std::vector<uint8_t>>;

    void writerLoop();
    void cacheLoop();
    void mergeLoop();
    void pushCurrentLocked();
    void deleteListedCacheFilesLocked();
    uint64_t now() const;
    bool openNextCacheFileLocked(uint64_t start_time);
    void closeOutput();

    std::string output_path_;
    std::ofstream output_;
    DvsFileInfo file_info_;
    std::atomic<bool> recording_{false};
    std::atomic<bool> caching_{false};
    bool cache_mode_ = false;
    uint16_t cache_seconds_ = 0;
    std::string cache_prefix_;
    ObjectPool pool_;
    Buffer current_;
    std::deque<Buffer> queue_;
    std::deque<std::pair<std::string, uint64_t>> cache_files_;
    std::ofstream cache_out_;
    uint64_t cache_start_time_ = 0;  // 0: no cache file open
    int cache_sequence_ = 0;
    std::function<uint64_t()> time_source_;
    std::atomic<bool> merge_busy_{false};
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::condition_variable written_cv_;
    bool worker_busy_ = false;  // a writer or cache loop is writing a batch it took from the queue
    std::mutex control_mutex_;  // serialises start/stop/cache-time/destruction
    std::thread writer_thread_;
    std::thread cache_thread_;
    std::thread merge_thread_;
};

}  // namespace zelvan
