// EVT 3.0 words and stream time as the raw file reader, its index and its cuts follow them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "zelvan/EVT3Decoder.h"

namespace zelvan::detail {

inline constexpr uint64_t kNoLimit = std::numeric_limits<uint64_t>::max();

// The stream time of a decoder state (0 while no TIME_HIGH word has been seen).
inline uint64_t timeOf(const EVT3Decoder::State& s) {
    return s.time_known ? (s.wraps << 24) + (uint64_t(s.time_high) << 12) + s.time_low : 0;
}

inline uint64_t saturatingAdd(uint64_t a, uint64_t b) { return a > kNoLimit - b ? kNoLimit : a + b; }

// The little-endian 16-bit word at `p`.
inline uint32_t loadWord(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8); }

// Follows only the stream time through `words` words, with the decoder's rules, and returns the
// index of the first word after which the time is at least `target` (`words` when none is).
inline size_t scanToTime(const uint8_t* p, size_t words, EVT3Decoder::State& s, uint64_t target) {
    for (size_t i = 0; i < words; ++i) {
        const uint32_t w = loadWord(p + 2 * i);
        const uint32_t type = w >> 12;
        const uint32_t v = w & 0xFFF;
        if (type == 0x8) {
            if (!s.time_known) {
                s = EVT3Decoder::State{};
                s.time_known = true;
            } else {
                if (s.time_high >= v + 2048) ++s.wraps;
                if (v != s.time_high) s.time_low = 0;
            }
            s.time_high = v;
        } else if (type == 0x6 && s.time_known) {
            s.time_low = v;
        } else {
            continue;
        }
        if (timeOf(s) >= target) return i;
    }
    return words;
}

}  // namespace zelvan::detail
