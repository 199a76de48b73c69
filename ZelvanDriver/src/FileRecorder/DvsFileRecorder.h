// Records a camera's raw event stream to a raw event file, directly or through a rolling cache of
// one-second files that lets a recording start a few seconds in the past.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "zelvan/ObjectPool.h"
#include "zelvan/Types.h"

namespace zelvan {

namespace detail {
class RecordingIndexer;
}

class DvsFileRecorder {
public:
    // The camera's event time in microseconds just before the data handed over next; nothing while
    // the stream has not given a time yet.
    using TimeSource = std::function<std::optional<uint64_t>()>;

    DvsFileRecorder();
    ~DvsFileRecorder();
    DvsFileRecorder(const DvsFileRecorder&) = delete;
    DvsFileRecorder& operator=(const DvsFileRecorder&) = delete;

    // True while a recording or the cache runs: the camera then hands over every raw buffer.
    // Lock-free, read on every buffer.
    bool isTakingData() const { return recording_.load() || caching_.load(); }

    // Takes a copy of one raw buffer, on the camera loop (the thread that also feeds the decoder the
    // time source reads). Data are handed on in buffers of kBufferBytes, or of a tenth of a second of
    // stream time when the writer has caught up. Never waits for file output: when the disk falls so
    // far behind that kMaxQueuedBuffers full buffers wait, the buffer is dropped, counted and reported.
    void addData(const uint8_t* data, size_t size);
    void addData(const std::vector<uint8_t>& bytes) { addData(bytes.data(), bytes.size()); }

    void setTimeSource(TimeSource source);

    // Starts recording into `path`. False while cached data are being merged (MergeRunning), when a
    // recording already runs (AlreadyRecording), or when the file cannot be created (CannotOpen:
    // logged, and given by status()). The header's start time is the stream time just before the
    // first recorded byte. An index file of an earlier recording of that name is removed once the new
    // file is open (a start that cannot remove it fails with CannotOpen; one that cannot open the
    // file leaves it alone).
    [[nodiscard]] bool startRecording(const std::string& path, const DvsFileInfo& info);
    // Ends the recording. False while a merge runs (MergeRunning), and when the recording lost data (a
    // write error, dropped buffers, an unusable cache file): status() says what and how much was
    // written. True when no recording ran. In cache mode the cached seconds and the recording are
    // merged into the file on a background thread: true then says that nothing was lost so far, and
    // status() after waitForMerge() gives the outcome of the merge. A recording (or merge) whose file
    // was written and closed without an error gets its bookmark index beside it (RawFileReader's side
    // file, built from the bytes as they were written: by the writer thread, or in cache mode by the
    // merge, from the bytes it merges); status().indexWritten and indexError tell whether it was
    // written. A failed index write (or an index dropped for want of memory) does not fail the
    // recording. A close that fails is a write failure (WriteFailed), and leaves no index.
    [[nodiscard]] bool stopRecording();
    // Why the latest startRecording() or stopRecording() returned false; None after one that returned
    // true, and before the first. Safe from any thread.
    RecorderError lastError() const { return last_error_.load(); }
    // seconds > 0 keeps that many one-second cache files whose paths begin with `prefix`; 0 stops
    // the cache. Ignored (with a warning) while a recording runs.
    void setFileCacheTime(uint16_t seconds, const std::string& prefix);

    bool isRecording() const { return recording_.load(); }
    bool isMerging() const { return merge_busy_.load(); }
    // Waits until a running merge has finished (for callers that need the completed file).
    void waitForMerge();
    // The same with a deadline: true when no merge runs any more.
    [[nodiscard]] bool waitForMerge(std::chrono::milliseconds timeout);
    // Waits until every buffer handed over so far has been written to its file (the partly filled
    // buffer still being collected is not handed over yet).
    void waitUntilWritten();
    // Paths of the cache files currently kept, oldest first.
    std::vector<std::string> cacheFiles() const;
    // The latest recording: path, state, first failure, bytes written and dropped.
    ZvRecordingStatus status() const;
    // Raw bytes dropped because the disk fell behind, over the recorder's life.
    uint64_t droppedBytes() const { return dropped_total_.load(); }

    static constexpr size_t kBufferBytes = 1048576;
    static constexpr size_t kPoolBuffers = 10;
    // Full buffers that may wait for the disk before new data are dropped (about 10 MiB).
    static constexpr size_t kMaxQueuedBuffers = kPoolBuffers;

private:
    struct Chunk {
        std::shared_ptr<std::vector<uint8_t>> bytes;
        std::optional<uint64_t> start_time;  // stream time just before its first byte
        bool after_loss = false;             // data were dropped just before it
    };
    struct CacheFile {
        std::string path;
        uint64_t start_time = 0;
        bool damaged = false;  // a write into it failed: it lacks data
    };

    void writerLoop();
    void startCacheLoop();
    void cacheLoop();
    void mergeLoop();
    void pushCurrentLocked();
    // Whether the stream time has moved far enough past the current buffer's start for it to be
    // handed on before it is full.
    bool spanEndedLocked() const;
    void deleteListedCacheFiles();
    bool openNextCacheFile(uint64_t start_time);
    // Closes the recording file; false when the close failed (data may not have reached the disk).
    bool closeOutput();
    void countWrittenFromFile();
    // Writes the bookmark index of the finished recording beside it (through a temporary name, so
    // that no partial index is ever left under the reader's name) and notes the outcome in the status.
    void writeIndex(detail::RecordingIndexer& indexer, const std::string& header);
    // Records the first failure of the current recording for status() and writes its log line.
    void fail(RecorderError reason, const std::string& error);
    // Keeps the outcome of a start or stop for lastError(); returns whether it succeeded.
    bool outcome(RecorderError reason);
    std::deque<Chunk> takeQueue();
    static uint64_t startTimeOf(const Chunk& chunk, uint64_t fallback);

    // Output file; written by one thread at a time (writer, merge), opened under control_mutex_ and
    // closed by the thread that wrote it (or under control_mutex_ once that thread has ended).
    std::string output_path_;
    std::ofstream output_;
    DvsFileInfo file_info_;
    // The direct recording's index, fed by the writer thread with every byte it has written.
    std::unique_ptr<detail::RecordingIndexer> indexer_;
    bool header_written_ = false;

    std::atomic<bool> recording_{false};
    std::atomic<bool> caching_{false};
    std::atomic<bool> merge_busy_{false};
    std::atomic<RecorderError> last_error_{RecorderError::None};
    bool cache_mode_ = false;  // under control_mutex_

    // Guarded by mutex_: the hand-over between the camera loop and the writer or cache loop.
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::condition_variable written_cv_;
    ObjectPool pool_;
    Chunk current_;
    std::deque<Chunk> queue_;
    TimeSource time_source_;
    bool worker_busy_ = false;  // a writer or cache loop is writing a batch it took from the queue
    std::chrono::steady_clock::time_point last_drop_log_{};
    uint64_t drops_since_log_ = 0;
    bool data_lost_before_next_ = false;

    // Guarded by files_mutex_: the cache files and the status. Never taken by the camera loop, so file
    // operations under it cannot hold up the camera.
    mutable std::mutex files_mutex_;
    std::condition_variable merge_cv_;
    std::string cache_prefix_;
    uint16_t cache_seconds_ = 0;
    std::deque<CacheFile> cache_files_;
    ZvRecordingStatus status_;

    // Owned by the cache loop thread (and by the merge thread while the cache loop is not running).
    std::ofstream cache_out_;
    bool cache_file_open_ = false;
    uint64_t cache_start_time_ = 0;
    int cache_sequence_ = 0;

    std::atomic<uint64_t> dropped_total_{0};
    std::atomic<uint64_t> dropped_recording_{0};

    std::mutex control_mutex_;  // serialises start/stop/cache-time/destruction
    std::thread writer_thread_;
    std::thread cache_thread_;
    std::thread merge_thread_;
};

}  // namespace zelvan
