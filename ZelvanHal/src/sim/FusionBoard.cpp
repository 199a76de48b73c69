#include "FusionBoard.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Scenes.h"
#include "zelvan/CalibratorParameters.h"
#include "zelvan/SyntheticScene.h"

namespace zelvan::sim {

// --- FrameSchedule ---

FrameSchedule::FrameSchedule(uint32_t frames_per_second)
    : period_(1'000'000 / std::clamp<uint32_t>(frames_per_second, SimDeviceConfig::kMinFrameRate,
                                               SimDeviceConfig::kMaxFrameRate)) {}

void FrameSchedule::start(uint64_t now) {
    running_ = true;
    start_ = now + kStartDelayUs;
    next_ = 0;
}

void FrameSchedule::stop() { running_ = false; }

void FrameSchedule::edges(uint64_t t_begin, uint64_t t_end, std::vector<EventTriggerIn>& out) const {
    if (!running_ || t_end <= t_begin) return;
    const auto add = [&](int16_t polarity, uint64_t t) {
        if (t >= t_begin && t < t_end) out.emplace_back(kChannel, polarity, t);
    };
    add(1, start_);
    add(0, start_ + kStartPulseUs);
    // The first frame whose falling edge may lie in the interval.
    uint64_t k = 0;
    if (t_begin > start_ + kEdgeToEndUs + period_) k = (t_begin - start_ - kEdgeToEndUs) / period_ - 1;
    for (; riseOf(k) < t_end; ++k) {
        add(1, riseOf(k));
        add(0, riseOf(k) + kEdgeToEndUs);
    }
}

std::optional<FrameSlot> FrameSchedule::takeDue(uint64_t clock, uint32_t exposure_us) {
    if (!running_ || nextEnd() >= clock) return std::nullopt;
    FrameSlot slot;
    slot.index = next_;
    slot.rise = riseOf(next_);
    slot.exposure_end = slot.rise + kEdgeToEndUs;
    slot.exposure_begin =
        slot.rise - std::min<uint64_t>(slot.rise, uint64_t(exposure_us) + kEdgeAfterExposureUs);
    ++next_;
    // Frames nobody read for longer than the board keeps them are gone (a clock set far ahead).
    if (clock - slot.exposure_end > kMaxBacklogFrames * period_) {
        const uint64_t behind = (clock - slot.exposure_end) / period_;
        slot.skipped = behind - kMaxBacklogFrames;
        next_ += slot.skipped;
    }
    return slot;
}

// --- FrameRenderer ---

FrameRenderer::FrameRenderer(uint16_t frame_width, uint16_t frame_height, uint16_t event_width,
                             uint16_t event_height, Axis x, Axis y, bool draw_bars, uint32_t flicker_hz)
    : frame_width_(frame_width),
      frame_height_(frame_height),
      event_width_(event_width),
      event_height_(event_height),
      x_(x),
      y_(y),
      draw_bars_(draw_bars),
      flicker_hz_(flicker_hz),
      frame_bytes_(size_t(frame_width) * frame_height * 3 / 2),
      row_even_(frame_width),
      row_odd_(frame_width) {
    for (int i = 0; i < frame_width_; ++i) {
        const bool light = (i / kTileSide) % 2 == 1;
        row_even_[size_t(i)] = light ? kLightTileLuma : kDarkTileLuma;
        row_odd_[size_t(i)] = light ? kDarkTileLuma : kLightTileLuma;
    }
    rects_.reserve(8);
}

void FrameRenderer::axesFromCalibration(const std::vector<uint8_t>& calibration, Axis& x, Axis& y) {
    x = {3.0, 12.0};
    y = {3.0, 6.0};
    CalibratorParameters params;
    if (calibration.empty() || !jsonDataToParam(calibration, params)) return;
    const auto it = params.transforms.find("1");
    if (it == params.transforms.end() || it->second.size() != 6) return;
    const std::vector<double>& m = it->second;
    if (m[1] != 0.0 || m[3] != 0.0 || m[0] == 0.0 || m[4] == 0.0) return;
    x = {m[0], m[2]};
    y = {m[4], m[5]};
}

bool FrameRenderer::mapSpan(const Axis& axis, double lo, double hi, int side, int& out_lo, int& out_hi) {
    double a = axis.scale * lo + axis.offset;
    double b = axis.scale * hi + axis.offset;
    if (a > b) std::swap(a, b);
    out_lo = static_cast<int>(std::clamp(std::lround(a), 0L, long(side)));
    out_hi = static_cast<int>(std::clamp(std::lround(b), 0L, long(side)));
    return out_lo < out_hi;
}

void FrameRenderer::sceneRects(uint64_t t, std::vector<Rect>& out) const {
    out.clear();
    const auto span = [&](const Axis& axis, int side, double lo, double hi, bool columns) {
        Rect r;
        if (columns) {
            if (!mapSpan(axis, lo, hi, side, r.x0, r.x1)) return;
            r.y0 = 0;
            r.y1 = frame_height_;
        } else {
            if (!mapSpan(axis, lo, hi, side, r.y0, r.y1)) return;
            r.x0 = 0;
            r.x1 = frame_width_;
        }
        out.push_back(r);
    };
    // A bar over [lead - width, lead) event pixels, modulo the side: one or two spans.
    const auto bar = [&](const Axis& axis, int frame_side, uint32_t event_side, uint32_t lead, bool columns) {
        const double w = SyntheticScene::kBarWidth;
        double lo = double(lead) - w;
        double hi = double(lead);
        if (hi > event_side) {
            span(axis, frame_side, 0.0, hi - event_side, columns);
            hi = event_side;
        }
        if (lo < 0.0) {
            span(axis, frame_side, lo + event_side, double(event_side), columns);
            lo = 0.0;
        }
        span(axis, frame_side, lo, hi, columns);
    };
    if (draw_bars_) {
        const SyntheticScene::Bars bars = SyntheticScene::barsAt(event_width_, event_height_, t);
        bar(x_, frame_width_, event_width_, bars.column_lead, true);
        bar(y_, frame_height_, event_height_, bars.row_lead, false);
    }
    if (SyntheticSource::lampLit(flicker_hz_, t)) {
        const double lo = SyntheticSource::kLampOrigin;
        const double x_hi = std::min<double>(event_width_, lo + SyntheticSource::kLampSide);
        const double y_hi = std::min<double>(event_height_, lo + SyntheticSource::kLampSide);
        Rect r;
        if (mapSpan(x_, lo, x_hi, frame_width_, r.x0, r.x1) &&
            mapSpan(y_, lo, y_hi, frame_height_, r.y0, r.y1))
            out.push_back(r);
    }
}

void FrameRenderer::fillBackground(uint8_t* luma, const Rect& r) const {
    const size_t width = size_t(r.x1 - r.x0);
    for (int y = r.y0; y < r.y1; ++y) {
        const std::vector<uint8_t>& row = (y / kTileSide) % 2 == 0 ? row_even_ : row_odd_;
        std::memcpy(luma + size_t(y) * size_t(frame_width_) + size_t(r.x0), row.data() + r.x0, width);
    }
}

void FrameRenderer::fillBar(uint8_t* luma, const Rect& r) const {
    const size_t width = size_t(r.x1 - r.x0);
    for (int y = r.y0; y < r.y1; ++y)
        std::memset(luma + size_t(y) * size_t(frame_width_) + size_t(r.x0), kBarLuma, width);
}

void FrameRenderer::render(uint64_t t, std::vector<uint8_t>& frame) {
    const bool resized = frame.size() != frame_bytes_;
    if (resized) frame.resize(frame_bytes_);
    uint8_t* luma = frame.data();
    Drawn& drawn = drawn_[&frame];
    if (resized || drawn.data != luma) {
        // A buffer this renderer has not drawn yet: the whole background, grey chroma.
        fillBackground(luma, Rect{0, 0, frame_width_, frame_height_});
        const size_t luma_bytes = size_t(frame_width_) * size_t(frame_height_);
        std::memset(luma + luma_bytes, 128, frame_bytes_ - luma_bytes);
        drawn.rects.clear();
        drawn.data = luma;
    }
    for (const Rect& r : drawn.rects) fillBackground(luma, r);
    sceneRects(t, rects_);
    for (const Rect& r : rects_) fillBar(luma, r);
    drawn.rects.assign(rects_.begin(), rects_.end());
}

}  // namespace zelvan::sim
