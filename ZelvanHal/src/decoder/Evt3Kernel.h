// The fast inner loop of the EVT 3.0 decoder, built three times: once for any x86-64 (or other)
// processor, once for processors with AVX2 and BMI2 and once for processors with AVX-512 (F, BW, VL,
// DQ, CD). The decoder picks one at run time.
#pragma once

#include <cstdint>

#include "zelvan/Types.h"

namespace zelvan::detail {

// An EXT_TRIGGER word the fast loop passed: it comes after the events before `at`.
struct Evt3Trigger {
    Event2D* at;
    uint64_t ts;
    uint32_t word;
};

// Free event slots before `room_end` the fast loop needs to take a whole vector group: it stops before
// a group when fewer remain.
constexpr uint32_t kEvt3GroupRoom = 20;
// A group writes up to 32 slots, which must stay within the 16 the loops may pass room_end by.
static_assert(kEvt3GroupRoom + 16 >= 32);

// Room of the trigger list the fast loop fills.
constexpr uint32_t kEvt3TriggerRoom = 64;

// Decoder registers the fast loop reads and updates.
struct Evt3FastRegs {
    uint64_t row_head;  // row << 16, as it sits in the first eight bytes of an event
    uint64_t ts;        // current time in us
    uint32_t th_word;   // the TIME_HIGH word that repeats the current time (0x8000 | TIME_HIGH)
    uint32_t base_x;    // vector base
    uint32_t vpol;      // vector polarity
    bool base_known;
    // Triggers passed by the loops that list them (the AVX2 and AVX-512 ones), in stream order; the caller
    // hands them out and empties the list.
    Evt3Trigger* triggers;
    uint32_t trigger_count;
};

// Decodes words from `ptr` as long as they are ADDR_Y, ADDR_X, TIME_LOW, a repeated TIME_HIGH, a word
// that changes nothing, an EXT_TRIGGER the loop lists (see Evt3FastRegs), or a complete vector group
// (VECT_BASE_X, VECT_12, VECT_12, VECT_8) as sensors write them. Requires a known row. Stops before the first
// other word, at `end`, or when `out` passes `room_end` (at least 16 free event slots must remain). Returns
// where it stopped.
using Evt3FastLoop = const uint8_t* (*)(const uint8_t* ptr, const uint8_t* end, Event2D*& out,
                                        Event2D* room_end, Evt3FastRegs& regs);

const uint8_t* evt3FastLoopPortable(const uint8_t* ptr, const uint8_t* end, Event2D*& out, Event2D* room_end,
                                    Evt3FastRegs& regs);
#if defined(__x86_64__)
const uint8_t* evt3FastLoopAvx2(const uint8_t* ptr, const uint8_t* end, Event2D*& out, Event2D* room_end,
                                Evt3FastRegs& regs);
const uint8_t* evt3FastLoopAvx512(const uint8_t* ptr, const uint8_t* end, Event2D*& out, Event2D* room_end,
                                  Evt3FastRegs& regs);
#endif

// The best loop this processor runs, using at most the instructions of `most` (0: plain, 1: AVX2 +
// BMI2, 2: AVX-512).
Evt3FastLoop selectEvt3FastLoop(int most);

}  // namespace zelvan::detail
