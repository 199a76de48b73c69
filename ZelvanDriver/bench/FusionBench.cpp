// The fusion camera's frame path at 3840 x 2160.
//
// FusionFramePath/convert: per frame, the copy into a pooled frame, the pairing with its exposure
// record and the NV12 to BGR conversion for one frame callback (which gets its own ApsFrame).
// FusionFramePath/record: the same frames into a frame recording (H.264), without callbacks; the loop
// waits for the encoder whenever its queue is full, so the rate is what the device sustains.
// FusionFramePath/convert_and_record: both. items_per_second is frames per second.
//
// FusionRecordingPeakMemory: a 10 s recording of both streams from a simulated fusion camera at its
// default rates (about 5 Mev/s, 10 frames/s, paced in real time); the counter peak_rss_mb is the
// process's peak resident memory meanwhile (its peak is reset first), simulated camera included.
// Run it on its own: --benchmark_filter=FusionRecordingPeakMemory.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "camera/TandraCamera.h"
#include "zelvan/DvsCameraManager.h"
#include "zelvan/Logger.h"
#include "zelvan/sim/SimDevice.h"

namespace {

using namespace std::chrono_literals;
using zelvan::TandraCamera;

// The device's frame path, driven from the benchmark's thread.
class FramePathProbe : public TandraCamera {
public:
    using TandraCamera::frameArrived;
    using TandraCamera::init;
    using TandraCamera::TandraCamera;
    using TandraCamera::triggerInArrived;
    void armPairing() {
        trigger_counter_ = 0;
        fusing_ = true;
    }
    void fuseOnce() {
        std::unique_lock<std::mutex> lock(fusion_mutex_);
        fuseQueuedLocked(lock);
    }
    // Waits until the frame recording has room for another frame.
    void waitForEncoder() {
        std::unique_lock<std::mutex> lock(record_mutex_);
        record_done_cv_.wait_for(lock, 10s,
                                 [this] { return record_frames_.size() < kMaxQueuedRecordFrames; });
    }
};

zelvan::sim::SimDeviceConfig fusionConfig(const std::string& serial) {
    for (auto c : zelvan::sim::SimulatedCameras::defaultConfigs()) {
        if (c.description.product != "Tandra") continue;
        c.description.serial = serial;
        c.settle_scale = 0;
        return c;
    }
    return {};
}

std::filesystem::path benchFolder(const std::string& name) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("zelvan-fusion-bench-" + name + "-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path);
    return path;
}

void BM_FusionFramePath(benchmark::State& state) {
    const bool callback = state.range(0) & 1;
    const bool record = state.range(0) & 2;
    zelvan::Logger::Instance().setLevel(zelvan::LOG_WARNING);
    const auto config = fusionConfig("BENCHFUSION");
    zelvan::sim::SimulatedCameras::instance().reset({config});
    auto camera = zelvan::makeFusionCamera<FramePathProbe>(config.description);
    if (camera->init() != 0) {
        state.SkipWithError("the simulated fusion camera did not open");
        return;
    }
    std::vector<uint8_t> frame(TandraCamera::kFrameBytes, 128);
    for (size_t i = 0; i < size_t(3840) * 2160; ++i) frame[i] = uint8_t((i * 7) ^ (i >> 12));
    uint64_t delivered = 0;
    if (callback)
        camera->addApsFrameCallback([&delivered](zelvan::ApsFrame f) { delivered += f.getDataSize() > 0; });
    const auto folder = benchFolder("path");
    if (record && camera->startRecording(folder.string(), "bench", zelvan::APS) != 0) {
        state.SkipWithError("the frame recording did not start");
        return;
    }
    camera->armPairing();
    uint64_t t = 1000;
    camera->triggerInArrived({0, 1, t});  // arms the pairing
    for (auto _ : state) {
        t += 100'000;
        if (record) camera->waitForEncoder();
        camera->frameArrived(frame);
        camera->triggerInArrived({0, 1, t});
        camera->fuseOnce();
    }
    if (record && camera->stopRecording(zelvan::APS) != 0)
        state.SkipWithError("frames were dropped or not encoded");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    if (callback) state.counters["callbacks"] = double(delivered);
    camera.reset();
    zelvan::sim::SimulatedCameras::instance().restoreDefault();
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_FusionFramePath)
    ->ArgName("mode")
    ->Arg(1)  // convert for a callback
    ->Arg(2)  // record
    ->Arg(3)  // both
    ->Iterations(60)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The process's peak resident memory (kB) since it was last reset.
long peakRssKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

void resetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

void BM_FusionRecordingPeakMemory(benchmark::State& state) {
    zelvan::Logger::Instance().setLevel(zelvan::LOG_WARNING);
    auto config = fusionConfig("BENCHMEMORY");
    zelvan::sim::SimulatedCameras::instance().reset({config});
    zelvan::DvsCameraManager manager;
    manager.getCameraDescs();
    auto camera = manager.openFusionCamera(config.description.serial);
    if (!camera || !camera->isConnected()) {
        state.SkipWithError("the simulated fusion camera did not open");
        return;
    }
    zelvan::CalibratorParameters calibration;
    camera->readCalibrationParam(calibration);
    const auto folder = benchFolder("memory");
    long peak = 0;
    for (auto _ : state) {
        resetPeakRss();
        if (camera->start(zelvan::DVS_AND_APS) != 0 ||
            camera->startRecording(folder.string(), "ten", zelvan::DVS_AND_APS) != 0) {
            state.SkipWithError("the recording did not start");
            break;
        }
        std::this_thread::sleep_for(10s);  // the length of the recording
        const int recorded = camera->stopRecording(zelvan::DVS_AND_APS);
        camera->stop(zelvan::DVS_AND_APS);
        peak = peakRssKb();
        if (recorded != 0) state.SkipWithError("the recording lost data");
    }
    state.counters["peak_rss_mb"] = double(peak) / 1024.0;
    state.counters["raw_mb"] = double(std::filesystem::file_size(folder / "ten.raw")) / 1e6;
    camera.reset();
    zelvan::sim::SimulatedCameras::instance().restoreDefault();
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_FusionRecordingPeakMemory)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
