#include "RegisterEffects.h"

#include <algorithm>
#include <cmath>

#include "zelvan/sim/SimDevice.h"

namespace zelvan::sim {

namespace {

constexpr uint32_t kReadoutRunning = 0;

// Register addresses and bits of the two event sensors.
struct Layout {
    uint32_t trigger_in;  // register whose bit 10 lets trigger input 0 into the stream
    uint32_t roi_ctrl;    // bit 1: region of interest on
    uint32_t roi_mode;    // register of the ROI / RONI choice
    uint32_t roi_mode_bit;
    bool roi_mode_bit_means_roi;  // IMX636 family: bit set = keep the window
    uint32_t roi_x;               // first column word
    uint32_t roi_x_words;
    uint32_t roi_y;
    uint32_t roi_y_words;
    bool roi_zero_selects;  // IMX636 family: a 0 bit selects its column / row
    uint32_t bias_on;
    uint32_t bias_off;
    uint32_t bias_bits;  // width of the DAC code
    uint32_t bias_on_neutral;
    uint32_t bias_off_neutral;
    uint32_t afk_pipeline;
    uint32_t afk_param;
    uint32_t afk_period;
    uint32_t erc_enable;  // bit 0
    uint32_t erc_target;
    uint32_t erc_target_bits;
    uint32_t erc_period;
};

constexpr Layout kImx636{0x7004, 0x0004, 0x0004, 6, true,   0x2000, 40,     0x4000, 23,     true, 0x1010,
                         0x1018, 8,      0,      0, 0xC000, 0xC004, 0xC008, 0x6028, 0x600C, 22,   0x6008};
constexpr Layout kGenx320{0x9000, 0x0000, 0x0034, 2,      false, 0x2000, 10,   0x3000,
                          10,     false,  0x1104, 0x110C, 7,     0x18,   0x13, 0xC000,
                          0xC008, 0xC00C, 0x6000, 0x602C, 21,    0x6020};

constexpr uint32_t kStcPipeline = 0xD000;
constexpr uint32_t kStcParam = 0xD004;
constexpr uint32_t kTrailParam = 0xD008;
constexpr uint32_t kCutoffPeriodUnitUs = 128;  // anti-flicker cutoff periods count 128 us
constexpr uint32_t kDefaultErcPeriodUs = 128;

uint32_t valueAt(const std::map<uint32_t, uint32_t>& registers, uint32_t address, uint32_t reset_value = 0) {
    const auto it = registers.find(address);
    return it == registers.end() ? reset_value : it->second;
}

uint32_t bits(uint32_t value, unsigned start, unsigned len) {
    return len >= 32 ? value >> start : (value >> start) & ((1u << len) - 1);
}

// A pipeline block runs when its enable bit (0) is set and its bypass bit (2) is clear.
bool blockRuns(uint32_t pipeline_control) {
    return (pipeline_control & 1) != 0 && (pipeline_control & 4) == 0;
}

uint32_t dropShare(uint32_t code, uint32_t neutral, uint32_t bits_wide) {
    const uint32_t top = 1u << bits_wide;
    if (code <= neutral) return 0;
    return std::min<uint32_t>(1024, (code - neutral) * 1024 / (top - neutral));
}

// A fixed pseudo-random number per event, so that thinning is reproducible.
uint32_t eventHash(const Event2D& e) {
    uint64_t z = (uint64_t(e.x) | uint64_t(e.y) << 16 | uint64_t(e.polarity) << 31) ^
                 (e.timestamp * 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<uint32_t>(z ^ (z >> 31));
}

template <typename Keep>
void keepIf(std::vector<Event2D>& events, Keep keep) {
    events.erase(std::remove_if(events.begin(), events.end(), [&](const Event2D& e) { return !keep(e); }),
                 events.end());
}

// Whether bits 0..last of a bitmap are all set (`set`) or all clear.
bool uniform(const std::array<uint32_t, 64>& words, uint32_t last, bool set) {
    const uint32_t full = set ? 0xFFFFFFFFu : 0u;
    for (uint32_t i = 0; i <= last / 32; ++i) {
        const uint32_t bits_here = std::min<uint32_t>(32, last + 1 - 32 * i);
        const uint32_t mask = bits_here == 32 ? 0xFFFFFFFFu : (1u << bits_here) - 1;
        if ((words[i] & mask) != (full & mask)) return false;
    }
    return true;
}

}  // namespace

bool EmissionSettings::keepsEvents(uint16_t max_x, uint16_t max_y) const {
    if (max_x >= width || max_y >= height) return false;
    if (roi_enabled) {
        const bool all_kept = roi_keeps_window
                                  ? uniform(roi_columns, max_x, true) && uniform(roi_rows, max_y, true)
                                  : uniform(roi_columns, max_x, false) || uniform(roi_rows, max_y, false);
        if (!all_kept) return false;
    }
    return on_drop_per_1024 == 0 && off_drop_per_1024 == 0 && !afk_enabled && stc_mode == StcMode::Off &&
           !erc_enabled;
}

SensorFamily sensorFamilyOf(const CameraDescription& description) {
    return description.vendorId == 0x04B5 && description.productId == 0xFFFF ? SensorFamily::Genx320
                                                                             : SensorFamily::Imx636;
}

EmissionSettings RegisterEffects::read(const std::map<uint32_t, uint32_t>& registers) const {
    const Layout& l = family_ == SensorFamily::Genx320 ? kGenx320 : kImx636;
    EmissionSettings s;
    s.readout_running = valueAt(registers, reg::kReadoutControl, 2) == kReadoutRunning;
    s.trigger_in_enabled = (valueAt(registers, l.trigger_in) & (1u << 10)) != 0;
    s.width = width_;
    s.height = height_;

    s.roi_enabled = (valueAt(registers, l.roi_ctrl) & 2u) != 0;
    if (s.roi_enabled) {
        const bool bit = (valueAt(registers, l.roi_mode) >> l.roi_mode_bit & 1u) != 0;
        s.roi_keeps_window = bit == l.roi_mode_bit_means_roi;
        for (uint32_t i = 0; i < l.roi_x_words; ++i) {
            const uint32_t word = valueAt(registers, l.roi_x + 4 * i);
            s.roi_columns[i] = l.roi_zero_selects ? ~word : word;
        }
        for (uint32_t i = 0; i < l.roi_y_words; ++i) {
            const uint32_t word = valueAt(registers, l.roi_y + 4 * i);
            s.roi_rows[i] = l.roi_zero_selects ? ~word : word;
        }
    }

    s.on_drop_per_1024 =
        dropShare(bits(valueAt(registers, l.bias_on), 0, l.bias_bits), l.bias_on_neutral, l.bias_bits);
    s.off_drop_per_1024 =
        dropShare(bits(valueAt(registers, l.bias_off), 0, l.bias_bits), l.bias_off_neutral, l.bias_bits);

    s.afk_enabled = blockRuns(valueAt(registers, l.afk_pipeline));
    if (s.afk_enabled) {
        const uint32_t param = valueAt(registers, l.afk_param);
        const uint32_t period = valueAt(registers, l.afk_period);
        s.afk_stop_count = bits(param, 0, 3);
        s.afk_start_count = std::max<uint32_t>(1, bits(param, 3, 3));
        s.afk_band_pass = bits(param, 6, 1) != 0;
        s.afk_drop_disabled = bits(param, 7, 1) != 0;
        s.afk_min_period_us = bits(period, 0, 8) * kCutoffPeriodUnitUs;
        s.afk_max_period_us = bits(period, 8, 8) * kCutoffPeriodUnitUs;
    }

    if (blockRuns(valueAt(registers, kStcPipeline))) {
        const uint32_t stc = valueAt(registers, kStcParam);
        const uint32_t trail = valueAt(registers, kTrailParam);
        if (trail & 1u) {
            s.stc_mode = EmissionSettings::StcMode::Trail;
            s.stc_threshold_us = bits(trail, 1, 19);
        } else if (stc & 1u) {
            s.stc_mode = bits(stc, 24, 1) ? EmissionSettings::StcMode::StcKeepTrail
                                          : EmissionSettings::StcMode::StcCutTrail;
            s.stc_threshold_us = bits(stc, 1, 19);
        }
    }

    const uint32_t erc_enable = valueAt(registers, l.erc_enable);
    s.erc_enabled = family_ == SensorFamily::Genx320 ? blockRuns(erc_enable) : (erc_enable & 1u) != 0;
    if (s.erc_enabled) {
        uint32_t period = bits(valueAt(registers, l.erc_period), 0, 10);
        if (period == 0) period = kDefaultErcPeriodUs;
        s.erc_events_per_us =
            double(bits(valueAt(registers, l.erc_target), 0, l.erc_target_bits)) / double(period);
    }
    return s;
}

void RegisterEffects::apply(const EmissionSettings& settings, std::vector<Event2D>& events, uint64_t t_begin,
                            uint64_t t_end) {
    cropToArray(settings, events);
    if (settings.roi_enabled) regionOfInterest(settings, events);
    if (settings.on_drop_per_1024 != 0 || settings.off_drop_per_1024 != 0)
        contrastThresholds(settings, events);
    if (settings.afk_enabled) antiFlicker(settings, events);
    if (settings.stc_mode != EmissionSettings::StcMode::Off) trailFilter(settings, events);
    if (settings.erc_enabled) {
        eventRateControl(settings, events, t_begin, t_end);
    } else {
        erc_carry_ = 0.0;
    }
}

void RegisterEffects::cropToArray(const EmissionSettings& settings, std::vector<Event2D>& events) {
    keepIf(events, [&settings](const Event2D& e) { return e.x < settings.width && e.y < settings.height; });
}

void RegisterEffects::regionOfInterest(const EmissionSettings& settings, std::vector<Event2D>& events) {
    const auto selected = [](const std::array<uint32_t, 64>& words, uint16_t v) {
        return v < 64 * 32 && ((words[v >> 5] >> (v & 31)) & 1u) != 0;
    };
    keepIf(events, [&](const Event2D& e) {
        const bool inside = selected(settings.roi_columns, e.x) && selected(settings.roi_rows, e.y);
        return inside == settings.roi_keeps_window;
    });
}

void RegisterEffects::contrastThresholds(const EmissionSettings& settings, std::vector<Event2D>& events) {
    keepIf(events, [&settings](const Event2D& e) {
        const uint32_t share = e.polarity ? settings.on_drop_per_1024 : settings.off_drop_per_1024;
        return (eventHash(e) & 1023u) >= share;
    });
}

void RegisterEffects::antiFlicker(const EmissionSettings& s, std::vector<Event2D>& events) {
    if (afk_.size() != pixels()) afk_.assign(pixels(), AfkPixel{});
    keepIf(events, [&](const Event2D& e) {
        AfkPixel& p = afk_[size_t(e.y) * width_ + e.x];
        if (p.polarity != kNoEventYet && p.polarity != e.polarity) {
            // A change of polarity every half period of the flicker.
            const uint64_t period = 2 * (e.timestamp - p.last_flip);
            const bool in_band = period >= s.afk_min_period_us && period <= s.afk_max_period_us;
            if (in_band) {
                p.count = static_cast<uint8_t>(std::min<uint32_t>(p.count + 1u, 7u));
            } else if (p.count > 0) {
                --p.count;
            }
            if (p.count >= s.afk_start_count) p.flickering = true;
            if (p.count < s.afk_stop_count) p.flickering = false;
            p.last_flip = e.timestamp;
        } else if (p.polarity == kNoEventYet) {
            p.last_flip = e.timestamp;
        }
        p.polarity = e.polarity;
        if (s.afk_drop_disabled) return true;
        return p.flickering == s.afk_band_pass;
    });
}

void RegisterEffects::trailFilter(const EmissionSettings& s, std::vector<Event2D>& events) {
    using Mode = EmissionSettings::StcMode;
    if (stc_.size() != pixels()) stc_.assign(pixels(), StcPixel{});
    keepIf(events, [&](const Event2D& e) {
        StcPixel& p = stc_[size_t(e.y) * width_ + e.x];
        const bool follows = p.polarity == e.polarity && e.timestamp - p.last < s.stc_threshold_us;
        p.run = follows ? static_cast<uint8_t>(std::min(p.run + 1, 255)) : 1;
        p.polarity = e.polarity;
        p.last = e.timestamp;
        switch (s.stc_mode) {
            case Mode::Trail:
                return p.run == 1;  // the first event of a burst only
            case Mode::StcCutTrail:
                return p.run == 2;  // confirmed by a second event; its trail dropped
            case Mode::StcKeepTrail:
                return p.run >= 2;  // confirmed events and their trail
            case Mode::Off:
                return true;
        }
        return true;
    });
}

void RegisterEffects::eventRateControl(const EmissionSettings& settings, std::vector<Event2D>& events,
                                       uint64_t t_begin, uint64_t t_end) {
    const double budget = settings.erc_events_per_us * double(t_end - t_begin) + erc_carry_;
    const auto allowed = static_cast<size_t>(std::max(0.0, std::floor(budget)));
    if (events.size() <= allowed) {
        // Unused budget does not accumulate beyond one interval's worth.
        erc_carry_ =
            std::min(budget - double(events.size()), settings.erc_events_per_us * double(t_end - t_begin));
        return;
    }
    erc_carry_ = budget - double(allowed);
    // Keep `allowed` events spread evenly over the batch.
    const size_t n = events.size();
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
        if ((i + 1) * allowed / n > i * allowed / n) events[kept++] = events[i];
    }
    events.resize(kept);
}

}  // namespace zelvan::sim
