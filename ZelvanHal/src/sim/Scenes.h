// What a simulated camera looks at: the sources of its events.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zelvan/SyntheticScene.h"
#include "zelvan/Types.h"
#include "zelvan/sim/SimDevice.h"

namespace zelvan::sim {

class Scene {
public:
    virtual ~Scene() = default;
    // Appends the time-ordered events of device time [t_begin, t_end). Successive calls cover
    // successive intervals.
    virtual void generate(uint64_t t_begin, uint64_t t_end, std::vector<Event2D>& out) = 0;
};

// The moving bars of SyntheticScene, or (noise = true) uniformly random pixels and polarities; with
// flicker_hz > 0 also a lamp flickering at that frequency: a square of kLampSide pixels at
// (kLampOrigin, kLampOrigin) whose pixels each emit one ON event when it lights up and one OFF event when it
// goes dark (half a period later), spread over the first kLampSpreadUs of the edge.
class SyntheticSource : public Scene {
public:
    static constexpr uint16_t kLampOrigin = 8;
    static constexpr uint16_t kLampSide = 16;
    static constexpr uint64_t kLampSpreadUs = 64;

    SyntheticSource(uint16_t width, uint16_t height, uint64_t rate, uint64_t seed, bool noise,
                    uint32_t flicker_hz = 0);
    // Whether the lamp flickering at `flicker_hz` is lit at time t (it lights up at time 0).
    static bool lampLit(uint32_t flicker_hz, uint64_t t);
    void generate(uint64_t t_begin, uint64_t t_end, std::vector<Event2D>& out) override;

private:
    void lamp(uint64_t t_begin, uint64_t t_end, std::vector<Event2D>& out);

    SyntheticScene scene_;
    uint16_t width_;
    uint16_t height_;
    uint32_t flicker_hz_;
    std::vector<Event2D> lamp_events_;  // scratch, reused
};

// The events of a recording, looped: each pass is shifted so that time keeps increasing, with one
// mean event gap between the last event of a pass and the first of the next.
class ReplaySource : public Scene {
public:
    // Events kept from a recording at most (16 bytes each): the rest of a longer file is not looped.
    static constexpr size_t kDefaultEventBudget = size_t(4) << 20;

    // Loads the recording; false with `error` set when it cannot be read or holds no events.
    bool load(const std::string& path, std::string& error, size_t event_budget = kDefaultEventBudget);
    void generate(uint64_t t_begin, uint64_t t_end, std::vector<Event2D>& out) override;

    size_t loadedEvents() const { return events_.size(); }
    uint64_t loopPeriod() const { return period_; }
    bool truncated() const { return truncated_; }

private:
    std::vector<Event2D> events_;  // time-ordered, first at time 0
    uint64_t period_ = 1;
    bool truncated_ = false;
    bool started_ = false;
    uint64_t pass_start_ = 0;  // device time of the current pass's time 0
    size_t cursor_ = 0;
};

// The scene a configuration asks for. A replay that cannot be loaded gives nullptr and `error`.
std::unique_ptr<Scene> makeScene(const SimDeviceConfig& config, std::string& error);

}  // namespace zelvan::sim
