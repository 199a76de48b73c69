// How the register file of a simulated sensor shapes what it emits. Everything the registers decide
// about the stream is read here once per produced interval and applied here to each batch of scene
// events, between the scene and the encoder. Register addresses and bits are those of the sensor's
// register table (the driver's IMX636-family and GenX320 tables).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "zelvan/CameraDescription.h"
#include "zelvan/Types.h"

namespace zelvan::sim {

enum class SensorFamily { Imx636, Genx320 };

// The event sensor a simulated camera carries: GenX320 for vendor id 0x04B5 with product id 0xFFFF.
SensorFamily sensorFamilyOf(const CameraDescription& description);

// What the register file asks of the stream for one produced interval.
struct EmissionSettings {
    bool readout_running = false;     // readout control register at 0
    bool trigger_in_enabled = false;  // trigger input 0 reaches the stream
    uint16_t width = 0;               // pixel array
    uint16_t height = 0;

    // Region of interest: a pixel is in the window when its column and its row are selected.
    bool roi_enabled = false;
    bool roi_keeps_window = true;            // true: keep the window (ROI); false: drop it (RONI)
    std::array<uint32_t, 64> roi_columns{};  // bit x % 32 of word x / 32: column x selected
    std::array<uint32_t, 64> roi_rows{};

    // Contrast thresholds: share (of 1024) of ON and OFF events the raised thresholds suppress.
    uint32_t on_drop_per_1024 = 0;
    uint32_t off_drop_per_1024 = 0;

    // Anti-flicker: flicker periods in [min_period_us, max_period_us] are detected per pixel.
    bool afk_enabled = false;
    bool afk_band_pass = false;  // false: drop flickering pixels; true: keep only them
    bool afk_drop_disabled = false;
    uint32_t afk_min_period_us = 0;
    uint32_t afk_max_period_us = 0;
    uint32_t afk_start_count = 6;  // in-band flips that mark a pixel flickering
    uint32_t afk_stop_count = 4;   // a marked pixel is released below this count

    // Spatio-temporal contrast / trail filter.
    enum class StcMode { Off, Trail, StcCutTrail, StcKeepTrail };
    StcMode stc_mode = StcMode::Off;
    uint32_t stc_threshold_us = 0;

    // Event rate control: at most `erc_events_per_us` events per microsecond on average.
    bool erc_enabled = false;
    double erc_events_per_us = 0.0;

    // True when RegisterEffects::apply() keeps every event with a column up to max_x and a row up to
    // max_y as it is (a region of interest that covers them all, or a RONI window that leaves them out,
    // keeps them).
    bool keepsEvents(uint16_t max_x, uint16_t max_y) const;
};

class RegisterEffects {
public:
    RegisterEffects(uint16_t width, uint16_t height, SensorFamily family = SensorFamily::Imx636)
        : width_(width), height_(height), family_(family) {}

    // Reads the settings from a register file (the caller holds the lock that guards it).
    EmissionSettings read(const std::map<uint32_t, uint32_t>& registers) const;

    // Shapes one time-ordered batch of scene events of device time [t_begin, t_end) in place as the
    // sensor would emit them: events may be dropped, never reordered, and the batch stays time-ordered.
    // Stages run in the order a sensor's pipeline applies them: pixel array bounds, region of interest,
    // contrast thresholds, anti-flicker, trail filter, event rate control. The filters keep per-pixel
    // state across calls (allocated once, when a filter is first switched on). Called by one thread at a
    // time.
    void apply(const EmissionSettings& settings, std::vector<Event2D>& events, uint64_t t_begin,
               uint64_t t_end);

    SensorFamily family() const { return family_; }

private:
    static void cropToArray(const EmissionSettings& settings, std::vector<Event2D>& events);
    static void regionOfInterest(const EmissionSettings& settings, std::vector<Event2D>& events);
    static void contrastThresholds(const EmissionSettings& settings, std::vector<Event2D>& events);
    void antiFlicker(const EmissionSettings& settings, std::vector<Event2D>& events);
    void trailFilter(const EmissionSettings& settings, std::vector<Event2D>& events);
    void eventRateControl(const EmissionSettings& settings, std::vector<Event2D>& events, uint64_t t_begin,
                          uint64_t t_end);
    size_t pixels() const { return size_t(width_) * height_; }

    uint16_t width_;
    uint16_t height_;
    SensorFamily family_;

    // Per-pixel filter state; a pixel that has not fired yet has a polarity no event has.
    static constexpr uint8_t kNoEventYet = 2;
    struct AfkPixel {
        uint64_t last_flip = 0;
        uint8_t polarity = kNoEventYet;
        uint8_t count = 0;
        bool flickering = false;
    };
    std::vector<AfkPixel> afk_;
    struct StcPixel {
        uint64_t last = 0;
        uint8_t polarity = kNoEventYet;
        uint8_t run = 0;  // events of the current same-polarity run, saturating
    };
    std::vector<StcPixel> stc_;
    double erc_carry_ = 0.0;  // event budget left over from the last interval
};

}  // namespace zelvan::sim
