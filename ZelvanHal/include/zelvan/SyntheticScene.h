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
    // One pass of a bar across the sensor, and the width of a bar, in pixels.
    static constexpr uint64_t kSweepPeriodUs = 2'000'000;
    static constexpr uint32_t kBarWidth = 24;

    // Where the bars are at time t. The vertical bar is bright over the columns
    // column_lead - kBarWidth .. column_lead - 1, the horizontal bar over the rows
    // row_lead - kBarWidth .. row_lead - 1, both modulo the sensor's side; the leads run from 0 to
    // side + kBarWidth once per sweep period. Leading edges make ON events, trailing edges OFF events.
    struct Bars {
        uint32_t column_lead = 0;
        uint32_t row_lead = 0;
    };
    static Bars barsAt(uint16_t width, uint16_t height, uint64_t t);

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
