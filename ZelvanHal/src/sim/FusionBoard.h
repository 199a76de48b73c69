// The board of a simulated fusion camera: the frame sensor's exposure schedule on the event sensor's
// clock, the trigger edges that signal each exposure to the event sensor's trigger input, and the
// drawing of frames of the scene the event sensor sees.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "zelvan/Types.h"
#include "zelvan/sim/SimDevice.h"

namespace zelvan::sim {

// When the frames are exposed, on the device clock. Switching the frame sensor on at device time T
// puts one rising edge (followed by a falling edge kStartPulseUs later) at A = T + kStartDelayUs,
// which only announces the start; frame k (from 0) then has its rising edge at A + (k + 1) * P
// (P = one frame period), its exposure ends kEdgeToEndUs after that edge (the readout of the
// frame's last row), where also the line falls, and its bytes leave the board once the device clock
// has passed that end. The exposure begins kEdgeAfterExposureUs before the edge plus the exposure
// time, so the window spans the exposure time plus kReadoutUs.
class FrameSchedule {
public:
    static constexpr uint64_t kStartDelayUs = 1000;
    static constexpr uint64_t kStartPulseUs = 1000;
    static constexpr uint64_t kEdgeToEndUs = 25720;
    static constexpr uint64_t kEdgeAfterExposureUs = 200;
    static constexpr uint64_t kReadoutUs = kEdgeToEndUs + kEdgeAfterExposureUs;
    static constexpr int16_t kChannel = 0;
    // Frames the board keeps for a reader that fell behind; older ones are lost (FrameSlot::skipped).
    static constexpr uint64_t kMaxBacklogFrames = 30;

    explicit FrameSchedule(uint32_t frames_per_second);

    void start(uint64_t now);
    void stop();
    bool running() const { return running_; }
    uint64_t periodUs() const { return period_; }

    // Appends the edges of device time [t_begin, t_end) in time order.
    void edges(uint64_t t_begin, uint64_t t_end, std::vector<EventTriggerIn>& out) const;
    // The next frame whose readout has ended by device time `clock`, taken from the schedule.
    std::optional<FrameSlot> takeDue(uint64_t clock, uint32_t exposure_us);
    // Device time at which the next frame's readout ends (running schedules only).
    uint64_t nextEnd() const { return riseOf(next_) + kEdgeToEndUs; }

private:
    uint64_t riseOf(uint64_t k) const { return start_ + (k + 1) * period_; }

    uint64_t period_;
    bool running_ = false;
    uint64_t start_ = 0;  // time of the start edge
    uint64_t next_ = 0;   // next frame to hand out
};

// Draws NV12 frames of the pattern scene at the frame sensor's resolution: a still checkered
// background, and the scene's bright bars (and flickering lamp) mapped from event-sensor pixels to
// frame pixels by an axis-aligned affine transform (the factory calibration's). A buffer drawn
// before is only touched where the bars were and are now: everything else in it is unchanged
// (chroma stays grey).
class FrameRenderer {
public:
    struct Axis {
        double scale = 1.0;  // frame pixel = scale * event pixel + offset
        double offset = 0.0;
    };

    FrameRenderer(uint16_t frame_width, uint16_t frame_height, uint16_t event_width, uint16_t event_height,
                  Axis x, Axis y, bool draw_bars, uint32_t flicker_hz);

    // The x and y axes of the factory calibration in `calibration` (transform "1", event pixels to
    // frame pixels) when it is an axis-aligned affine transform; otherwise 3 x + 12 and 3 y + 6.
    static void axesFromCalibration(const std::vector<uint8_t>& calibration, Axis& x, Axis& y);

    size_t frameBytes() const { return frame_bytes_; }
    // Draws the scene at device time `t` into `frame` (resized to frameBytes()).
    void render(uint64_t t, std::vector<uint8_t>& frame);

    static constexpr uint8_t kBarLuma = 235;
    static constexpr uint8_t kDarkTileLuma = 40;
    static constexpr uint8_t kLightTileLuma = 72;
    static constexpr int kTileSide = 120;  // frame pixels

private:
    struct Rect {
        int x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // [x0, x1) x [y0, y1) in frame pixels
    };
    struct Drawn {
        const uint8_t* data = nullptr;
        std::vector<Rect> rects;
    };

    void sceneRects(uint64_t t, std::vector<Rect>& out) const;
    // [lo, hi) of event pixels along an axis to frame pixels, clipped to [0, side); false when empty.
    static bool mapSpan(const Axis& axis, double lo, double hi, int side, int& out_lo, int& out_hi);
    void fillBackground(uint8_t* luma, const Rect& r) const;
    void fillBar(uint8_t* luma, const Rect& r) const;

    int frame_width_;
    int frame_height_;
    uint16_t event_width_;
    uint16_t event_height_;
    Axis x_;
    Axis y_;
    bool draw_bars_;
    uint32_t flicker_hz_;
    size_t frame_bytes_;
    std::vector<uint8_t> row_even_;  // background rows of tile rows 0, 2, 4, ...
    std::vector<uint8_t> row_odd_;
    std::unordered_map<const std::vector<uint8_t>*, Drawn> drawn_;  // what each buffer shows
    std::vector<Rect> rects_;                                       // scratch
};

}  // namespace zelvan::sim
