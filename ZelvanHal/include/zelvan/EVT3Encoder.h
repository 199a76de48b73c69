// Encoder of events and triggers into the EVT 3.0 stream format, as sensors write it.
#pragma once

#include <cstdint>
#include <vector>

#include "zelvan/Types.h"

namespace zelvan {

// Writes EVT 3.0 words (little endian) for time-ordered events and triggers:
// - a TIME_HIGH for every 4096 us step the time advances, each followed by a TIME_LOW;
//   otherwise a TIME_LOW only when the low 12 bits change;
// - ADDR_Y whenever the row differs from the last written one, then ADDR_X;
// - runs of at least four events with the same time, row and polarity, ascending in x inside one
//   32-pixel block (base a multiple of 32, block inside the sensor width) as
//   VECT_BASE_X + VECT_12 + VECT_12 + VECT_8;
// - a trigger as EXT_TRIGGER after bringing the time up to date.
// Coordinates are 11-bit fields: events with x or y above 2047 cannot be written and are skipped.
class EVT3Encoder {
public:
    explicit EVT3Encoder(int width = 1280) : width_(width) {}

    // Appends the words for [first, last) to `out`; returns the number of events written.
    size_t encode(const Event2D* first, const Event2D* last, std::vector<uint8_t>& out);
    void encodeTrigger(const EventTriggerIn& trigger, std::vector<uint8_t>& out);
    // Appends events and triggers merged by time; at equal times a trigger goes before the events.
    size_t encode(const Event2D* first, const Event2D* last, const EventTriggerIn* tfirst,
                  const EventTriggerIn* tlast, std::vector<uint8_t>& out);
    // Brings the stream time up to `t` without writing an event.
    void advanceTime(uint64_t t, std::vector<uint8_t>& out);

    // Starts a new stream: the next word written is a TIME_HIGH.
    void reset();
    // Goes on with a stream that other words brought to time `t`: the next words continue from there
    // (a TIME_HIGH for every 4096 us step after t) and restate the row.
    void resume(uint64_t t);

private:
    static void putWord(std::vector<uint8_t>& out, uint32_t word) {
        out.push_back(static_cast<uint8_t>(word & 0xFF));
        out.push_back(static_cast<uint8_t>((word >> 8) & 0xFF));
    }

    int width_;
    bool started_ = false;
    uint64_t time_high_ = 0;  // time >> 12, not truncated
    uint32_t time_low_ = 0;
    int32_t row_ = -1;
};

}  // namespace zelvan
