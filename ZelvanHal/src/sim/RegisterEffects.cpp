#include "RegisterEffects.h"

#include <algorithm>

#include "zelvan/sim/SimDevice.h"

namespace zelvan::sim {

namespace {
constexpr uint32_t kReadoutRunning = 0;
constexpr uint32_t kTriggerInEnableBit = 1u << 10;

uint32_t valueAt(const std::map<uint32_t, uint32_t>& registers, uint32_t address, uint32_t reset_value) {
    const auto it = registers.find(address);
    return it == registers.end() ? reset_value : it->second;
}
}  // namespace

EmissionSettings RegisterEffects::read(const std::map<uint32_t, uint32_t>& registers) const {
    EmissionSettings settings;
    settings.readout_running = valueAt(registers, reg::kReadoutControl, 2) == kReadoutRunning;
    settings.trigger_in_enabled = (valueAt(registers, reg::kTriggerIn, 0) & kTriggerInEnableBit) != 0;
    settings.width = width_;
    settings.height = height_;
    return settings;
}

void RegisterEffects::apply(const EmissionSettings& settings, std::vector<Event2D>& events) const {
    cropToArray(settings, events);
}

void RegisterEffects::cropToArray(const EmissionSettings& settings, std::vector<Event2D>& events) {
    const auto outside = [&settings](const Event2D& e) {
        return e.x >= settings.width || e.y >= settings.height;
    };
    events.erase(std::remove_if(events.begin(), events.end(), outside), events.end());
}

}  // namespace zelvan::sim
