// Recordings of the pattern scene as a simulated EVK4 (1280 x 720) records it, for benchmarks and
// soak runs that replay them through a simulated camera.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "zelvan/sim/SimDevice.h"

namespace zelvan::bench {

// A simulated EVK4 description for benchmark cameras, with `serial` and no bring-up delays.
inline sim::SimDeviceConfig benchCamera(const std::string& serial) {
    sim::SimDeviceConfig config;
    config.description.serial = serial;
    config.description.product = "EVK4";
    config.description.manufacturer = "Prophesee";
    config.description.vendorId = 0x04B4;
    config.description.productId = 0x00F5;
    config.settle_scale = 0;
    return config;
}

// Writes `events` events (at least) of the pattern scene at `rate` events per second to `path`, in
// production steps of 250 us; false when the file cannot be written.
inline bool writePatternRecording(const std::string& path, uint64_t rate, uint64_t events) {
    auto config = benchCamera("BENCHREC1");
    config.event_rate = rate;
    sim::SimDevice camera(config);
    camera.writeRegister(sim::reg::kReadoutControl, 0);
    std::vector<uint8_t> bytes;
    while (camera.emittedEvents() < events) {
        const uint64_t t0 = camera.clock();
        camera.produce(t0, t0 + 250, bytes);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "% evt 3.0\n% format EVT3;height=720;width=1280\n% geometry 1280x720\n% end\n";
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return bool(out);
}

}  // namespace zelvan::bench
