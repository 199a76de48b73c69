// Helpers shared by the simulated-camera tests.
#pragma once

#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "DecodeLog.h"
#include "zelvan/EVT3Decoder.h"
#include "zelvan/EVT3Encoder.h"
#include "zelvan/sim/SimDevice.h"

namespace zelvan::testing {

inline constexpr uint64_t kWrap = uint64_t(1) << 24;

// A configuration of a USB event camera with a small, fast scene.
inline sim::SimDeviceConfig testCamera(const std::string& serial, uint64_t rate = 100'000,
                                       bool paced = false) {
    sim::SimDeviceConfig c;
    c.description.serial = serial;
    c.description.manufacturer = "Prophesee";
    c.description.product = "EVK4";
    c.description.vendorId = 0x04B4;
    c.description.productId = 0x00F5;
    c.description.firmwareVersion = "1.0.0";
    c.event_rate = rate;
    c.paced = paced;
    return c;
}

// Records what a device emits, from whichever thread produces.
class ObservedLog {
public:
    void attachTo(sim::SimDevice& device) {
        sim::EmittedObserver o;
        o.on_events = [this](const Event2D* b, const Event2D* e) {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto* it = b; it != e; ++it) log_.push_back({false, *it, {}});
        };
        o.on_trigger = [this](const EventTriggerIn& t) {
            std::lock_guard<std::mutex> lock(mutex_);
            log_.push_back({true, {}, t});
        };
        device.setObserver(std::move(o));
    }
    DecodeLog snapshot() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }

private:
    mutable std::mutex mutex_;
    DecodeLog log_;
};

// Decodes one byte stream piece by piece.
struct StreamDecoder {
    explicit StreamDecoder(int width = 1280, int height = 720) : decoder(width, height) {
        attach(decoder, log);
    }
    void feed(const std::vector<uint8_t>& bytes) {
        decoder.decode(bytes.data(), bytes.data() + bytes.size());
    }
    EVT3Decoder decoder;
    DecodeLog log;
};

// True when `part` is `whole` with some entries left out, order kept.
inline bool isSubsequence(const DecodeLog& part, const DecodeLog& whole) {
    size_t j = 0;
    for (const auto& d : part) {
        while (j < whole.size() && !(whole[j] == d)) ++j;
        if (j == whole.size()) return false;
        ++j;
    }
    return true;
}

// Writes a raw recording of EVT 3.0 `bytes` under a header as our recorder writes it.
inline void writeRawFile(const std::string& path, const std::vector<uint8_t>& bytes, int width = 1280,
                         int height = 720) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "% evt 3.0\n% format EVT3;height=" << height << ";width=" << width << "\n% geometry " << width
        << "x" << height << "\n% end\n";
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Writes a small raw recording of `events` and returns its path.
inline std::string writeRecording(const std::string& name, const std::vector<Event2D>& events,
                                  int width = 1280, int height = 720) {
    const std::string path = std::string(ZELVAN_BINARY_DIR) + "/" + name;
    EVT3Encoder encoder(width);
    std::vector<uint8_t> bytes;
    encoder.encode(events.data(), events.data() + events.size(), bytes);
    writeRawFile(path, bytes, width, height);
    return path;
}

// Writes a recording of the pattern scene as a simulated camera records it (the words of `slices`
// production steps of `slice_us` each: a TIME_HIGH word at least every step, vector groups where the
// bars are) and returns its path.
inline std::string recordPattern(const std::string& name, uint64_t rate, uint64_t slices, uint64_t slice_us) {
    auto config = testCamera("rec-" + name, rate);
    config.start_time_us = 123'456;
    sim::SimDevice camera(config);
    camera.writeRegister(sim::reg::kReadoutControl, 0);
    std::vector<uint8_t> bytes;
    for (uint64_t i = 0; i < slices; ++i) {
        const uint64_t t0 = camera.clock();
        camera.produce(t0, t0 + slice_us, bytes);
    }
    const std::string path = std::string(ZELVAN_BINARY_DIR) + "/" + name;
    writeRawFile(path, bytes);
    return path;
}

}  // namespace zelvan::testing
