// Viewer throughput: counting events into a frame, painting a 1280 x 720 frame, and the highest
// simulated event rate at which the live view keeps its 30 frames per second without losing device
// buffers.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <random>

#include "main/MainWidget.h"
#include "main/ViewerResources.h"
#include "processing/ZvEventProcessor.h"
#include "settings/AppSettings.h"
#include "ui_MainWidget.h"
#include "zelvan/Logger.h"
#include "zelvan/sim/SimDevice.h"

namespace {

std::vector<zelvan::Event2D> randomEvents(size_t n) {
    std::mt19937_64 rng(3);
    std::vector<zelvan::Event2D> v;
    v.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const uint64_t r = rng();
        v.emplace_back(uint16_t(r % 1280), uint16_t((r >> 16) % 720), uint8_t((r >> 40) & 1), i);
    }
    return v;
}

void AddEvents(benchmark::State& state) {
    static const auto events = randomEvents(1 << 20);
    ZvEventProcessor processor;
    for (auto _ : state) {
        processor.addEvents(events.data(), events.data() + events.size());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(events.size()));
    state.counters["Mev/s"] =
        benchmark::Counter(double(events.size()) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(AddEvents);

void PaintFrame(benchmark::State& state) {
    std::mt19937 rng(5);
    std::vector<uint16_t> counts(size_t(1280) * 720 * 2);
    for (auto& c : counts) c = uint16_t(rng() % 8 == 0 ? rng() % 4 : 0);
    QImage image(1280, 720, QImage::Format_RGB888);
    for (auto _ : state) {
        ZvEventProcessor::paint(counts, 1280, 720, qRgb(255, 255, 255), qRgb(0, 0, 0), qRgb(112, 112, 112),
                                image);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(PaintFrame)->Unit(benchmark::kMillisecond);

// Streams a paced simulated camera at state.range(0) events per second through the main window
// for three seconds; reports the frames drawn per second and the device buffers lost.
void LiveView(benchmark::State& state) {
    zelvan::Logger::Instance().setLevel(zelvan::LOG_WARNING);
    auto capture = std::make_shared<zelvan::RecordingLogSink>();
    auto previous = zelvan::Logger::Instance().setSink(capture);
    zelvan::sim::SimDeviceConfig config = zelvan::sim::SimulatedCameras::defaultConfigs().front();
    config.event_rate = uint64_t(state.range(0));
    config.paced = true;
    zelvan::sim::SimulatedCameras::instance().reset({config});
    double fps = 0;
    for (auto _ : state) {
        MainWidget window;
        window.resize(1280, 800);
        window.show();
        const auto cameras = window.searchCameras();
        if (cameras.empty()) {
            state.SkipWithError("no camera");
            break;
        }
        window.openCameraByDescription(cameras.front());
        QTest::qWait(500);  // let the stream settle
        const uint64_t before = window.eventProcessor()->framesDrawn();
        QTest::qWait(3000);
        fps = double(window.eventProcessor()->framesDrawn() - before) / 3.0;
        window.form()->pb_play->click();
    }
    size_t lost_lines = 0;
    for (const auto& line : capture->lines()) lost_lines += line.text.find("lost") != std::string::npos;
    zelvan::Logger::Instance().setSink(previous);
    zelvan::sim::SimulatedCameras::instance().restoreDefault();
    state.counters["fps"] = fps;
    state.counters["loss_reports"] = double(lost_lines);
}
BENCHMARK(LiveView)
    ->Arg(5'000'000)
    ->Arg(10'000'000)
    ->Arg(20'000'000)
    ->Arg(30'000'000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initViewerResources();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
