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

inline uint32_t select(uint32_t mask, uint32_t if_set, uint32_t if_clear) {
    return (if_set & mask) | (if_clear & ~mask);
}

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

    uint64_t wraps = state_.wraps;
    uint32_t th = state_.time_high;
    uint32_t tl = state_.time_low;
    uint32_t row = state_.row;
    uint32_t row_known = state_.row_known;
    uint32_t base_x = state_.base_x;
    uint32_t base_known = state_.base_known;
    uint32_t vpol = state_.vector_polarity;
    uint64_t time_base = (wraps << 24) + (uint64_t(th) << 12);

    Event2D* const begin = span_.get();
    Event2D* const limit = begin + kSpanCapacity;
    Event2D* out = begin;

    for (; i < words; ++i) {
        const uint32_t w = loadWord(bytes + 2 * i);
        const uint32_t type = w >> 12;
        const uint32_t p = w & 0xFFF;
        const uint64_t ts = time_base + tl;

        put(out, uint64_t(p & 0x7FF) | (uint64_t(row) << 16) | (uint64_t(p >> 11) << 32), ts);
        out += uint32_t(type == kAddrX) & row_known;

        if (type - kVect12 < 2u) [[unlikely]] {
            const uint32_t is12 = type == kVect12;
            uint32_t mask = is12 ? p : (p & 0xFF);
            mask &= 0u - (row_known & base_known);
            if (base_x > 0xFFFFu - 11u) [[unlikely]] {
                // Pixels beyond x = 65535 cannot be represented; drop them.
                mask &= base_x > 0xFFFFu ? 0u : ((1u << (0x10000u - base_x)) - 1u);
            }
            const uint64_t head = uint64_t(base_x) | (uint64_t(row) << 16) | (uint64_t(vpol) << 32);
            for (uint32_t k = 0; k < 12; ++k) {
                put(out, head + k, ts);
                out += (mask >> k) & 1u;
            }
            base_x = std::min(base_x + (is12 ? 12u : 8u), 0x10000u);
        } else if (type == kExtTrigger) [[unlikely]] {
            deliver(out);
            out = begin;
            ++total_triggers_;
            last_timestamp_.store(ts, std::memory_order_relaxed);
            if (trigger_cb_) {
                trigger_cb_(EventTriggerIn(static_cast<int16_t>((p >> 8) & 0xF), static_cast<int16_t>(p & 1), ts));
            }
        }

        const uint32_t is_row = type == kAddrY;
        row = select(0u - is_row, p & 0x7FF, row);
        row_known |= is_row;

        tl = select(0u - uint32_t(type == kTimeLow), p, tl);

        const uint32_t is_base = type == kVectBaseX;
        base_x = select(0u - is_base, p & 0x7FF, base_x);
        vpol = select(0u - is_base, p >> 11, vpol);
        base_known |= is_base;

        const uint32_t is_th = type == kTimeHigh;
        wraps += is_th & uint32_t(th >= p + 2048);
        tl &= ~(0u - (is_th & uint32_t(p != th)));
        th = select(0u - is_th, p, th);
        time_base = (wraps << 24) + (uint64_t(th) << 12);

        if (out >= limit) [[unlikely]] {
            deliver(out);
            out = begin;
        }
    }

    state_.wraps = wraps;
    state_.time_high = th;
    state_.time_low = tl;
    state_.row = row;
    state_.row_known = row_known != 0;
    state_.base_x = base_x;
    state_.base_known = base_known != 0;
    state_.vector_polarity = vpol;
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
