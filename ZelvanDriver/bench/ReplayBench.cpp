// Live replay throughput: how fast a simulated camera that replays a recording feeds the driver.
//
// LiveReplay: the whole live pipeline on both cores: a simulated camera replaying a recording as fast
// as it is consumed (unpaced) -> event transfer (bounded queue of 128 KiB buffers) -> camera loop
// (decoding) -> event callback counting events, and time batches that a consumer thread takes and
// counts. Runs once with the replay of encoded words (replay_encoded) and once with the replay that
// decodes the recording and encodes its events again, on the same recording, and reports:
//   Mev/s, lost_buffers            sustained delivered event rate and buffers lost (an unpaced camera
//                                  waits for room instead of losing: a slow consumer lowers the rate)
//   batched_Mev/s                  events that reached the batch consumer
//   loop_ns/ev, producer_ns/ev     CPU time per event of the camera loop and of the camera's producer
//   core_bound_Mev/s               the rate those allow with a core for each of the two threads
//   reencoding_Mev/s, reencoding_lost_buffers, ratio   the same for the re-encoding replay, and the
//                                                      encoded rate over it
// The recording is the pattern scene at 20 Mev/s as a simulated camera records it (argument 0), or a
// real recording from the test data (argument 1; skipped where absent). ZELVAN_REPLAY_BENCH_FILE names
// another recording for argument 0.
//
// ReplayDecodeOnly: the decoder alone on the recording's words in memory: cpu_per_event and events per
// CPU second.
//
// Each measurement window lasts ZELVAN_REPLAY_BENCH_SECONDS seconds (2 by default; 60 for a sustained
// run).
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ThreadCpu.h"
#include "camera/DvsCameraPrivate.h"
#include "zelvan/DvsCameraManager.h"
#include "zelvan/EVT3Decoder.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileHeader.h"
#include "zelvan/sim/SimDevice.h"

namespace {

using zelvan::bench::threadCpuSeconds;

using Clock = std::chrono::steady_clock;

double windowSeconds() {
    const char* text = std::getenv("ZELVAN_REPLAY_BENCH_SECONDS");
    const double seconds = text ? std::atof(text) : 0.0;
    return seconds > 0 ? seconds : 2.0;
}

zelvan::sim::SimDeviceConfig benchCamera(const std::string& serial) {
    zelvan::sim::SimDeviceConfig config;
    config.description.serial = serial;
    config.description.product = "EVK4";
    config.description.manufacturer = "Prophesee";
    config.description.vendorId = 0x04B4;
    config.description.productId = 0x00F5;
    config.settle_scale = 0;
    return config;
}

// The pattern scene at 20 Mev/s as a simulated camera records it: 3.5 million events (the re-encoding
// replay keeps at most 4 million), in production steps of 250 us.
std::string patternRecording() {
    const std::string path = (std::filesystem::temp_directory_path() / "zelvan-bench-replay.raw").string();
    auto config = benchCamera("BENCHREC1");
    config.event_rate = 20'000'000;
    zelvan::sim::SimDevice camera(config);
    camera.writeRegister(zelvan::sim::reg::kReadoutControl, 0);
    std::vector<uint8_t> bytes;
    while (camera.emittedEvents() < 3'500'000) {
        const uint64_t t0 = camera.clock();
        camera.produce(t0, t0 + 250, bytes);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "% evt 3.0\n% format EVT3;height=720;width=1280\n% geometry 1280x720\n% end\n";
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return out ? path : std::string();
}

// The recording of argument `which`, or empty.
std::string recording(int64_t which) {
    if (which == 1) {
        const std::string real = std::string(ZELVAN_TESTDATA_DIR) + "/expelliarmus_evt3_sample.raw";
        return std::ifstream(real) ? real : std::string();
    }
    if (const char* file = std::getenv("ZELVAN_REPLAY_BENCH_FILE"); file && *file) return file;
    // Made once per run and removed at exit.
    static const struct TempRecording {
        std::string path = patternRecording();
        ~TempRecording() {
            std::error_code ignored;
            if (!path.empty()) std::filesystem::remove(path, ignored);
        }
    } pattern;
    return pattern.path;
}

struct PipelineResult {
    bool ok = false;
    std::string error;
    double mev_per_s = 0;
    double batched_mev_per_s = 0;
    double loop_ns_per_event = 0;
    double producer_ns_per_event = 0;
    double lost_buffers = 0;
};

// One measurement of the live pipeline: a warm-up, then a window of `seconds`.
PipelineResult runPipeline(const std::string& path, bool encoded, double seconds) {
    PipelineResult result;
    auto config = benchCamera("BENCHREPLAY1");
    config.scene = zelvan::sim::SceneKind::Replay;
    config.replay_path = path;
    config.replay_encoded = encoded;
    config.paced = false;
    zelvan::sim::SimulatedCameras::instance().reset({config});
    struct RestoreCameras {
        ~RestoreCameras() { zelvan::sim::SimulatedCameras::instance().restoreDefault(); }
    } restore;
    const auto device = zelvan::sim::SimulatedCameras::instance().find(config.description.serial);
    if (!device || !device->sceneError().empty()) {
        result.error = device ? device->sceneError() : "no simulated camera";
        return result;
    }
    {
        zelvan::DvsCameraManager manager;
        manager.getCameraDescs();
        auto camera = manager.openCamera(config.description.serial);
        auto* engine = dynamic_cast<zelvan::DvsCameraPrivate*>(camera.get());
        if (!engine) {
            result.error = "no streaming camera";
            return result;
        }
        std::atomic<uint64_t> events{0};
        std::atomic<uint64_t> batched{0};
        camera->addEventsStreamHandleCallback([&events](zelvan::Event2D* first, zelvan::Event2D* last) {
            events.fetch_add(uint64_t(last - first), std::memory_order_relaxed);
        });
        camera->setBatchEventsTime(33'333);
        if (camera->start() != 0) {
            result.error = "the camera does not start";
            return result;
        }
        // Takes batches until streaming ends.
        std::thread consumer([&camera, &batched] {
            std::vector<zelvan::Event2D> batch;
            while (camera->getNextBatch(batch)) batched.fetch_add(batch.size(), std::memory_order_relaxed);
        });

        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // warm-up
        // The event counts and the clock are read next to each other, the threads' CPU times
        // around them.
        const double loop0 = threadCpuSeconds("zv-camera-loop");
        const double producer0 = threadCpuSeconds("zv-sim-events");
        const auto start = Clock::now();
        const uint64_t events0 = events.load(), batched0 = batched.load();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));  // measurement window
        const uint64_t delivered = events.load() - events0;
        const uint64_t batch_events = batched.load() - batched0;
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const double loop1 = threadCpuSeconds("zv-camera-loop");
        const double producer1 = threadCpuSeconds("zv-sim-events");
        const double loop_cpu = loop1 - loop0;
        const double producer_cpu = producer1 - producer0;
        result.lost_buffers = double(engine->lostBuffers());
        camera->stop();
        consumer.join();

        result.ok = delivered > 0 && loop0 >= 0 && loop1 >= 0 && producer0 >= 0 && producer1 >= 0;
        if (delivered == 0)
            result.error = "no events delivered";
        else if (!result.ok)
            result.error = "the camera loop or the simulated camera's thread was not found";
        result.mev_per_s = double(delivered) / elapsed / 1e6;
        result.batched_mev_per_s = double(batch_events) / elapsed / 1e6;
        if (delivered > 0) {
            result.loop_ns_per_event = loop_cpu * 1e9 / double(delivered);
            result.producer_ns_per_event = producer_cpu * 1e9 / double(delivered);
        }
    }
    return result;
}

void LiveReplay(benchmark::State& state) {
    zelvan::Logger::Instance().setLevel(zelvan::LOG_ERROR);
    const std::string path = recording(state.range(0));
    if (path.empty()) {
        state.SkipWithError("recording not present");
        return;
    }
    const double seconds = windowSeconds();
    PipelineResult encoded, reencoding;
    for (auto _ : state) {
        reencoding = runPipeline(path, false, seconds);
        encoded = runPipeline(path, true, seconds);
    }
    if (!encoded.ok || !reencoding.ok) {
        state.SkipWithError((encoded.ok ? reencoding.error : encoded.error).c_str());
        return;
    }
    state.counters["Mev/s"] = encoded.mev_per_s;
    state.counters["batched_Mev/s"] = encoded.batched_mev_per_s;
    state.counters["lost_buffers"] = encoded.lost_buffers;
    state.counters["loop_ns/ev"] = encoded.loop_ns_per_event;
    state.counters["producer_ns/ev"] = encoded.producer_ns_per_event;
    // What the pipeline carries when each of its two threads has a core of its own (on a busy machine
    // the measured rate is lower).
    state.counters["core_bound_Mev/s"] =
        1e3 / std::max({encoded.loop_ns_per_event, encoded.producer_ns_per_event, 1e-3});
    state.counters["reencoding_Mev/s"] = reencoding.mev_per_s;
    state.counters["reencoding_lost_buffers"] = reencoding.lost_buffers;
    state.counters["reencoding_producer_ns/ev"] = reencoding.producer_ns_per_event;
    state.counters["ratio"] = encoded.mev_per_s / reencoding.mev_per_s;
}
BENCHMARK(LiveReplay)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void ReplayDecodeOnly(benchmark::State& state) {
    const std::string path = recording(state.range(0));
    zelvan::RawFileHeader header;
    std::string error;
    if (path.empty() || !zelvan::readRawFileHeader(path, header, error)) {
        state.SkipWithError(path.empty() ? "recording not present" : error.c_str());
        return;
    }
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(header.payload_offset));
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    zelvan::EVT3Decoder decoder(header.info.width, header.info.height);
    uint64_t events = 0;
    decoder.setEventsStreamHandleCallback(
        [&events](zelvan::Event2D* f, zelvan::Event2D* l) { events += uint64_t(l - f); });
    for (auto _ : state) {
        decoder.resetTimeBase();
        decoder.decode(bytes.data(), bytes.data() + bytes.size());
    }
    state.SetBytesProcessed(int64_t(bytes.size()) * state.iterations());
    // CPU time per event, and events per CPU second.
    state.counters["cpu_per_event"] =
        benchmark::Counter(double(events), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["events"] = benchmark::Counter(double(events), benchmark::Counter::kIsRate);
}
BENCHMARK(ReplayDecodeOnly)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
