#include "zelvan/EVT3Encoder.h"

namespace zelvan {

namespace {
constexpr uint32_t kMaxCoordinate = 2047;
constexpr size_t kMinVectorRun = 4;
}  // namespace

void EVT3Encoder::reset() {
    started_ = false;
    time_high_ = 0;
    time_low_ = 0;
    row_ = -1;
}

void EVT3Encoder::resume(uint64_t t) {
    started_ = true;
    time_high_ = t >> 12;
    time_low_ = static_cast<uint32_t>(t & 0xFFF);
    row_ = -1;
}

void EVT3Encoder::advanceTime(uint64_t t, std::vector<uint8_t>& out) {
    const uint64_t high = t >> 12;
    const uint32_t low = static_cast<uint32_t>(t & 0xFFF);
    if (!started_) {
        putWord(out, 0x8000 | static_cast<uint32_t>(high & 0xFFF));
        putWord(out, 0x6000 | low);
        started_ = true;
    } else if (high > time_high_) {
        for (uint64_t step = time_high_ + 1; step <= high; ++step) {
            putWord(out, 0x8000 | static_cast<uint32_t>(step & 0xFFF));
        }
        putWord(out, 0x6000 | low);
    } else if (high < time_high_) {
        // Time went back: the reader sees a small step back, not a wrap-around.
        putWord(out, 0x8000 | static_cast<uint32_t>(high & 0xFFF));
        putWord(out, 0x6000 | low);
    } else if (low != time_low_) {
        putWord(out, 0x6000 | low);
    }
    time_high_ = high;
    time_low_ = low;
}

size_t EVT3Encoder::encode(const Event2D* first, const Event2D* last, std::vector<uint8_t>& out) {
    size_t written = 0;
    const Event2D* e = first;
    while (e < last) {
        if (e->x > kMaxCoordinate || e->y > kMaxCoordinate) {
            ++e;
            continue;
        }
        advanceTime(e->timestamp, out);
        if (static_cast<int32_t>(e->y) != row_) {
            putWord(out, 0x0000 | e->y);
            row_ = e->y;
        }
        const uint32_t pol = e->polarity ? 1u : 0u;

        // Collect a run that fits one vector group.
        const uint32_t base = e->x & ~31u;
        const Event2D* run_end = e + 1;
        uint32_t mask = 1u << (e->x - base);
        if (base + 32 <= static_cast<uint32_t>(width_)) {
            while (run_end < last && run_end->timestamp == e->timestamp && run_end->y == e->y &&
                   (run_end->polarity ? 1u : 0u) == pol && run_end->x > run_end[-1].x &&
                   run_end->x < base + 32) {
                mask |= 1u << (run_end->x - base);
                ++run_end;
            }
        }
        const size_t run = static_cast<size_t>(run_end - e);
        if (run >= kMinVectorRun) {
            putWord(out, 0x3000 | (pol << 11) | base);
            putWord(out, 0x4000 | (mask & 0xFFF));
            putWord(out, 0x4000 | ((mask >> 12) & 0xFFF));
            putWord(out, 0x5000 | ((mask >> 24) & 0xFF));
            written += run;
            e = run_end;
        } else {
            putWord(out, 0x2000 | (pol << 11) | e->x);
            ++written;
            ++e;
        }
    }
    return written;
}

void EVT3Encoder::encodeTrigger(const EventTriggerIn& trigger, std::vector<uint8_t>& out) {
    advanceTime(trigger.timestamp, out);
    putWord(out, 0xA000 | ((static_cast<uint32_t>(trigger.id) & 0xF) << 8) | (trigger.polarity ? 1u : 0u));
}

size_t EVT3Encoder::encode(const Event2D* first, const Event2D* last, const EventTriggerIn* tfirst,
                           const EventTriggerIn* tlast, std::vector<uint8_t>& out) {
    size_t written = 0;
    while (first < last || tfirst < tlast) {
        if (tfirst < tlast && (first == last || tfirst->timestamp <= first->timestamp)) {
            encodeTrigger(*tfirst++, out);
            continue;
        }
        // Events up to the next trigger.
        const Event2D* stop = first;
        while (stop < last && (tfirst == tlast || stop->timestamp < tfirst->timestamp)) ++stop;
        written += encode(first, stop, out);
        first = stop;
    }
    return written;
}

}  // namespace zelvan
