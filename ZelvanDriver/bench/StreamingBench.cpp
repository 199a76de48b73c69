// Streaming engine and recorder throughput.
//
// CameraStreaming: a simulated camera that produces as fast as it is consumed, one event callback and
// time batching, the whole process pinned to one core. Reports the delivered event rate, the lost
// buffers (must be 0) and the events per CPU-second spent on the camera loop (decoding, batching,
// callbacks), which is what the engine itself can carry on one core.
//
// RecorderHandOver / RecorderToFile: the cost of handing raw buffers to the recorder on the camera
// loop, and the rate at which the recorder writes a recording to a file.
#include <benchmark/benchmark.h>
#include <sched.h>

#include <dirent.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "FileRecorder/DvsFileRecorder.h"
#include "ThreadCpu.h"
#include "camera/DvsEventCamera.h"
#include "zelvan/DvsCameraManager.h"
#include "zelvan/Logger.h"
#include "zelvan/sim/SimDevice.h"

namespace {

using zelvan::bench::threadCpuSeconds;

using namespace std::chrono_literals;

void pinToOneCore() {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    sched_setaffinity(0, sizeof set, &set);
}

void CameraStreaming(benchmark::State& state) {
    zelvan::Logger::Instance().setLevel(zelvan::LOG_ERROR);
    const bool one_core = state.range(0) != 0;
    cpu_set_t saved;
    sched_getaffinity(0, sizeof saved, &saved);
    if (one_core) pinToOneCore();

    zelvan::sim::SimDeviceConfig config;
    config.description.serial = "BENCH0001";
    config.description.product = "EVK4";
    config.description.manufacturer = "Prophesee";
    config.description.vendorId = 0x04B4;
    config.description.productId = 0x00F5;
    config.paced = false;
    config.event_rate = 20'000'000;  // events per second of device time
    config.scene = zelvan::sim::SceneKind::Pattern;
    zelvan::sim::SimulatedCameras::instance().reset({config});
    zelvan::DvsCameraManager manager;
    manager.getCameraDescs();
    auto camera = manager.openCamera(config.description.serial);
    if (!camera) {
        state.SkipWithError("no simulated camera");
        return;
    }
    std::atomic<uint64_t> events{0};
    camera->addEventsStreamHandleCallback([&](zelvan::Event2D* f, zelvan::Event2D* l) {
        events.fetch_add(uint64_t(l - f), std::memory_order_relaxed);
    });
    camera->setBatchEventsTime(33333);
    auto* engine = dynamic_cast<zelvan::DvsCameraPrivate*>(camera.get());
    if (!engine) {
        state.SkipWithError("not a streaming camera");
        return;
    }

    double seconds = 0, loop_cpu = 0;
    for (auto _ : state) {
        events = 0;
        const auto start = std::chrono::steady_clock::now();
        camera->start();
        std::this_thread::sleep_for(2s);  // measurement window
        loop_cpu = threadCpuSeconds("zv-camera-loop");
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        camera->stop();
    }
    const double delivered = double(events.load());
    state.counters["Mev/s"] = delivered / seconds / 1e6;
    state.counters["engine_Mev_per_cpu_s"] = loop_cpu > 0 ? delivered / loop_cpu / 1e6 : 0;
    state.counters["lost_buffers"] = double(engine->lostBuffers());
    camera.reset();
    zelvan::sim::SimulatedCameras::instance().restoreDefault();
    sched_setaffinity(0, sizeof saved, &saved);
}
BENCHMARK(CameraStreaming)->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void RecorderHandOver(benchmark::State& state) {
    zelvan::Logger::Instance().setLevel(zelvan::LOG_ERROR);
    const std::string path = (std::filesystem::temp_directory_path() / "zelvan-bench-handover.raw").string();
    std::vector<uint8_t> buffer(131072, 0x5A);
    zelvan::DvsFileRecorder recorder;
    if (!recorder.startRecording(path, zelvan::DvsFileInfo{})) {
        state.SkipWithError(zelvan::recorderErrorText(recorder.lastError()));
        return;
    }
    uint64_t bytes = 0;
    for (auto _ : state) {
        recorder.addData(buffer);
        bytes += buffer.size();
    }
    // False when buffers were dropped, which this benchmark provokes and counts below.
    static_cast<void>(recorder.stopRecording());
    std::filesystem::remove(path);
    state.SetBytesProcessed(int64_t(bytes));
    // Beyond what the disk takes the recorder drops (the copy into its buffer is paid either way).
    state.counters["dropped_share"] = bytes ? double(recorder.droppedBytes()) / double(bytes) : 0.0;
}
BENCHMARK(RecorderHandOver)->Unit(benchmark::kMicrosecond);

void RecorderToFile(benchmark::State& state) {
    zelvan::Logger::Instance().setLevel(zelvan::LOG_ERROR);
    const std::string path = (std::filesystem::temp_directory_path() / "zelvan-bench-recording.raw").string();
    std::vector<uint8_t> buffer(131072, 0x5A);
    const uint64_t total = uint64_t(512) << 20;
    uint64_t written = 0, dropped = 0;
    for (auto _ : state) {
        zelvan::DvsFileRecorder recorder;
        if (!recorder.startRecording(path, zelvan::DvsFileInfo{})) {
            state.SkipWithError(zelvan::recorderErrorText(recorder.lastError()));
            break;
        }
        for (uint64_t sent = 0; sent < total; sent += buffer.size()) {
            recorder.addData(buffer);
            // A producer at the disk's pace: the queue never overflows, so every byte is written.
            if (sent % (uint64_t(4) << 20) == 0) recorder.waitUntilWritten();
        }
        // Waits until everything is in the file.
        if (!recorder.stopRecording()) {
            state.SkipWithError(zelvan::recorderErrorText(recorder.lastError()));
            break;
        }
        written += recorder.status().bytesWritten;
        dropped += recorder.droppedBytes();
    }
    std::filesystem::remove(path);
    state.SetBytesProcessed(int64_t(written));
    state.counters["dropped_bytes"] = double(dropped);
}
BENCHMARK(RecorderToFile)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
