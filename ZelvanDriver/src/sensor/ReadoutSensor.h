// A sensor that only switches the readout on and off: enough to stream from a camera whose sensor
// needs no bring-up sequence.
#pragma once

#include "sensor/Sensor.h"

namespace zelvan {

class ReadoutSensor : public Sensor {
public:
    int init(std::shared_ptr<Interface> interface) override;
    int start() override;
    int stop() override;

    // Readout control register: 0 runs the readout, 2 puts it in standby.
    static constexpr uint32_t kReadoutControl = 0x9028;

private:
    std::shared_ptr<Interface> interface_;
};

}  // namespace zelvan
