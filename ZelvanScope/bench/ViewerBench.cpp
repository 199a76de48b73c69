// Viewer throughput: counting events into a frame, painting a 1280 x 720 frame, one played frame of
// a raw recording (read, count, render), and the highest simulated event rate at which the live
// view keeps its 30 frames per second without losing device buffers.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>

#include "PatternRecording.h"
#include "main/MainWidget.h"
#include "main/ViewerResources.h"
#include "processing/ZvEventProcessor.h"
#include "session/LiveSession.h"
#include "settings/AppSettings.h"
#include "ui_MainWidget.h"
#include "zelvan/DvsFileReader.h"
#include "zelvan/EVT3Encoder.h"
#include "zelvan/FileHeader.h"
#include "zelvan/Logger.h"
#include "zelvan/SyntheticScene.h"
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

// One shown frame of the live view at 50 Mev/s: 33 333 us of the pattern scene, counted.
void AddSceneEvents(benchmark::State& state) {
    static const auto events = [] {
        zelvan::SyntheticScene scene(1280, 720, 50'000'000, 7);
        std::vector<zelvan::Event2D> v;
        scene.generate(1'000'000, 1'033'333, v);
        return v;
    }();
    ZvEventProcessor processor;
    for (auto _ : state) {
        processor.addEvents(events.data(), events.data() + events.size());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(events.size()));
    state.counters["events"] = double(events.size());
}
BENCHMARK(AddSceneEvents)->Unit(benchmark::kMillisecond);

void PaintFrame(benchmark::State& state) {
    std::mt19937 rng(5);
    ZvEventProcessor::Counters counts(size_t(1280) * 720);
    for (auto& c : counts) c = ZvEventProcessor::Counter(rng() % 8 == 0 ? (rng() % 4) | (rng() % 4) << 4 : 0);
    QImage image(1280, 720, QImage::Format_RGB888);
    for (auto _ : state) {
        ZvEventProcessor::paint(counts, 1280, 720, qRgb(255, 255, 255), qRgb(0, 0, 0), qRgb(112, 112, 112),
                                image);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(PaintFrame)->Unit(benchmark::kMillisecond);

// The recordings played by PlaybackFrame: kPlaybackSeconds of the synthetic 1280 x 720 scene per
// event rate, EVT 3.0, written on first use into one temporary folder removed at exit.
constexpr uint64_t kPlaybackSeconds = 3;
constexpr uint64_t kPlaybackT0 = 1'000'000;  // header time base of the recordings

QString playbackRecording(uint64_t rate) {
    static QTemporaryDir dir;
    static std::map<uint64_t, QString> written;
    if (auto it = written.find(rate); it != written.end()) return it->second;
    const QString path = dir.filePath(QString("playback_%1.raw").arg(rate));
    zelvan::DvsFileInfo info;
    info.dvs_start_timestamp = kPlaybackT0;
    info.serial_number = "PLAYBACK-BENCH";
    info.date = std::chrono::system_clock::now();
    std::ofstream out(toFileSystemPath(path), std::ios::binary | std::ios::trunc);
    const std::string header = zelvan::generateDvsFileHeader(info);
    out.write(header.data(), std::streamsize(header.size()));
    zelvan::SyntheticScene scene(1280, 720, rate, 11);
    zelvan::EVT3Encoder encoder(1280);
    std::vector<zelvan::Event2D> events;
    std::vector<uint8_t> bytes;
    constexpr uint64_t kSlice = 10'000;
    for (uint64_t t = kPlaybackT0; t < kPlaybackT0 + kPlaybackSeconds * 1'000'000; t += kSlice) {
        events.clear();
        bytes.clear();
        scene.generate(t, t + kSlice, events);
        encoder.advanceTime(t, bytes);
        encoder.encode(events.data(), events.data() + events.size(), bytes);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    out.flush();
    if (!dir.isValid() || !out) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::exit(1);
    }
    written.emplace(rate, path);
    return path;
}

// One played frame of a recording at state.range(0) events per second, as the playback loop plays
// it: the read of one accumulation window at the playback position, the count of its events, and
// the frame's render. The render thread paints each frame handed over by requestRender(); the
// frame ends when it has emitted the image. The position advances by one playback step per frame
// and wraps to the start of the recording.
void PlaybackFrame(benchmark::State& state) {
    zelvan::Logger::Instance().setLevel(zelvan::LOG_ERROR);
    const QString path = playbackRecording(uint64_t(state.range(0)));
    std::shared_ptr<zelvan::DvsFileReader> reader =
        zelvan::DvsFileReader::createFileReader(toFileSystemPath(path));
    if (!reader || !reader->loadFile()) {
        state.SkipWithError("cannot load the recording");
        return;
    }
    uint64_t start = 0;
    uint64_t end = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);

    // Outlive the processor, whose render thread signals through them.
    std::mutex drawn_mutex;
    std::condition_variable drawn_cv;
    uint64_t drawn = 0;
    ZvEventProcessor processor;
    QObject::connect(
        &processor, &ZvEventProcessor::signalEventImage, &processor,
        [&](const QImage&) {
            {
                std::lock_guard<std::mutex> lock(drawn_mutex);
                ++drawn;
            }
            drawn_cv.notify_one();
        },
        Qt::DirectConnection);

    const uint64_t step = processor.step();
    const uint64_t acc_time = processor.accTime();
    uint64_t pos = start;
    uint64_t events = 0;
    uint64_t frames = 0;
    for (auto _ : state) {
        if (pos + step > end) pos = start;
        const auto window = reader->getNTimeEventsGivenStartTimeStamp(pos, acc_time);
        if (!window) {
            state.SkipWithError("a window of the recording could not be read");
            break;
        }
        pos += step;
        if (!window->empty()) processor.addEvents(window->data(), window->data() + window->size());
        events += window->size();
        processor.requestRender();
        std::unique_lock<std::mutex> lock(drawn_mutex);
        if (!drawn_cv.wait_for(lock, std::chrono::seconds(10), [&] { return drawn > frames; })) {
            state.SkipWithError("the render thread drew no frame within 10 s");
            break;
        }
        frames = drawn;
    }
    state.counters["events/frame"] = benchmark::Counter(double(events), benchmark::Counter::kAvgIterations);
}
BENCHMARK(PlaybackFrame)
    ->Arg(1'000'000)
    ->Arg(10'000'000)
    ->Arg(30'000'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

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

// The live view on a simulated camera that replays a recording of the pattern scene at
// state.range(0) events per second (its words looped, paced on the device clock, so that the scene
// costs the cores almost nothing): frames drawn per second, events per second delivered and device
// buffers lost over five seconds.
void LiveViewReplay(benchmark::State& state) {
    zelvan::Logger::Instance().setLevel(zelvan::LOG_ERROR);
    const uint64_t rate = uint64_t(state.range(0));
    QTemporaryDir dir;
    const std::string recording = toFileSystemPath(dir.filePath("live_replay.raw"));
    if (!dir.isValid() || !zelvan::bench::writePatternRecording(recording, rate, rate / 5)) {
        state.SkipWithError("cannot write the recording");
        return;
    }
    auto config = zelvan::bench::benchCamera("LIVEREPLAY1");
    config.scene = zelvan::sim::SceneKind::Replay;
    config.replay_path = recording;
    config.replay_encoded = true;
    config.paced = true;
    zelvan::sim::SimulatedCameras::instance().reset({config});
    double fps = 0, mev_per_s = 0, lost = 0;
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
        const auto camera = window.liveSession()->camera();
        if (!camera || !window.liveSession()->isRunning()) {
            state.SkipWithError("the replay camera does not stream");
            break;
        }
        auto events = std::make_shared<std::atomic<uint64_t>>(0);
        camera->addEventsStreamHandleCallback([events](zelvan::Event2D* first, zelvan::Event2D* last) {
            events->fetch_add(uint64_t(last - first), std::memory_order_relaxed);
        });
        QTest::qWait(1000);  // let the stream settle
        const uint64_t frames0 = window.eventProcessor()->framesDrawn();
        const uint64_t events0 = events->load();
        const uint64_t lost0 = camera->getStreamCounters().lostBuffers;
        QElapsedTimer clock;
        clock.start();
        QTest::qWait(5000);
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        fps = double(window.eventProcessor()->framesDrawn() - frames0) / seconds;
        mev_per_s = double(events->load() - events0) / seconds / 1e6;
        lost = double(camera->getStreamCounters().lostBuffers - lost0);
        window.form()->pb_play->click();
    }
    zelvan::sim::SimulatedCameras::instance().restoreDefault();
    state.counters["fps"] = fps;
    state.counters["Mev/s"] = mev_per_s;
    state.counters["lost_buffers"] = lost;
}
BENCHMARK(LiveViewReplay)
    ->Arg(20'000'000)
    ->Arg(50'000'000)
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
