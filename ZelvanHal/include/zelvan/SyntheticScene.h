// A synthetic moving scene that produces plausible event streams for simulated cameras and demos.
#pragma once

#include <cstdint>
#include <vector>

#include "zelvan/Types.h"

namespace zelvan {

// Two bars sweep across the sensor (one horizontally, one vertically); their leading edges make ON
// events and their trailing edges OFF events, over a floor of random background activity.
// Events come out time-ordered at the requested average rate.
class SyntheticScene {
public:
    SyntheticScene(uint16_t width, uint16_t height, uint64_t events_per_second, uint64_t seed = 1);

    // Appends the events of the time interval [t_begin, t_end) in microseconds.
    void generate(uint64_t t_begin, uint64_t t_end, std::vector<Event2D>& out);

    void setEventRate(uint64_t events_per_second) { rate_ = events_per_second; }
    uint64_t eventRate() const { return rate_; }
    // Share of events (0..1) that are background noise rather than edges.
    void setNoiseShare(double share);
    // Share of edge events (0..1) that are ON events.
    void setOnShare(double share);

private:
    uint64_t nextRandom();

    uint16_t width_;
    uint16_t height_;
    uint64_t rate_;
    uint64_t rng_;
    uint32_t noise_per_1024_ = 100;
    uint32_t on_per_1024_ = 512;
    double carry_ = 0.0;  // fraction of an event left over from the last interval
};

}  // namespace zelvan
