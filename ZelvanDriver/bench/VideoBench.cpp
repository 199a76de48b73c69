// Cut and video export of a 10 s 1280 x 720 recording, generated at start-up in the temporary
// folder (or ZELVAN_BENCH_DIR) and deleted at exit, at 1 and 5 Mev/s (a quiet and a busy scene):
// - export: frames encoded per second and the ratio to real time (10 s of events per run);
// - cut of the whole recording: MB/s copied (warm page cache).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "zelvan/ApsFileReader.h"
#include "zelvan/EVT3Encoder.h"
#include "zelvan/FileHeader.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileReader.h"
#include "zelvan/SyntheticScene.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kSeconds = 10;

fs::path benchDir() {
    const char* dir = std::getenv("ZELVAN_BENCH_DIR");
    return dir ? fs::path(dir) : fs::temp_directory_path();
}

struct Recording {
    std::string path;
    uint64_t bytes = 0;
    ~Recording() {
        std::error_code ec;
        fs::remove(path, ec);
        fs::remove(zelvan::RawFileReader::bookmarkPathFor(path), ec);
    }
};

const Recording& recording(uint64_t rate) {
    static std::map<uint64_t, Recording> recordings;
    Recording& rec = recordings[rate];
    if (!rec.path.empty()) return rec;
    rec.path = (benchDir() /
                ("zelvan-video-bench-" + std::to_string(::getpid()) + "-" + std::to_string(rate) + ".raw"))
                   .string();
    zelvan::DvsFileInfo info;
    info.serial_number = "BENCH";
    std::ofstream out(rec.path, std::ios::binary | std::ios::trunc);
    const std::string header = zelvan::generateDvsFileHeader(info);
    out.write(header.data(), std::streamsize(header.size()));
    zelvan::SyntheticScene scene(1280, 720, rate, 1);
    zelvan::EVT3Encoder encoder(1280);
    std::vector<zelvan::Event2D> events;
    std::vector<uint8_t> bytes;
    for (uint64_t t = 0; t < kSeconds * 1'000'000 + 100'000; t += 10'000) {
        events.clear();
        bytes.clear();
        scene.generate(t, t + 10'000, events);
        encoder.advanceTime(t, bytes);
        encoder.encode(events.data(), events.data() + events.size(), bytes);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    out.close();
    rec.bytes = fs::file_size(rec.path);
    return rec;
}

std::unique_ptr<zelvan::RawFileReader> openRecording(uint64_t rate) {
    auto reader = std::make_unique<zelvan::RawFileReader>(recording(rate).path);
    if (!reader->loadFile()) return nullptr;
    return reader;
}

void BM_ExportTenSecondsToVideo(benchmark::State& state) {
    zelvan::Logger::Instance().setLevel(zelvan::LOG_ERROR);
    const uint64_t rate = uint64_t(state.range(0));
    auto reader = openRecording(rate);
    if (!reader) {
        state.SkipWithError("cannot open the recording");
        return;
    }
    const std::string out =
        (benchDir() / ("zelvan-video-bench-" + std::to_string(::getpid()) + ".mp4")).string();
    for (auto _ : state) {
        if (!reader->exportEventDataToVideo(0, kSeconds * 1'000'000, out))
            state.SkipWithError("export failed");
    }
    size_t frames = 0;
    if (auto video = zelvan::ApsFileReader::createFileReader(out); video && video->loadFile()) {
        std::vector<uint64_t> ts;
        video->getTimeStamps(ts);
        frames = ts.size();
    }
    state.counters["frames"] = double(frames);
    state.counters["fps"] =
        benchmark::Counter(double(frames) * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["x_realtime"] =
        benchmark::Counter(double(kSeconds) * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["MB_video"] = double(fs::file_size(out)) / 1e6;
    std::error_code ec;
    fs::remove(out, ec);
}
BENCHMARK(BM_ExportTenSecondsToVideo)
    ->Arg(1'000'000)
    ->Arg(5'000'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_CutWholeRecording(benchmark::State& state) {
    zelvan::Logger::Instance().setLevel(zelvan::LOG_ERROR);
    const uint64_t rate = uint64_t(state.range(0));
    auto reader = openRecording(rate);
    if (!reader) {
        state.SkipWithError("cannot open the recording");
        return;
    }
    uint64_t start = 0, end = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    const std::string out =
        (benchDir() / ("zelvan-video-bench-cut-" + std::to_string(::getpid()) + ".raw")).string();
    for (auto _ : state) {
        if (!reader->extractEventData(start, end, out)) state.SkipWithError("cut failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(recording(rate).bytes));
    state.counters["MB_file"] = double(recording(rate).bytes) / 1e6;
    std::error_code ec;
    fs::remove(out, ec);
}
BENCHMARK(BM_CutWholeRecording)->Arg(1'000'000)->Arg(5'000'000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
