#include "zelvan/SyntheticScene.h"

#include <algorithm>

namespace zelvan {

SyntheticScene::Bars SyntheticScene::barsAt(uint16_t width, uint16_t height, uint64_t t) {
    const uint64_t phase = t % kSweepPeriodUs;
    const uint64_t w = std::max<uint16_t>(width, 1);
    const uint64_t h = std::max<uint16_t>(height, 1);
    Bars bars;
    bars.column_lead = static_cast<uint32_t>(phase * (w + kBarWidth) / kSweepPeriodUs);
    bars.row_lead = static_cast<uint32_t>(phase * (h + kBarWidth) / kSweepPeriodUs);
    return bars;
}

SyntheticScene::SyntheticScene(uint16_t width, uint16_t height, uint64_t events_per_second, uint64_t seed)
    : width_(std::max<uint16_t>(width, 1)),
      height_(std::max<uint16_t>(height, 1)),
      rate_(events_per_second),
      rng_(seed ? seed : 0x9E3779B97F4A7C15ull) {}

void SyntheticScene::setNoiseShare(double share) {
    noise_per_1024_ = static_cast<uint32_t>(std::clamp(share, 0.0, 1.0) * 1024.0);
}

void SyntheticScene::setOnShare(double share) {
    on_per_1024_ = static_cast<uint32_t>(std::clamp(share, 0.0, 1.0) * 1024.0);
}

uint64_t SyntheticScene::nextRandom() {
    // xorshift64*
    rng_ ^= rng_ >> 12;
    rng_ ^= rng_ << 25;
    rng_ ^= rng_ >> 27;
    return rng_ * 0x2545F4914F6CDD1Dull;
}

void SyntheticScene::generate(uint64_t t_begin, uint64_t t_end, std::vector<Event2D>& out) {
    if (t_end <= t_begin || rate_ == 0) return;
    const double wanted = static_cast<double>(rate_) * static_cast<double>(t_end - t_begin) / 1e6 + carry_;
    const auto count = static_cast<uint64_t>(wanted);
    carry_ = wanted - static_cast<double>(count);
    if (count == 0) return;
    const uint64_t span = t_end - t_begin;
    out.reserve(out.size() + count);
    for (uint64_t k = 0; k < count; ++k) {
        const uint64_t t = t_begin + (k * span) / count;
        const uint64_t r = nextRandom();
        const uint32_t kind = static_cast<uint32_t>(r & 1023);
        uint32_t x;
        uint32_t y;
        uint8_t p;
        if (kind < noise_per_1024_) {
            x = static_cast<uint32_t>((r >> 10) % width_);
            y = static_cast<uint32_t>((r >> 32) % height_);
            p = static_cast<uint8_t>((r >> 60) & 1);
        } else {
            const Bars bars = barsAt(width_, height_, t);
            const bool on = ((r >> 10) & 1023) < on_per_1024_;
            const uint32_t jitter = static_cast<uint32_t>((r >> 20) % 3);
            if ((r >> 61) & 1) {
                // Vertical bar moving right: leading edge ON, trailing edge OFF.
                const uint32_t edge = bars.column_lead;
                const uint32_t ex = on ? edge : edge + width_ - kBarWidth;  // trailing edge, modulo below
                x = (ex + jitter) % width_;
                y = static_cast<uint32_t>((r >> 32) % height_);
            } else {
                // Horizontal bar moving down.
                const uint32_t edge = bars.row_lead;
                const uint32_t ey = on ? edge : edge + height_ - kBarWidth;
                y = (ey + jitter) % height_;
                x = static_cast<uint32_t>((r >> 32) % width_);
            }
            p = on ? 1 : 0;
        }
        out.emplace_back(static_cast<uint16_t>(x), static_cast<uint16_t>(y), p, t);
    }
}

}  // namespace zelvan
