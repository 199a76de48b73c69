// Fusion playback at the frame sensor's full size (3840 x 2160): the time per displayed frame of a
// fusion recording (frames decoded and resampled ahead on their own thread, events drawn over them),
// and its parts: resampling one frame onto the event grid, and decoding one frame.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTemporaryDir>
#include <cstdio>
#include <fstream>
#include <memory>

#include "main/ViewerResources.h"
#include "processing/Calibrator.h"
#include "processing/ZvFusionCameraDataProcessor.h"
#include "zelvan/ApsFileReader.h"
#include "zelvan/DataToVideoConverter.h"
#include "zelvan/EVT3Encoder.h"
#include "zelvan/FileHeader.h"
#include "zelvan/Logger.h"
#include "zelvan/SyntheticScene.h"

namespace {

constexpr int kW = 3840;
constexpr int kH = 2160;
constexpr int kFrames = 60;
constexpr uint64_t kStart = 1'000'000;

// A 2 s fusion recording at 30 fps: a moving pattern in the frames, 1 Mev/s of events.
struct Recording {
    QTemporaryDir dir;
    QString raw;
    QString mp4;
    bool ok = false;

    Recording() {
        raw = dir.filePath("bench.raw");
        mp4 = dir.filePath("bench.mp4");
        zelvan::DataToVideoConverter video;
        video.setConverterFrameSize(kH, kW, kH, kW);
        if (video.setConverterFmt(zelvan::DataToVideoConverter::kPixFmtBgr24,
                                  zelvan::DataToVideoConverter::kPixFmtYuv420p) != 0 ||
            video.initVideoConverter() != 0 || video.setOutputFile(mp4.toStdString()) != 0)
            return;
        std::vector<uint8_t> bgr(size_t(kW) * kH * 3);
        for (int i = 0; i < kFrames; ++i) {
            for (int y = 0; y < kH; ++y)
                for (int x = 0; x < kW; ++x) {
                    uint8_t* p = bgr.data() + (size_t(y) * kW + x) * 3;
                    p[0] = p[1] = p[2] = uint8_t(((x + 20 * i) / 120 + y / 120) % 2 ? 200 : 40);
                }
            if (video.rgbToVideo(bgr.data(), int64_t(i) * 33333) != 0) return;
        }
        if (video.flushAndCloseVideo() != 0) return;
        zelvan::DvsFileInfo info;
        info.aps_start_timestamp = kStart;
        info.dvs_start_timestamp = kStart;
        info.date = std::chrono::system_clock::now();
        const std::string header = zelvan::generateDvsFileHeader(info);
        std::vector<uint8_t> bytes(header.begin(), header.end());
        zelvan::SyntheticScene scene(1280, 720, 1'000'000, 5);
        zelvan::EVT3Encoder encoder(1280);
        std::vector<zelvan::Event2D> events;
        for (uint64_t t = kStart; t < kStart + 2'100'000; t += 5000) {
            events.clear();
            scene.generate(t, t + 5000, events);
            encoder.advanceTime(t, bytes);
            encoder.encode(events.data(), events.data() + events.size(), bytes);
        }
        std::ofstream out(raw.toStdString(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        ok = bool(out);
    }
};

Recording& recording() {
    static Recording r;
    return r;
}

// One displayed frame: the time base moves by one frame interval, the frame of that time (decoded
// ahead) is shown with the events of the accumulation time drawn over it.
void DisplayedFrame(benchmark::State& state) {
    Recording& r = recording();
    if (!r.ok) {
        state.SkipWithError("cannot write the recording");
        return;
    }
    ZvFusionCameraDataProcessor processor;
    if (!processor.slotReadFusionFile(r.raw)) {
        state.SkipWithError("cannot open the recording");
        return;
    }
    while (processor.isLoading()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (!processor.hasFile()) {
        state.SkipWithError("cannot load the recording");
        return;
    }
    processor.slotSetViewerType(zelvan::DVS_AND_APS);
    uint64_t frames = 0;
    for (auto _ : state) {
        if (processor.timeBase() + 2 * processor.accumulationTime() >= processor.upperTimestamp()) {
            state.PauseTiming();
            processor.slotPlaybackReset();
            state.ResumeTiming();
        }
        processor.nextFrame();
        ++frames;
    }
    state.counters["fps"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(DisplayedFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void ResampleFrame(benchmark::State& state) {
    Calibrator calibrator;
    zelvan::ApsFrame aps(kW, kH, 0, 0);
    zelvan::ApsFrame out;
    for (auto _ : state) {
        calibrator.mapApsToDvs(aps, out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(ResampleFrame)->Unit(benchmark::kMillisecond);

void DecodeFrame(benchmark::State& state) {
    Recording& r = recording();
    auto reader = zelvan::ApsFileReader::createFileReader(r.mp4.toStdString());
    if (!r.ok || !reader || !reader->loadFile()) {
        state.SkipWithError("cannot load the video");
        return;
    }
    zelvan::ApsFrame frame;
    for (auto _ : state) {
        if (!reader->getNextFrame(frame)) {
            state.PauseTiming();
            reader->seekTime(0);
            state.ResumeTiming();
            continue;
        }
        benchmark::DoNotOptimize(frame.data());
    }
}
BENCHMARK(DecodeFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initViewerResources();
    zelvan::Logger::Instance().setLevel(zelvan::LOG_WARNING);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
