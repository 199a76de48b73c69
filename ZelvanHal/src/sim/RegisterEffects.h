// How the register file of a simulated sensor shapes what it emits. Everything the registers decide
// about the stream is read here once per produced interval and applied here to each batch of scene
// events, between the scene and the encoder.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "zelvan/Types.h"

namespace zelvan::sim {

// What the register file asks of the stream for one produced interval.
struct EmissionSettings {
    bool readout_running = false;     // readout control register at 0
    bool trigger_in_enabled = false;  // trigger input 0 reaches the stream
    uint16_t width = 0;               // pixel array
    uint16_t height = 0;
};

class RegisterEffects {
  public:
    RegisterEffects(uint16_t width, uint16_t height) : width_(width), height_(height) {}

    // Reads the settings from a register file (the caller holds the lock that guards it).
    EmissionSettings read(const std::map<uint32_t, uint32_t>& registers) const;

    // Shapes one time-ordered batch of scene events in place as the sensor would emit them: events
    // may be dropped or changed, never reordered, and the batch stays time-ordered. Allocates nothing.
    // Stages run in the order a sensor's readout applies them; today only the pixel array bounds.
    void apply(const EmissionSettings& settings, std::vector<Event2D>& events) const;

  private:
    static void cropToArray(const EmissionSettings& settings, std::vector<Event2D>& events);

    uint16_t width_;
    uint16_t height_;
};

}  // namespace zelvan::sim
