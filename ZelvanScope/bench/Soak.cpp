// Soak run of the live view's pipeline, offscreen: a simulated camera replays a recording of the
// pattern scene (its words looped, paced on the device clock) -> event transfer -> camera loop
// (decoding, time batches) -> the live session's display thread -> event counting -> the render
// thread painting every frame the GUI thread asks for. Every sampling period it prints one line:
// elapsed time, resident memory (all of it, and the anonymous part: the heap and other private
// memory, where a leak shows), events and frames per second of the period, lost buffers so far.
//
//   ZelvanScopeSoak [--seconds N] [--sample S] [--rate EV_PER_S] [--require-no-loss]
//
// Defaults: 3600 s, a sample every 60 s, 50 000 000 events per second. The first sample taken after
// 30 s of warm-up (queues and pools fill) is the reference: every later one's anonymous resident memory must
// stay within 5 % of it (mapped files, such as the libraries' code, are left out of the judgement: the system
// may drop their pages at any time). Exit status 0 when it stayed within that band, events and frames kept
// flowing in every period and (with --require-no-loss) no buffer was lost; 1 otherwise, with the reason on
// stderr; 2 on wrong use. A period that ended more than half a period late (the process itself was held up,
// so the sampler could not run) is printed and marked "late" but not judged for flow.
#include <unistd.h>

#include <QApplication>
#include <QStandardPaths>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "PatternRecording.h"
#include "processing/ZvEventProcessor.h"
#include "session/LiveSession.h"
#include "zelvan/DvsCameraManager.h"
#include "zelvan/Logger.h"
#include "zelvan/sim/SimDevice.h"

namespace {

constexpr double kWarmUpSeconds = 30;

struct Options {
    double seconds = 3600;
    double sample = 60;
    uint64_t rate = 50'000'000;
    bool require_no_loss = false;
};

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        char* end = nullptr;
        if (arg == "--require-no-loss") {
            options.require_no_loss = true;
        } else if (arg == "--seconds" && has_value) {
            options.seconds = std::strtod(argv[++i], &end);
            if (*end || !(options.seconds > 0)) return false;
        } else if (arg == "--sample" && has_value) {
            options.sample = std::strtod(argv[++i], &end);
            if (*end || !(options.sample > 0)) return false;
        } else if (arg == "--rate" && has_value) {
            options.rate = std::strtoull(argv[++i], &end, 10);
            if (*end || options.rate == 0) return false;
        } else {
            return false;
        }
    }
    return options.sample <= options.seconds && options.seconds > kWarmUpSeconds;
}

struct Resident {
    uint64_t total = 0;      // bytes
    uint64_t anonymous = 0;  // bytes
};

// Resident memory of this process; zeros when unknown.
Resident residentMemory() {
    std::ifstream status("/proc/self/status");
    Resident resident;
    std::string key;
    uint64_t kib = 0;
    while (status >> key) {
        if (key == "VmRSS:" && status >> kib) resident.total = kib * 1024;
        if (key == "RssAnon:" && status >> kib) resident.anonymous = kib * 1024;
    }
    return resident;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: ZelvanScopeSoak [--seconds N] [--sample S] [--rate EV_PER_S] "
                     "[--require-no-loss]\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The viewer's settings go to a test location, never into the user's own.
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);
    zelvan::Logger::Instance().setLevel(zelvan::LOG_WARNING);

    // A fifth of a second of the scene: the replay keeps the recording's words in memory (at most 64 MiB).
    const std::string recording =
        (std::filesystem::temp_directory_path() / ("zelvan-soak-" + std::to_string(getpid()) + ".raw"))
            .string();
    struct RemoveAtExit {
        std::string path;
        ~RemoveAtExit() {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
    } remove_recording{recording};
    if (!zelvan::bench::writePatternRecording(recording, options.rate, options.rate / 5)) {
        std::fprintf(stderr, "soak: cannot write the recording %s\n", recording.c_str());
        return 1;
    }

    auto config = zelvan::bench::benchCamera("SOAK0001");
    config.scene = zelvan::sim::SceneKind::Replay;
    config.replay_path = recording;
    config.replay_encoded = true;
    config.paced = true;
    zelvan::sim::SimulatedCameras::instance().reset({config});
    struct RestoreCameras {
        ~RestoreCameras() { zelvan::sim::SimulatedCameras::instance().restoreDefault(); }
    } restore;

    zelvan::DvsCameraManager manager;
    manager.getCameraDescs();
    std::shared_ptr<zelvan::DvsCamera> camera = manager.openCamera(config.description.serial);
    if (!camera) {
        std::fprintf(stderr, "soak: the replay camera does not open\n");
        return 1;
    }
    auto events = std::make_shared<std::atomic<uint64_t>>(0);
    camera->addEventsStreamHandleCallback([events](zelvan::Event2D* first, zelvan::Event2D* last) {
        events->fetch_add(uint64_t(last - first), std::memory_order_relaxed);
    });

    ZvEventProcessor processor;
    processor.setResolution(1280, 720);
    LiveSession live(&processor);
    // As the main window does: each batch handed to the processor asks the GUI thread for a frame.
    QObject::connect(&live, &LiveSession::framesReady, &processor, &ZvEventProcessor::showCurrentFrame,
                     Qt::QueuedConnection);
    bool lost = false;
    QObject::connect(&live, &LiveSession::cameraLost, &app, [&] {
        lost = true;
        app.exit(1);
    });
    live.install(camera);
    if (live.start(33'333) != 0) {
        std::fprintf(stderr, "soak: the replay camera does not start\n");
        return 1;
    }

    std::printf("%10s %10s %10s %10s %8s %12s\n", "elapsed_s", "rss_MiB", "anon_MiB", "Mev/s", "fps",
                "lost_buffers");
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    auto last = start;
    uint64_t last_events = events->load();
    uint64_t last_frames = processor.framesDrawn();
    uint64_t reference = 0;
    double worst_drift = 0;
    std::string failure;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, &app, [&] {
        const auto now = std::chrono::steady_clock::now();
        const double period = std::chrono::duration<double>(now - last).count();
        const double elapsed = std::chrono::duration<double>(now - start).count();
        const uint64_t n = events->load();
        const uint64_t frames = processor.framesDrawn();
        const Resident rss = residentMemory();
        const uint64_t lost_buffers = camera->getStreamCounters().lostBuffers;
        const bool late = period > options.sample * 1.5;
        std::printf("%10.0f %10.1f %10.1f %10.2f %8.1f %12llu%s\n", elapsed, double(rss.total) / (1 << 20),
                    double(rss.anonymous) / (1 << 20), double(n - last_events) / period / 1e6,
                    double(frames - last_frames) / period, static_cast<unsigned long long>(lost_buffers),
                    late ? "  late" : "");
        std::fflush(stdout);
        if (rss.anonymous == 0) failure = "resident memory cannot be read";
        if (!late && n == last_events) failure = "no events arrived for " + std::to_string(period) + " s";
        if (!late && frames == last_frames)
            failure = "no frame was drawn for " + std::to_string(period) + " s";
        if (reference == 0 && elapsed >= kWarmUpSeconds) reference = rss.anonymous;
        const double drift =
            reference ? std::abs(double(rss.anonymous) - double(reference)) / double(reference) : 0;
        worst_drift = std::max(worst_drift, drift);
        last = now;
        last_events = n;
        last_frames = frames;
        if (!failure.empty() || elapsed + options.sample / 2 >= options.seconds) app.quit();
    });
    sampler.start(int(options.sample * 1000));
    const int status = app.exec();
    const uint64_t lost_buffers = camera->getStreamCounters().lostBuffers;
    live.release();

    std::printf("anonymous resident memory drift %.2f %% of the reference sample, lost buffers %llu\n",
                worst_drift * 100, static_cast<unsigned long long>(lost_buffers));
    if (lost || status != 0) failure = "the camera was lost";
    if (failure.empty() && worst_drift > 0.05)
        failure = "anonymous resident memory moved more than 5 % from the reference sample";
    if (failure.empty() && options.require_no_loss && lost_buffers != 0) failure = "buffers were lost";
    if (!failure.empty()) {
        std::fprintf(stderr, "soak: %s\n", failure.c_str());
        return 1;
    }
    return 0;
}
