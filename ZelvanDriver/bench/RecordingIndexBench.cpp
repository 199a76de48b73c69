// Opening a fresh recording: a recording of at least 1 GB is made once through the recorder (the
// simulated camera's default scene, 5 Mev/s, handed over as a camera loop hands over its buffers) in
// the temporary folder (or ZELVAN_BENCH_DIR), and deleted at exit.
// - BM_OpenFreshRecording/1: loadFile() with the index the recorder wrote beside it;
// - BM_OpenFreshRecording/0: loadFile() after deleting that index (the reader builds it);
// - BM_IndexerFeed: what indexing costs the recorder's writer thread per byte, and the share of one
//   core it takes at the scene's byte rate.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "FileReader/IndexBuilder.h"
#include "FileRecorder/DvsFileRecorder.h"
#include "zelvan/EVT3Encoder.h"
#include "zelvan/RawFileReader.h"
#include "zelvan/SyntheticScene.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kTargetBytes = 1'050'000'000;
constexpr uint64_t kSceneRate = 5'000'000;
constexpr uint64_t kSliceUs = 1000;

struct Recording {
    std::string path;
    uint64_t bytes = 0;
    uint64_t stream_us = 0;
    double record_s = 0;
    bool index_written = false;
    ~Recording() {
        if (path.empty()) return;
        std::error_code ec;
        fs::remove(path, ec);
        fs::remove(zelvan::RawFileReader::bookmarkPathFor(path), ec);
    }
};

// The scene's stream from `t0`, one slice at a time.
class Stream {
public:
    explicit Stream(uint64_t t0) : scene_(1280, 720, kSceneRate, 1), t_(t0) {}
    const std::vector<uint8_t>& next() {
        events_.clear();
        bytes_.clear();
        scene_.generate(t_, t_ + kSliceUs, events_);
        encoder_.advanceTime(t_, bytes_);
        encoder_.encode(events_.data(), events_.data() + events_.size(), bytes_);
        t_ += kSliceUs;
        return bytes_;
    }
    uint64_t time() const { return t_; }

private:
    zelvan::SyntheticScene scene_;
    zelvan::EVT3Encoder encoder_{1280};
    std::vector<zelvan::Event2D> events_;
    std::vector<uint8_t> bytes_;
    uint64_t t_;
};

Recording& recording() {
    static Recording r = [] {
        Recording rec;
        const char* dir = std::getenv("ZELVAN_BENCH_DIR");
        const fs::path folder = dir ? fs::path(dir) : fs::temp_directory_path();
        rec.path = (folder / ("zelvan-fresh-bench-" + std::to_string(::getpid()) + ".raw")).string();
        const uint64_t t0 = (uint64_t(1) << 24) - 1'000'000;
        Stream stream(t0);
        zelvan::DvsFileRecorder recorder;
        uint64_t now = t0;
        recorder.setTimeSource([&now] { return std::optional<uint64_t>(now); });
        zelvan::DvsFileInfo info;
        info.serial_number = "BENCH";
        const auto start = std::chrono::steady_clock::now();
        if (!recorder.startRecording(rec.path, info)) {
            std::fprintf(stderr, "cannot record into %s\n", rec.path.c_str());
            std::exit(1);
        }
        uint64_t handed = 0, since_wait = 0;
        while (handed < kTargetBytes) {
            now = stream.time();
            const std::vector<uint8_t>& bytes = stream.next();
            recorder.addData(bytes);
            handed += bytes.size();
            since_wait += bytes.size();
            // Never more than the recorder may hold waits for the disk: nothing is dropped.
            if (since_wait >= 4 * zelvan::DvsFileRecorder::kBufferBytes) {
                recorder.waitUntilWritten();
                since_wait = 0;
            }
        }
        now = stream.time();
        const bool ok = recorder.stopRecording();
        rec.record_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const zelvan::ZvRecordingStatus status = recorder.status();
        if (!ok || status.failed) {
            std::fprintf(stderr, "the recording failed: %s\n", status.error.c_str());
            std::exit(1);
        }
        rec.bytes = status.bytesWritten;
        rec.stream_us = stream.time() - t0;
        rec.index_written = status.indexWritten;
        return rec;
    }();
    return r;
}

// Arg 1: the recorder's index is beside the recording; arg 0: it is deleted before each opening.
void BM_OpenFreshRecording(benchmark::State& state) {
    Recording& rec = recording();
    const bool with_index = state.range(0) != 0;
    const std::string index = zelvan::RawFileReader::bookmarkPathFor(rec.path);
    if (!rec.index_written || !fs::exists(index)) {
        state.SkipWithError("the recorder wrote no index");
        return;
    }
    // The recorder's index, kept aside so that every opening with it sees exactly what it wrote.
    const std::string kept = index + ".bench";
    fs::copy_file(index, kept, fs::copy_options::overwrite_existing);
    size_t marks = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::error_code ec;
        fs::remove(index, ec);
        if (with_index) fs::copy_file(kept, index, fs::copy_options::overwrite_existing);
        state.ResumeTiming();
        zelvan::RawFileReader reader(rec.path);
        if (!reader.loadFile()) state.SkipWithError("loadFile failed");
        if (with_index && reader.lastError() != zelvan::ReaderError::None)
            state.SkipWithError("the recorder's index was not taken");
        marks = reader.getAllBookmarks().size();
    }
    fs::remove(index);
    fs::rename(kept, index);
    state.counters["bookmarks"] = double(marks);
    state.counters["file_MB"] = double(rec.bytes) / 1e6;
    state.counters["stream_s"] = double(rec.stream_us) / 1e6;
    state.counters["record_s"] = rec.record_s;
}

// The writer thread's extra work: every byte written goes through the indexer once.
void BM_IndexerFeed(benchmark::State& state) {
    Stream stream(0);
    std::vector<uint8_t> data;
    while (data.size() < 64'000'000) {
        const auto& b = stream.next();
        data.insert(data.end(), b.begin(), b.end());
    }
    const double camera_bytes_per_s = double(data.size()) / (double(stream.time()) / 1e6);
    double seconds = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        zelvan::detail::RecordingIndexer indexer(0);
        for (size_t at = 0; at < data.size(); at += zelvan::DvsFileRecorder::kBufferBytes)
            indexer.feed(data.data() + at, std::min(zelvan::DvsFileRecorder::kBufferBytes, data.size() - at));
        benchmark::DoNotOptimize(indexer.payloadBytes());
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    state.SetBytesProcessed(int64_t(data.size()) * int64_t(state.iterations()));
    const double indexed_bytes_per_s = double(data.size()) * double(state.iterations()) / seconds;
    state.counters["scene_MB/s"] = camera_bytes_per_s / 1e6;
    // Percent of one core the indexing takes while the scene is recorded in real time (one indexer;
    // a cache of N seconds feeds up to N + 1 until a recording starts).
    state.counters["core_percent"] = 100.0 * camera_bytes_per_s / indexed_bytes_per_s;
}

}  // namespace

BENCHMARK(BM_IndexerFeed)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_OpenFreshRecording)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
