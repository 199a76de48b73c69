// Data transfer from the frame endpoint of a simulated fusion camera: one NV12 frame per buffer, taken
// from the board's exposure schedule once the device clock has passed the end of its readout, and
// drawn from the scene the event sensor sees.
#include <chrono>

#include "../sim/FusionBoard.h"
#include "SimTransfer.h"
#include "zelvan/Logger.h"

namespace zelvan::simtransfer {

namespace {

using std::chrono::microseconds;

constexpr uint16_t kFrameWidth = 3840;
constexpr uint16_t kFrameHeight = 2160;
// While the event sensor moves the device clock, how often the producer looks whether a frame is due.
constexpr auto kClockPoll = std::chrono::milliseconds(2);

sim::FrameRenderer makeRenderer(const sim::SimDevice& device) {
    const sim::SimDeviceConfig& config = device.config();
    sim::FrameRenderer::Axis x;
    sim::FrameRenderer::Axis y;
    sim::FrameRenderer::axesFromCalibration(config.calibration, x, y);
    return sim::FrameRenderer(kFrameWidth, kFrameHeight, config.width, config.height, x, y,
                              config.scene == sim::SceneKind::Pattern,
                              config.scene == sim::SceneKind::Pattern ? config.flicker_hz : 0);
}

class SimFrameTransfer final : public SimTransfer {
public:
    SimFrameTransfer(std::shared_ptr<Interface> interface, uint32_t transfers_in_flight, uint32_t queue_depth)
        : SimTransfer(interface, queue_depth + transfers_in_flight + 2,
                      static_cast<uint32_t>(size_t(kFrameWidth) * kFrameHeight * 3 / 2), queue_depth, "frame",
                      ObjectPool::Allocation::OnDemand, true),
          renderer_(makeRenderer(*interface->device())) {}

    ~SimFrameTransfer() override { stop(); }

private:
    void run() override {
        const bool paced = device_->config().paced;
        RawBuffer buffer = freshBuffer();
        Clock::time_point wall_ref = Clock::now();
        uint64_t device_ref = 0;
        bool rebase = true;
        while (true) {
            if (!device_->isConnected()) {
                setGone(true);
                if (pause(Clock::now() + kIdlePoll)) break;
                rebase = true;
                continue;
            }
            setGone(false);
            if (const auto slot = device_->takeDueFrame()) {
                countLost(slot->skipped);
                renderer_.render(slot->exposure_end, *buffer);
                if (!handOver(buffer, paced)) break;
                continue;
            }
            if (!device_->frameSensorRunning()) {
                if (pause(Clock::now() + kIdlePoll)) break;
                rebase = true;
                continue;
            }
            if (device_->isEmitting()) {
                // The event sensor moves the device clock: the frame is due once it passes the readout.
                rebase = true;
                if (pause(Clock::now() + kClockPoll)) break;
                continue;
            }
            // Nothing else moves the clock: time passes for the frame sensor alone.
            const uint64_t end = device_->nextFrameEnd();
            if (!paced) {
                if (stopRequested()) break;
                device_->advanceIdleClock(end + 1);
                continue;
            }
            if (rebase) {
                wall_ref = Clock::now();
                device_ref = device_->clock();
                rebase = false;
            }
            const uint64_t target = std::max(end + 1, device_ref);
            if (pause(wall_ref + microseconds(target - device_ref))) break;
            const auto elapsed = std::chrono::duration_cast<microseconds>(Clock::now() - wall_ref).count();
            device_->advanceIdleClock(device_ref + static_cast<uint64_t>(elapsed));
        }
    }

    sim::FrameRenderer renderer_;  // producer thread only
};

}  // namespace

std::unique_ptr<DataTransfer> makeFrameTransfer(const std::shared_ptr<Interface>& interface,
                                                uint32_t transfers_in_flight, uint32_t buffer_bytes,
                                                uint32_t queue_depth) {
    const auto frame_bytes = static_cast<uint32_t>(size_t(kFrameWidth) * kFrameHeight * 3 / 2);
    if (buffer_bytes != frame_bytes) {
        ZV_LOG(LOG_WARNING,
               "Camera %s: frame transfer asked for buffers of %u bytes; its frames are %u bytes",
               interface->description().serial.c_str(), buffer_bytes, frame_bytes);
    }
    return std::make_unique<SimFrameTransfer>(interface, transfers_in_flight, queue_depth);
}

}  // namespace zelvan::simtransfer
