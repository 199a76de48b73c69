// Opens the first event camera found, counts its events for two seconds and prints the rate.
// Exits with status 1 and a message when there is no camera or streaming fails.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "zelvan/DvsCameraManager.h"
#include "zelvan/Logger.h"

namespace {

int fail(const std::string& message) {
    std::fprintf(stderr, "count_events: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main() {
    // Only the library's warnings and errors, not its progress lines.
    zelvan::Logger::Instance().setLevel(zelvan::LOG_WARNING);

    zelvan::DvsCameraManager manager;
    // Event cameras come first; fusion cameras (product "Tandra") are listed after them.
    std::string serial;
    std::string product;
    for (const zelvan::CameraDescription& description : manager.getCameraDescs()) {
        if (description.product != "Tandra") {
            serial = description.serial;
            product = description.product;
            break;
        }
    }
    if (serial.empty()) return fail("no camera found");

    std::shared_ptr<zelvan::DvsCamera> camera = manager.openCamera(serial);
    if (!camera) return fail("cannot open camera " + serial);

    // The callback runs on the camera's own thread.
    std::atomic<uint64_t> events{0};
    camera->addEventsStreamHandleCallback([&events](zelvan::Event2D* first, zelvan::Event2D* last) {
        events.fetch_add(static_cast<uint64_t>(last - first), std::memory_order_relaxed);
    });

    const auto begin = std::chrono::steady_clock::now();
    if (camera->start() != 0) return fail("camera " + serial + " does not start streaming");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const bool lost = !camera->isConnected();
    if (camera->stop() != 0) return fail("camera " + serial + " does not stop streaming");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    if (lost) return fail("camera " + serial + " went away while streaming");
    const uint64_t count = events.load();
    if (count == 0) return fail("camera " + serial + " streamed no events");
    std::printf("%s (%s): %llu events in %.2f s, %.0f events/s\n", serial.c_str(), product.c_str(),
                static_cast<unsigned long long>(count), seconds, static_cast<double>(count) / seconds);
    return 0;
}
