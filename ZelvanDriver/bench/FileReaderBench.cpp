// Raw file reader on a synthetic recording of at least 1 GB, generated at start-up in the temporary
// folder (or ZELVAN_BENCH_DIR) and deleted at exit:
// - plain decode of the payload (the reference), index build, re-open with a valid side file;
// - seekTime latency over 1000 random times (median and worst, warm page cache);
// - playback: getNTimeEvents(33333) from start to end.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "zelvan/EVT3Encoder.h"
#include "zelvan/FileHeader.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileReader.h"
#include "zelvan/SyntheticScene.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kTargetBytes = 1'050'000'000;

struct Recording {
    std::string path;
    uint64_t bytes = 0;
    uint64_t events = 0;
    ~Recording() {
        if (path.empty()) return;
        std::error_code ec;
        fs::remove(path, ec);
        fs::remove(zelvan::RawFileReader::bookmarkPathFor(path), ec);
    }
};

// A busy scene (20 Mev/s) whose stream time starts close to a wrap-around.
Recording& recording() {
    static Recording r = [] {
        Recording rec;
        const char* dir = std::getenv("ZELVAN_BENCH_DIR");
        const fs::path folder = dir ? fs::path(dir) : fs::temp_directory_path();
        rec.path = (folder / ("zelvan-reader-bench-" + std::to_string(::getpid()) + ".raw")).string();
        zelvan::DvsFileInfo info;
        info.dvs_start_timestamp = (uint64_t(1) << 24) - 1'000'000;
        info.serial_number = "BENCH";
        std::ofstream out(rec.path, std::ios::binary | std::ios::trunc);
        const std::string header = zelvan::generateDvsFileHeader(info);
        out.write(header.data(), std::streamsize(header.size()));
        zelvan::SyntheticScene scene(1280, 720, 20'000'000, 1);
        zelvan::EVT3Encoder encoder(1280);
        std::vector<zelvan::Event2D> events;
        std::vector<uint8_t> bytes;
        uint64_t written = header.size();
        for (uint64_t t = info.dvs_start_timestamp; written < kTargetBytes; t += 10'000) {
            events.clear();
            bytes.clear();
            scene.generate(t, t + 10'000, events);
            encoder.advanceTime(t, bytes);
            encoder.encode(events.data(), events.data() + events.size(), bytes);
            out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
            written += bytes.size();
            rec.events += events.size();
        }
        out.flush();
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", rec.path.c_str());
            std::exit(1);
        }
        rec.bytes = written;
        return rec;
    }();
    return r;
}

void removeSideFile() {
    std::error_code ec;
    fs::remove(zelvan::RawFileReader::bookmarkPathFor(recording().path), ec);
}

void setRates(benchmark::State& state, uint64_t bytes, uint64_t events) {
    state.SetBytesProcessed(int64_t(bytes) * int64_t(state.iterations()));
    state.counters["Mev/s"] =
        benchmark::Counter(double(events) * double(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
}

// The reference: the payload decoded once in reads of the reader's chunk size.
void BM_PlainDecode(benchmark::State& state) {
    const Recording& rec = recording();
    std::vector<uint8_t> buffer(zelvan::RawFileReader::kReadChunkBytes);
    uint64_t events = 0;
    for (auto _ : state) {
        zelvan::RawFileHeader header;
        std::string error;
        std::ifstream in(rec.path, std::ios::binary);
        zelvan::readRawFileHeader(in, header, error);
        in.seekg(std::streamoff(header.payload_offset));
        zelvan::EVT3Decoder decoder(1280, 720);
        decoder.setTimeBase(header.info.dvs_start_timestamp);
        events = 0;
        decoder.setEventsStreamHandleCallback(
            [&](zelvan::Event2D* b, zelvan::Event2D* e) { events += e - b; });
        while (in.read(reinterpret_cast<char*>(buffer.data()), std::streamsize(buffer.size())) ||
               in.gcount() > 0)
            decoder.decode(buffer.data(), buffer.data() + in.gcount());
        benchmark::DoNotOptimize(events);
    }
    if (events != rec.events) state.SkipWithError("decoded event count differs from the generated one");
    setRates(state, rec.bytes, rec.events);
}

void BM_IndexBuild(benchmark::State& state) {
    const Recording& rec = recording();
    size_t marks = 0;
    for (auto _ : state) {
        state.PauseTiming();
        removeSideFile();
        state.ResumeTiming();
        zelvan::RawFileReader reader(rec.path);
        if (!reader.loadFile()) state.SkipWithError("loadFile failed");
        marks = reader.getAllBookmarks().size();
    }
    state.counters["bookmarks"] = double(marks);
    setRates(state, rec.bytes, rec.events);
}

void BM_ReopenWithSideFile(benchmark::State& state) {
    const Recording& rec = recording();
    {
        zelvan::RawFileReader warm(rec.path);
        if (!warm.loadFile()) {
            state.SkipWithError("loadFile failed");
            return;
        }
    }
    for (auto _ : state) {
        zelvan::RawFileReader reader(rec.path);
        if (!reader.loadFile()) state.SkipWithError("loadFile failed");
    }
}

void BM_SeekTime1000(benchmark::State& state) {
    const Recording& rec = recording();
    zelvan::RawFileReader reader(rec.path);
    if (!reader.loadFile()) {
        state.SkipWithError("loadFile failed");
        return;
    }
    uint64_t start = 0, end = 0;
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    std::mt19937_64 rng(42);
    std::vector<double> us;
    for (auto _ : state) {
        us.clear();
        for (int i = 0; i < 1000; ++i) {
            const uint64_t t = start + rng() % (end - start + 1);
            const auto t0 = std::chrono::steady_clock::now();
            const bool ok = reader.seekTime(t);
            const auto t1 = std::chrono::steady_clock::now();
            if (!ok) state.SkipWithError("seekTime failed");
            us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        }
    }
    std::sort(us.begin(), us.end());
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[us.size() * 99 / 100];
    state.counters["worst_us"] = us.back();
}

void BM_Playback33333(benchmark::State& state) {
    const Recording& rec = recording();
    zelvan::RawFileReader reader(rec.path);
    if (!reader.loadFile()) {
        state.SkipWithError("loadFile failed");
        return;
    }
    uint64_t start = 0;
    reader.getStartTimeStamp(start);
    uint64_t events = 0, windows = 0;
    for (auto _ : state) {
        reader.seekTime(start);
        events = 0;
        windows = 0;
        while (!reader.reachedEndOfEvents()) {
            events += reader.getNTimeEvents(33333)->size();
            ++windows;
        }
    }
    if (events != rec.events) state.SkipWithError("played events differ from the generated ones");
    state.counters["windows"] = double(windows);
    state.counters["us/window"] =
        benchmark::Counter(double(windows) * double(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    setRates(state, rec.bytes, rec.events);
}

}  // namespace

BENCHMARK(BM_PlainDecode)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_IndexBuild)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ReopenWithSideFile)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_SeekTime1000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Playback33333)->Unit(benchmark::kMillisecond)->Iterations(2);

int main(int argc, char** argv) {
    zelvan::Logger::Instance().setLevel(zelvan::LOG_ERROR);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::fprintf(stderr, "generating %.2f GB recording...\n", double(kTargetBytes) / 1e9);
    const Recording& rec = recording();
    std::fprintf(stderr, "%s: %llu bytes, %llu events\n", rec.path.c_str(), (unsigned long long)rec.bytes,
                 (unsigned long long)rec.events);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
