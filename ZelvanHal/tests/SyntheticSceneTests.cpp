#include <gtest/gtest.h>

#include "zelvan/SyntheticScene.h"

namespace zelvan {
namespace {

TEST(SyntheticScene, RateOrderAndBounds) {
    SyntheticScene scene(640, 480, 300'000);
    std::vector<Event2D> events;
    for (int slice = 0; slice < 300; ++slice) scene.generate(slice * 3'333, (slice + 1) * 3'333, events);
    // 300 kev/s over 300 slices of 3333 us = 999900 us, fractions carried between slices.
    EXPECT_NEAR(double(events.size()), 299'970.0, 1.0);
    uint64_t on = 0;
    bool in_bounds = true;
    bool ordered = true;
    for (size_t i = 0; i < events.size(); ++i) {
        in_bounds = in_bounds && events[i].x < 640 && events[i].y < 480 && events[i].polarity <= 1;
        ordered = ordered && (i == 0 || events[i - 1].timestamp <= events[i].timestamp);
        on += events[i].polarity;
    }
    EXPECT_TRUE(in_bounds);
    EXPECT_TRUE(ordered);
    EXPECT_NEAR(double(on) / double(events.size()), 0.5, 0.02);

    // More ON share, more ON events.
    SyntheticScene biased(640, 480, 1'000'000);
    biased.setOnShare(0.9);
    biased.setNoiseShare(0.0);
    events.clear();
    biased.generate(0, 100'000, events);
    on = 0;
    for (const auto& e : events) on += e.polarity;
    EXPECT_NEAR(double(on) / double(events.size()), 0.9, 0.02);
}

}  // namespace
}  // namespace zelvan
