#include "zelvan/EVT3Decoder.h"

#include <stdexcept>

#include "Evt3Kernel.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
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
constexpr uint32_t kVect8 = 0x5;
constexpr uint32_t kTimeLow = 0x6;
constexpr uint32_t kTimeHigh = 0x8;
constexpr uint32_t kExtTrigger = 0xA;

// Extra slots behind the span: one candidate store plus one vector word's worth of stores may land
// past the capacity before the span is handed out.
constexpr size_t kSpanSlack = 16;
// An empty span has room for a vector group: a span is handed out before it has none (decodeWords).
static_assert(EVT3Decoder::kSpanCapacity - 16 > detail::kEvt3GroupRoom);

inline uint32_t loadWord(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8); }

// Writes one event given as its first eight bytes (x | y << 16 | polarity << 32) and its timestamp.
inline void put(Event2D* dst, uint64_t head, uint64_t timestamp) {
    const uint64_t packed[2] = {head, timestamp};
    std::memcpy(static_cast<void*>(dst), packed, sizeof packed);
}

}  // namespace

EVT3Decoder::EVT3Decoder(int width, int height, bool allow_simd)
    : EVT3Decoder(width, height, allow_simd ? Instructions::Best : Instructions::Plain) {}

EVT3Decoder::EVT3Decoder(int width, int height, Instructions instructions)
    : Decoder(width, height),
      span_(new Event2D[kSpanCapacity + kSpanSlack]),
      fast_loop_(detail::selectEvt3FastLoop(static_cast<int>(instructions))),
      window_start_(std::chrono::steady_clock::now()) {}

EVT3Decoder::~EVT3Decoder() = default;

EVT3Decoder::Instructions EVT3Decoder::instructions() const {
#if defined(__x86_64__)
    if (fast_loop_ == detail::evt3FastLoopAvx512) return Instructions::Avx512;
    if (fast_loop_ == detail::evt3FastLoopAvx2) return Instructions::Avx2;
#endif
    return Instructions::Plain;
}

void EVT3Decoder::deliver(Event2D* end) { deliver(span_.get(), end); }

void EVT3Decoder::deliver(Event2D* begin, Event2D* end) {
    if (end == begin) return;
    const auto n = static_cast<size_t>(end - begin);
    total_events_ += n;
    if (arrays_ != nullptr) {
        const EventArrays& a = *arrays_;
        const size_t at = arrays_count_;
        for (size_t i = 0; i < n; ++i) {
            a.x[at + i] = begin[i].x;
            a.y[at + i] = begin[i].y;
            a.polarity[at + i] = begin[i].polarity;
            a.timestamp[at + i] = begin[i].timestamp;
        }
        arrays_count_ += n;
        return;
    }
    if (events_cb_) events_cb_(begin, end);
}

// Most words of a real stream are ADDR_Y, ADDR_X, TIME_LOW and repeated TIME_HIGH, in no predictable
// order. A fast loop (see Evt3Kernel.h) handles runs of those without branching on the word type;
// every other word (vectors, triggers, a TIME_HIGH with a new value, anything before the first row)
// goes through the general step below, one word at a time.
size_t EVT3Decoder::decodeWords(const uint8_t* bytes, size_t words, size_t limit) {
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
        if (!state_.time_known) return words;
    }

    detail::Evt3FastRegs r;
    r.ts = (state_.wraps << 24) | (uint64_t(state_.time_high) << 12) | state_.time_low;
    r.row_head = uint64_t(state_.row) << 16;
    r.th_word = 0x8000u | state_.time_high;
    r.base_x = state_.base_x;
    r.vpol = state_.vector_polarity;
    r.base_known = state_.base_known;
    detail::Evt3Trigger triggers[detail::kEvt3TriggerRoom];
    r.triggers = triggers;
    r.trigger_count = 0;
    bool row_known = state_.row_known;
    uint32_t& base_x = r.base_x;
    uint32_t& vpol = r.vpol;
    bool& base_known = r.base_known;

    Event2D* const begin = span_.get();
    Event2D* const span_end = begin + (kSpanCapacity - 16);
    Event2D* out = begin;
    const uint8_t* ptr = bytes + 2 * i;
    const uint8_t* const end = bytes + 2 * words;
    size_t delivered = 0;  // events handed out by this call

    for (;;) {
        // Events this call may still give, counting those waiting in the span.
        const size_t left = limit - delivered - static_cast<size_t>(out - begin);
        if (row_known && left >= 16 && out <= span_end) {
            // The loop may pass its room end by up to 16 events.
            Event2D* const room_end = left - 16 < size_t(span_end - out) ? out + (left - 16) : span_end;
            ptr = fast_loop_(ptr, end, out, room_end, r);
            if (r.trigger_count != 0) {
                // The triggers the loop passed, each after the events before it.
                Event2D* from = begin;
                for (uint32_t k = 0; k < r.trigger_count; ++k) {
                    const detail::Evt3Trigger& t = triggers[k];
                    deliver(from, t.at);
                    from = t.at;
                    ++total_triggers_;
                    last_timestamp_.store(t.ts, std::memory_order_relaxed);
                    if (trigger_cb_) {
                        trigger_cb_(EventTriggerIn(static_cast<int16_t>((t.word >> 8) & 0xF),
                                                   static_cast<int16_t>(t.word & 1), t.ts));
                    }
                }
                r.trigger_count = 0;
                deliver(from, out);
                delivered += static_cast<size_t>(out - begin);
                out = begin;
            }
        }
        // A span too full for the fast loop to take a vector group is handed out now: the groups would
        // otherwise go word by word through the general path until it is full.
        if (out + detail::kEvt3GroupRoom > span_end) {
            delivered += static_cast<size_t>(out - begin);
            deliver(out);
            out = begin;
            continue;
        }
        if (ptr == end) break;

        const uint32_t w = loadWord(ptr);
        ptr += 2;
        const size_t room = limit - delivered - static_cast<size_t>(out - begin);
        bool full = false;
        const uint32_t p = w & 0xFFF;
        switch (w >> 12) {
            case kAddrY:
                r.row_head = uint64_t(p & 0x7FF) << 16;
                row_known = true;
                break;
            case kAddrX:
                if (row_known && room == 0) {
                    full = true;
                } else if (row_known) {
                    put(out, uint64_t(p & 0x7FF) | r.row_head | (uint64_t(p >> 11) << 32), r.ts);
                    ++out;
                }
                break;
            case kVectBaseX:
                base_x = p & 0x7FF;
                vpol = p >> 11;
                base_known = true;
                break;
            case kVect12:
            case kVect8: {
                const bool is12 = (w >> 12) == kVect12;
                uint32_t mask = (row_known && base_known) ? (is12 ? p : (p & 0xFF)) : 0u;
                // Pixels beyond x = 65535 cannot be represented: drop them and stop the base there.
                if (base_x > 0xFFFFu - 11u)
                    mask &= base_x > 0xFFFFu ? 0u : ((1u << (0x10000u - base_x)) - 1u);
                if (static_cast<size_t>(__builtin_popcount(mask)) > room) {
                    full = true;
                    break;
                }
                const uint64_t head = uint64_t(base_x) | r.row_head | (uint64_t(vpol) << 32);
                for (uint32_t k = 0; k < 12; ++k) {
                    put(out, head + k, r.ts);
                    out += (mask >> k) & 1u;
                }
                base_x = std::min(base_x + (is12 ? 12u : 8u), 0x10000u);
                break;
            }
            case kTimeLow:
                r.ts = (r.ts & ~uint64_t(0xFFF)) | p;
                break;
            case kTimeHigh: {
                // A step back of at least half the 12-bit range is a wrap-around; a new value
                // clears TIME_LOW.
                const uint32_t th = static_cast<uint32_t>((r.ts >> 12) & 0xFFF);
                const uint64_t wraps = (r.ts >> 24) + (th >= p + 2048 ? 1 : 0);
                const uint64_t low = p != th ? 0 : (r.ts & 0xFFF);
                r.ts = (wraps << 24) | (uint64_t(p) << 12) | low;
                r.th_word = 0x8000u | p;
                break;
            }
            case kExtTrigger:
                delivered += static_cast<size_t>(out - begin);
                deliver(out);
                out = begin;
                ++total_triggers_;
                last_timestamp_.store(r.ts, std::memory_order_relaxed);
                if (trigger_cb_) {
                    trigger_cb_(EventTriggerIn(static_cast<int16_t>((p >> 8) & 0xF),
                                               static_cast<int16_t>(p & 1), r.ts));
                }
                break;
            default:
                break;  // reserved, OTHERS and CONTINUED words change nothing
        }
        if (full) {
            ptr -= 2;  // the word is left for the next call
            break;
        }
    }

    state_.wraps = r.ts >> 24;
    state_.time_high = static_cast<uint32_t>((r.ts >> 12) & 0xFFF);
    state_.time_low = static_cast<uint32_t>(r.ts & 0xFFF);
    state_.row = static_cast<uint32_t>(r.row_head >> 16);
    state_.row_known = row_known;
    state_.base_x = base_x;
    state_.base_known = base_known;
    state_.vector_polarity = vpol;
    publishTimestamp();
    deliver(out);
    return static_cast<size_t>(ptr - bytes) / 2;
}

void EVT3Decoder::decode(const uint8_t* first, const uint8_t* last) {
    if (first == nullptr || last <= first) return;
    const size_t length = static_cast<size_t>(last - first);
    const uint64_t events_before = total_events_;
    if (has_pending_byte_) {
        const uint8_t word[2] = {pending_byte_, *first};
        has_pending_byte_ = false;
        ++first;
        (void)decodeWords(word, 1, SIZE_MAX);
    }
    const size_t remaining = static_cast<size_t>(last - first);
    (void)decodeWords(first, remaining / 2, SIZE_MAX);
    if (remaining % 2 != 0) {
        has_pending_byte_ = true;
        pending_byte_ = last[-1];
    }
    updateRates(length, total_events_ - events_before);
}

EVT3Decoder::ArraysResult EVT3Decoder::decodeInto(const uint8_t* first, const uint8_t* last,
                                                  const EventArrays& out) {
    ArraysResult result;
    if (first == nullptr || last <= first) return result;
    if (out.capacity < kMinArraysCapacity)
        throw std::invalid_argument("decodeInto needs room for at least 12 events (one vector word)");
    arrays_ = &out;
    arrays_count_ = 0;
    // A trigger callback that throws leaves no pointer to the caller's arrays behind.
    struct ForgetArrays {
        const EventArrays*& arrays;
        ~ForgetArrays() { arrays = nullptr; }
    } forget{arrays_};
    const uint8_t* p = first;
    bool stopped = false;
    if (has_pending_byte_) {
        const uint8_t word[2] = {pending_byte_, *p};
        if (decodeWords(word, 1, out.capacity) == 1) {
            has_pending_byte_ = false;
            ++p;
        } else {
            stopped = true;
        }
    }
    if (!stopped) {
        const size_t words = static_cast<size_t>(last - p) / 2;
        const size_t taken = decodeWords(p, words, out.capacity - arrays_count_);
        p += 2 * taken;
        if (taken == words && p + 1 == last) {
            has_pending_byte_ = true;
            pending_byte_ = *p;
            ++p;
        }
    }
    arrays_ = nullptr;
    result.events = arrays_count_;
    result.bytes = static_cast<size_t>(p - first);
    updateRates(result.bytes, result.events);
    return result;
}

void EVT3Decoder::publishTimestamp() {
    const uint64_t t =
        state_.time_known ? (state_.wraps << 24) + (uint64_t(state_.time_high) << 12) + state_.time_low : 0;
    last_timestamp_.store(t, std::memory_order_relaxed);
    time_known_.store(state_.time_known, std::memory_order_release);
}

std::optional<uint64_t> EVT3Decoder::firstTimeHighTime(const uint8_t* first, const uint8_t* last) {
    for (const uint8_t* p = first; p + 1 < last; p += 2) {
        const uint32_t word = uint32_t(p[0]) | (uint32_t(p[1]) << 8);
        if ((word >> 12) == 0x8) return uint64_t(word & 0xFFF) << 12;
    }
    return std::nullopt;
}

uint64_t EVT3Decoder::getLastTimestamp() const { return last_timestamp_.load(std::memory_order_relaxed); }

void EVT3Decoder::rollWindow(std::chrono::steady_clock::time_point now) {
    const auto elapsed = now - window_start_;
    // A caller that asks once a second does so a little less than a second after the first data of
    // a stream: such a window still counts as a second's worth.
    if (elapsed < std::chrono::milliseconds(900)) return;
    const auto ns =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
    data_rate_ = static_cast<uint64_t>(static_cast<double>(window_bytes_) * 1e9 / static_cast<double>(ns));
    event_rate_ = static_cast<uint64_t>(static_cast<double>(window_events_) * 1e9 / static_cast<double>(ns));
    window_bytes_ = 0;
    window_events_ = 0;
    window_start_ = now;
}

void EVT3Decoder::updateRates(size_t bytes, size_t events) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(rate_mutex_);
    // After a pause the window starts with the data, so the first second of a stream is measured
    // as a full second of data.
    if (window_bytes_ == 0) window_start_ = now;
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
