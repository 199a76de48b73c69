// Bring-up of the event sensors (IMX636 family and GenX320) and of the fusion camera's frame sensor.
// The camera hands each sensor callables bound to its register controller before calling init; a sensor
// never talks to the controller itself.
#pragma once

#include <memory>
#include <string>

#include "sensor/Sensor.h"

namespace zelvan {

// IMX636-family event sensor.
class Imx6x6Sensor : public Sensor {
public:
    // Filled event buffers the stream holds for a consumer that falls behind before it drops data.
    static constexpr uint32_t kEventQueueDepth = 128;
    // A fusion camera pairs each frame with an exposure edge of the event stream and keeps only a few
    // frames waiting for theirs: its event stream must not fall further behind than that.
    static constexpr uint32_t kFusionEventQueueDepth = 20;

    explicit Imx6x6Sensor(uint32_t event_queue_depth = kEventQueueDepth)
        : event_queue_depth_(event_queue_depth) {}

    // Creates the event stream, then applies the standby, power-up and configuration sequences and brings
    // up temperature sensing, the photodiode current mirror, the LIFO and the time base (about 2.5 s of
    // settling on hardware). -1 without an apply-sequence callable.
    int init(std::shared_ptr<Interface> interface) override;
    // Starts the event stream and applies the start sequence.
    int start() override;
    // Applies the standby sequence and stops the event stream.
    int stop() override;

private:
    void temperatureBringUp();
    void iphMirror(bool on);
    void lifo(bool enable, bool output, bool counter);
    void timeBase(bool external, bool master);
    bool canWriteFields() const;

    uint32_t event_queue_depth_;
};

// GenX320 event sensor. Its configuration sequence leaves the readout running: start and stop only start
// and stop the event stream.
class Genx320Sensor : public Sensor {
public:
    int init(std::shared_ptr<Interface> interface) override;
    int start() override;
    int stop() override;

private:
    void temperatureBringUp();
    void iphMirror(bool on);
    void lifo(bool enable);
    void timeBase(bool external, bool master);
    bool canWriteFields() const;
};

// IMX415 frame sensor of the fusion camera: one NV12 frame per buffer, switched by the board register
// "aps_ctrl". Its write-register callable must be set (calls without it throw std::bad_function_call).
class Imx415Sensor : public Sensor {
public:
    static constexpr int32_t kWidth = 3840;
    static constexpr int32_t kHeight = 2160;

    int init(std::shared_ptr<Interface> interface) override;
    int start() override;
    int stop() override;

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }

private:
    int32_t width_ = kWidth;
    int32_t height_ = kHeight;
};

namespace sensor_timing {
// Waits until the steady clock has advanced by `ns` nanoseconds (until the clock's maximum when the
// deadline would lie beyond it).
void waitNanoseconds(int64_t ns);
}  // namespace sensor_timing

}  // namespace zelvan
