#include "zelvan/EVT3Decoder.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

namespace zelvan {

namespace {

static_assert(std::endian::native == std::endian::little, "the event packing below assumes little endian");
static_assert(offsetof(Event2D, x) == 0 && offsetof(Event2D, y) == 2 && offsetof(Event2D, polarity) == 4 &&
                  offsetof(Event2D, timestamp) == 8,
              "the event packing below assumes this layout");

constexpr uint32_t kAddrY = 0x0;
constexpr uint32_t kAddrX = 0x2;
constexpr uint32_t kVectBaseX = 0x3;
constexpr uint32_t kVect12 = 0x4;
constexpr uint32_t kTimeLow = 0x6;
constexpr uint32_t kTimeHigh = 0x8;
constexpr uint32_t kExtTrigger = 0xA;

// Extra slots behind the span: one candidate store plus one vector word's worth of stores may land
// past the capacity before the span is handed out.
constexpr size_t kSpanSlack = 16;

inline uint32_t loadWord(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8); }

// Writes one event given as its first eight bytes (x | y << 16 | polarity << 32) and its timestamp.
inline void put(Event2D* dst, uint64_t head, uint64_t timestamp) {
    const uint64_t packed[2] = {head, timestamp};
    std::memcpy(static_cast<void*>(dst), packed, sizeof packed);
}

// What a word type changes, as masks: all ones where the type owns the field. Loading the masks from
// a table keeps the compiler from turning the updates back into (mispredicted) branches.
struct WordAction {
    uint64_t row;       // ADDR_Y: the row
    uint64_t vector;    // VECT_BASE_X: vector base and polarity
    uint64_t steps;     // TIME_HIGH: the time in 4096 us steps
    uint32_t time_low;  // TIME_LOW
    uint32_t time_high; // TIME_HIGH (32-bit copy, for clearing TIME_LOW)
    uint32_t is_x;      // ADDR_X: 1
    uint32_t known;     // bit 0: sets the row, bit 1: sets the vector base
};

constexpr WordAction makeAction(uint32_t type) {
    WordAction a{};
    if (type == kAddrY) a.row = ~uint64_t(0), a.known = 1;
    if (type == kVectBaseX) a.vector = ~uint64_t(0), a.known = 2;
    if (type == kTimeHigh) a.steps = ~uint64_t(0), a.time_high = ~0u;
    if (type == kTimeLow) a.time_low = ~0u;
    if (type == kAddrX) a.is_x = 1;
    return a;
}

alignas(64) constexpr WordAction kActions[16] = {
    makeAction(0), makeAction(1), makeAction(2),  makeAction(3),  makeAction(4),  makeAction(5),
    makeAction(6), makeAction(7), makeAction(8),  makeAction(9),  makeAction(10), makeAction(11),
    makeAction(12), makeAction(13), makeAction(14), makeAction(15)};

}  // namespace

EVT3Decoder::EVT3Decoder(int width, int height)
    : Decoder(width, height),
      span_(new Event2D[kSpanCapacity + kSpanSlack]),
      window_start_(std::chrono::steady_clock::now()) {}

EVT3Decoder::~EVT3Decoder() = default;

void EVT3Decoder::deliver(Event2D* end) {
    Event2D* const begin = span_.get();
    if (end == begin) return;
    total_events_ += static_cast<uint64_t>(end - begin);
    if (events_cb_) events_cb_(begin, end);
}

// The hot loop. Word types arrive in no predictable order, so the common words (ADDR_Y, ADDR_X,
// TIME_LOW, TIME_HIGH, VECT_BASE_X) are applied without branches: every word writes a candidate event
// that only counts when the word is an ADDR_X, and every state field is updated through a mask that is
// all ones only for the word type that owns it. Vector words and triggers take a branch.
void EVT3Decoder::decodeWords(const uint8_t* bytes, size_t words) {
    size_t i = 0;
    if (!state_.time_known) {
        for (; i < words; ++i) {
            const uint32_t w = loadWord(bytes + 2 * i);
            if ((w >> 12) == kTimeHigh) {
                state_ = State{};
                state_.time_known = true;
                state_.time_high = w & 0xFFF;
                ++i;
                break;
            }
        }
        if (!state_.time_known) return;
    }

    // Loop state, kept small enough to stay in registers:
    // steps     time in units of 4096 us (wraps * 4096 + TIME_HIGH)
    // row_head  the row, placed where it sits in the first eight bytes of an event
    // vec_head  vector base x (bits 0..31) and vector polarity (bit 32)
    // known     bit 0: a row was seen, bit 1: a vector base was seen
    uint64_t steps = (state_.wraps << 12) | state_.time_high;
    uint32_t tl = state_.time_low;
    uint64_t row_head = uint64_t(state_.row) << 16;
    uint64_t vec_head = uint64_t(state_.base_x) | (uint64_t(state_.vector_polarity) << 32);
    uint32_t known = uint32_t(state_.row_known) | (uint32_t(state_.base_known) << 1);

    Event2D* out = span_.get();
    Event2D* const limit = out + kSpanCapacity;
    const uint8_t* ptr = bytes + 2 * i;
    const uint8_t* const end = bytes + 2 * words;

    for (; ptr != end; ptr += 2) {
        const uint32_t w = loadWord(ptr);
        const uint32_t type = w >> 12;
        const uint32_t p = w & 0xFFF;
        const uint64_t ts = (steps << 12) + tl;

        const WordAction& act = kActions[type];

        // Candidate CD event; it only counts for an ADDR_X word once a row is known.
        put(out, uint64_t(p & 0x7FF) | row_head | (uint64_t(p >> 11) << 32), ts);
        out += act.is_x & known;

        if (type - kVect12 < 2u) [[unlikely]] {
            const uint32_t is12 = type == kVect12;
            uint32_t mask = is12 ? p : (p & 0xFF);
            mask &= 0u - uint32_t(known == 3u);
            uint32_t base_x = static_cast<uint32_t>(vec_head);
            if (base_x > 0xFFFFu - 11u) [[unlikely]] {
                // Pixels beyond x = 65535 cannot be represented; drop them and stop the base there.
                mask &= base_x > 0xFFFFu ? 0u : ((1u << (0x10000u - base_x)) - 1u);
                const uint32_t next = std::min(base_x + (is12 ? 12u : 8u), 0x10000u);
                vec_head = (vec_head & ~uint64_t(0xFFFFFFFF)) | next;
            } else {
                vec_head += is12 ? 12u : 8u;
            }
            const uint64_t head = row_head + (uint64_t(base_x) | (vec_head & (uint64_t(1) << 32)));
            for (uint32_t k = 0; k < 12; ++k) {
                put(out, head + k, ts);
                out += (mask >> k) & 1u;
            }
        } else if (type == kExtTrigger) [[unlikely]] {
            deliver(out);
            out = span_.get();
            ++total_triggers_;
            last_timestamp_.store(ts, std::memory_order_relaxed);
            if (trigger_cb_) {
                trigger_cb_(EventTriggerIn(static_cast<int16_t>((p >> 8) & 0xF), static_cast<int16_t>(p & 1), ts));
            }
        }

        row_head = (row_head & ~act.row) | ((uint64_t(p & 0x7FF) << 16) & act.row);
        vec_head = (vec_head & ~act.vector) | ((uint64_t(p & 0x7FF) | (uint64_t(p >> 11) << 32)) & act.vector);
        known |= act.known;
        tl = (tl & ~act.time_low) | (p & act.time_low);

        // TIME_HIGH: a step back of at least half the 12-bit range is a wrap-around; a new value
        // clears TIME_LOW.
        const uint32_t th = static_cast<uint32_t>(steps & 0xFFF);
        const uint64_t next_steps = (steps & ~uint64_t(0xFFF)) + (uint64_t(th >= p + 2048) << 12) + p;
        steps = (steps & ~act.steps) | (next_steps & act.steps);
        tl &= ~(act.time_high & (0u - uint32_t(p != th)));

        if (out >= limit) [[unlikely]] {
            deliver(out);
            out = span_.get();
        }
    }

    state_.wraps = steps >> 12;
    state_.time_high = static_cast<uint32_t>(steps & 0xFFF);
    state_.time_low = tl;
    state_.row = static_cast<uint32_t>(row_head >> 16);
    state_.row_known = (known & 1u) != 0;
    state_.base_x = static_cast<uint32_t>(vec_head);
    state_.base_known = (known & 2u) != 0;
    state_.vector_polarity = static_cast<uint32_t>(vec_head >> 32) & 1u;
    publishTimestamp();
    deliver(out);
}

void EVT3Decoder::decode(const uint8_t* first, const uint8_t* last) {
    if (first == nullptr || last <= first) return;
    const size_t length = static_cast<size_t>(last - first);
    const uint64_t events_before = total_events_;
    if (has_pending_byte_) {
        const uint8_t word[2] = {pending_byte_, *first};
        has_pending_byte_ = false;
        ++first;
        decodeWords(word, 1);
    }
    const size_t remaining = static_cast<size_t>(last - first);
    decodeWords(first, remaining / 2);
    if (remaining % 2 != 0) {
        has_pending_byte_ = true;
        pending_byte_ = last[-1];
    }
    updateRates(length, total_events_ - events_before);
}

void EVT3Decoder::publishTimestamp() {
    const uint64_t t = state_.time_known
                           ? (state_.wraps << 24) + (uint64_t(state_.time_high) << 12) + state_.time_low
                           : 0;
    last_timestamp_.store(t, std::memory_order_relaxed);
}

uint64_t EVT3Decoder::getLastTimestamp() const { return last_timestamp_.load(std::memory_order_relaxed); }

void EVT3Decoder::rollWindow(std::chrono::steady_clock::time_point now) {
    const auto elapsed = now - window_start_;
    if (elapsed < std::chrono::seconds(1)) return;
    const auto ns = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
    data_rate_ = static_cast<uint64_t>(static_cast<double>(window_bytes_) * 1e9 / static_cast<double>(ns));
    event_rate_ = static_cast<uint64_t>(static_cast<double>(window_events_) * 1e9 / static_cast<double>(ns));
    window_bytes_ = 0;
    window_events_ = 0;
    window_start_ = now;
}

void EVT3Decoder::updateRates(size_t bytes, size_t events) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(rate_mutex_);
    rollWindow(now);
    window_bytes_ += bytes;
    window_events_ += events;
}

uint64_t EVT3Decoder::getDataRate() {
    std::lock_guard<std::mutex> lock(rate_mutex_);
    rollWindow(std::chrono::steady_clock::now());
    return data_rate_;
}

uint64_t EVT3Decoder::getEventRate() {
    std::lock_guard<std::mutex> lock(rate_mutex_);
    rollWindow(std::chrono::steady_clock::now());
    return event_rate_;
}

void EVT3Decoder::resetTimeBase() {
    state_ = State{};
    pre_state_ = State{};
    has_pending_byte_ = false;
    pre_has_pending_byte_ = false;
    total_events_ = 0;
    total_triggers_ = 0;
    publishTimestamp();
}

void EVT3Decoder::setTimeBase(uint64_t timestamp) {
    State s;
    s.time_known = true;
    s.wraps = timestamp >> 24;
    s.time_high = static_cast<uint32_t>((timestamp >> 12) & 0xFFF);
    s.time_low = static_cast<uint32_t>(timestamp & 0xFFF);
    state_ = s;
    pre_state_ = s;
    has_pending_byte_ = false;
    pre_has_pending_byte_ = false;
    publishTimestamp();
}

void EVT3Decoder::setState(const State& state) {
    state_ = state;
    state_.time_high &= 0xFFF;
    state_.time_low &= 0xFFF;
    state_.row &= 0x7FF;
    state_.base_x = std::min(state_.base_x, 0x10000u);
    state_.vector_polarity &= 1;
    has_pending_byte_ = false;
    publishTimestamp();
}

void EVT3Decoder::preprocessEventData(const uint8_t* first, const uint8_t* last,
                                      std::vector<EventTriggerIn>& triggers) {
    if (first == nullptr || last <= first) return;
    State& s = pre_state_;
    auto apply = [&](uint32_t w) {
        const uint32_t type = w >> 12;
        const uint32_t p = w & 0xFFF;
        if (type == kTimeHigh) {
            if (!s.time_known) {
                s = State{};
                s.time_known = true;
            } else {
                if (s.time_high >= p + 2048) ++s.wraps;
                if (p != s.time_high) s.time_low = 0;
            }
            s.time_high = p;
        } else if (!s.time_known) {
            return;
        } else if (type == kTimeLow) {
            s.time_low = p;
        } else if (type == kExtTrigger) {
            const uint64_t ts = (s.wraps << 24) + (uint64_t(s.time_high) << 12) + s.time_low;
            triggers.emplace_back(static_cast<int16_t>((p >> 8) & 0xF), static_cast<int16_t>(p & 1), ts);
        }
    };
    if (pre_has_pending_byte_) {
        pre_has_pending_byte_ = false;
        apply(uint32_t(pre_pending_byte_) | (uint32_t(*first) << 8));
        ++first;
    }
    const size_t n = static_cast<size_t>(last - first);
    for (size_t i = 0; i + 1 < n; i += 2) apply(loadWord(first + i));
    if (n % 2 != 0) {
        pre_has_pending_byte_ = true;
        pre_pending_byte_ = last[-1];
    }
}

}  // namespace zelvan
