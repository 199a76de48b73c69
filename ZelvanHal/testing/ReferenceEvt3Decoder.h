// A plain EVT 3.0 decoder written the way stream decoders usually are: one switch on each word's
// type. It has the same semantics as EVT3Decoder and serves as the reference that tests and the fuzzer
// compare it with, and as the baseline that the benchmarks measure it against.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "zelvan/Types.h"

namespace zelvan::testing {

class ReferenceEvt3Decoder {
public:
    std::function<void(Event2D*, Event2D*)> on_events;
    std::function<void(EventTriggerIn)> on_trigger;

    ReferenceEvt3Decoder() { buffer_.resize(kCapacity); }

    void setTimeBase(uint64_t t) {
        seen_ = true;
        loops_ = t >> 24;
        th_ = (t >> 12) & 0xFFF;
        tl_ = t & 0xFFF;
    }

    void decode(const uint8_t* first, const uint8_t* last) {
        if (first >= last) return;
        if (has_odd_) {
            has_odd_ = false;
            word(uint32_t(odd_) | (uint32_t(*first) << 8));
            ++first;
        }
        for (; first + 1 < last; first += 2) word(uint32_t(first[0]) | (uint32_t(first[1]) << 8));
        if (first < last) {
            has_odd_ = true;
            odd_ = *first;
        }
        flush();
    }

private:
    static constexpr size_t kCapacity = 4096;

    uint64_t now() const { return (loops_ << 24) + (uint64_t(th_) << 12) + tl_; }

    void emit(uint32_t x, uint32_t pol) {
        buffer_[count_++] =
            Event2D(static_cast<uint16_t>(x), static_cast<uint16_t>(y_), static_cast<uint8_t>(pol), now());
        if (count_ == kCapacity) flush();
    }

    void flush() {
        if (count_ > 0 && on_events) on_events(buffer_.data(), buffer_.data() + count_);
        count_ = 0;
    }

    void word(uint32_t w) {
        const uint32_t type = w >> 12;
        const uint32_t p = w & 0xFFF;
        if (!seen_) {
            if (type == 0x8) {
                seen_ = true;
                th_ = p;
                tl_ = 0;
                loops_ = 0;
            }
            return;
        }
        switch (type) {
            case 0x0:
                y_ = p & 0x7FF;
                y_known_ = true;
                break;
            case 0x2:
                if (y_known_) emit(p & 0x7FF, p >> 11);
                break;
            case 0x3:
                base_ = p & 0x7FF;
                vpol_ = p >> 11;
                base_known_ = true;
                break;
            case 0x4:
            case 0x5: {
                uint32_t mask = type == 0x4 ? p : (p & 0xFF);
                if (y_known_ && base_known_) {
                    while (mask != 0) {
                        const uint32_t i = static_cast<uint32_t>(__builtin_ctz(mask));
                        mask &= mask - 1;
                        if (base_ + i <= 0xFFFF) emit(base_ + i, vpol_);
                    }
                }
                base_ = std::min(base_ + (type == 0x4 ? 12u : 8u), 0x10000u);
                break;
            }
            case 0x6:
                tl_ = p;
                break;
            case 0x8:
                if (th_ >= p + 2048) ++loops_;
                if (p != th_) tl_ = 0;
                th_ = p;
                break;
            case 0xA:
                flush();
                if (on_trigger) {
                    on_trigger(EventTriggerIn(static_cast<int16_t>((p >> 8) & 0xF),
                                              static_cast<int16_t>(p & 1), now()));
                }
                break;
            default:
                break;
        }
    }

    std::vector<Event2D> buffer_;
    size_t count_ = 0;
    bool seen_ = false;
    uint64_t loops_ = 0;
    uint32_t th_ = 0, tl_ = 0, y_ = 0, base_ = 0, vpol_ = 0;
    bool y_known_ = false, base_known_ = false;
    bool has_odd_ = false;
    uint8_t odd_ = 0;
};

}  // namespace zelvan::testing
