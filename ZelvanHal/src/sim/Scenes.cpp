#include "Scenes.h"

#include <algorithm>
#include <fstream>

#include "EncodedReplay.h"
#include "zelvan/EVT3Decoder.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileHeader.h"

namespace zelvan::sim {

SyntheticSource::SyntheticSource(uint16_t width, uint16_t height, uint64_t rate, uint64_t seed, bool noise,
                                 uint32_t flicker_hz)
    : scene_(width, height, rate, seed), width_(width), height_(height), flicker_hz_(flicker_hz) {
    if (noise) scene_.setNoiseShare(1.0);
}

void SyntheticSource::generate(uint64_t t_begin, uint64_t t_end, std::vector<Event2D>& out) {
    const size_t first = out.size();
    scene_.generate(t_begin, t_end, out);
    if (flicker_hz_ == 0 || t_end <= t_begin) return;
    lamp_events_.clear();
    lamp(t_begin, t_end, lamp_events_);
    if (lamp_events_.empty()) return;
    const size_t middle = out.size();
    out.insert(out.end(), lamp_events_.begin(), lamp_events_.end());
    std::inplace_merge(out.begin() + static_cast<std::ptrdiff_t>(first),
                       out.begin() + static_cast<std::ptrdiff_t>(middle), out.end(),
                       [](const Event2D& a, const Event2D& b) { return a.timestamp < b.timestamp; });
}

namespace {
uint64_t lampHalfPeriod(uint32_t flicker_hz) {
    return std::max<uint64_t>(2 * SyntheticSource::kLampSpreadUs, 500'000 / flicker_hz);
}
}  // namespace

bool SyntheticSource::lampLit(uint32_t flicker_hz, uint64_t t) {
    return flicker_hz != 0 && (t / lampHalfPeriod(flicker_hz)) % 2 == 0;
}

void SyntheticSource::lamp(uint64_t t_begin, uint64_t t_end, std::vector<Event2D>& out) {
    const uint64_t half = lampHalfPeriod(flicker_hz_);
    const uint16_t x_end = static_cast<uint16_t>(std::min<uint32_t>(width_, kLampOrigin + kLampSide));
    const uint16_t y_end = static_cast<uint16_t>(std::min<uint32_t>(height_, kLampOrigin + kLampSide));
    const uint64_t first_edge = t_begin > kLampSpreadUs ? (t_begin - kLampSpreadUs) / half : 0;
    for (uint64_t edge = first_edge; edge * half < t_end; ++edge) {
        const uint64_t t0 = edge * half;
        const uint8_t polarity = (edge & 1) == 0 ? 1 : 0;  // lights up on even edges
        // Pixel k of the lamp fires at t0 + k % kLampSpreadUs: walk the offsets in time order.
        for (uint64_t offset = 0; offset < kLampSpreadUs; ++offset) {
            const uint64_t t = t0 + offset;
            if (t < t_begin) continue;
            if (t >= t_end) break;
            uint64_t k = 0;
            for (uint16_t y = kLampOrigin; y < y_end; ++y) {
                for (uint16_t x = kLampOrigin; x < x_end; ++x, ++k) {
                    if (k % kLampSpreadUs == offset) out.emplace_back(x, y, polarity, t);
                }
            }
        }
    }
}

bool ReplaySource::load(const std::string& path, std::string& error, size_t event_budget) {
    events_.clear();
    truncated_ = false;
    RawFileHeader header;
    std::string header_error;
    if (!readRawFileHeader(path, header, header_error)) {
        error = "cannot replay " + path + ": " + header_error;
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot replay " + path + ": the file cannot be opened";
        return false;
    }
    in.seekg(static_cast<std::streamoff>(header.payload_offset));

    EVT3Decoder decoder(header.info.width, header.info.height);
    if (header.has_dvs_start_timestamp) decoder.setTimeBase(header.info.dvs_start_timestamp);
    decoder.setEventsStreamHandleCallback([this, event_budget](Event2D* first, Event2D* last) {
        const size_t room = event_budget - std::min(event_budget, events_.size());
        const size_t n = static_cast<size_t>(last - first);
        if (n > room) truncated_ = true;
        events_.insert(events_.end(), first, first + std::min(n, room));
    });
    std::vector<uint8_t> chunk(size_t(1) << 20);
    while (in && !truncated_) {
        in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
        const auto got = static_cast<size_t>(in.gcount());
        if (got == 0) break;
        decoder.decode(chunk.data(), chunk.data() + got);
    }
    if (in.bad()) {
        error = "cannot replay " + path + ": read error";
        events_.clear();
        return false;
    }
    if (events_.empty()) {
        error = "cannot replay " + path + ": the recording holds no events";
        return false;
    }
    // Recorded time is not strictly sorted; a replayed stream must be.
    std::stable_sort(events_.begin(), events_.end(),
                     [](const Event2D& a, const Event2D& b) { return a.timestamp < b.timestamp; });
    const uint64_t first = events_.front().timestamp;
    for (auto& e : events_) e.timestamp -= first;
    const uint64_t span = events_.back().timestamp;
    const uint64_t gap = events_.size() > 1 ? std::max<uint64_t>(1, span / (events_.size() - 1)) : 1;
    period_ = span + gap;
    started_ = false;
    cursor_ = 0;
    return true;
}

void ReplaySource::generate(uint64_t t_begin, uint64_t t_end, std::vector<Event2D>& out) {
    if (events_.empty() || t_end <= t_begin) return;
    if (!started_) {
        started_ = true;
        pass_start_ = t_begin;
        cursor_ = 0;
    }
    if (t_begin >= pass_start_ + period_) {
        // The clock moved on by whole passes (it was set forward): skip them without walking.
        pass_start_ += (t_begin - pass_start_) / period_ * period_;
        const auto from = std::lower_bound(events_.begin(), events_.end(), t_begin - pass_start_,
                                           [](const Event2D& e, uint64_t t) { return e.timestamp < t; });
        cursor_ = static_cast<size_t>(from - events_.begin());
    }
    while (true) {
        if (cursor_ == events_.size()) {
            cursor_ = 0;
            pass_start_ += period_;
        }
        const Event2D& e = events_[cursor_];
        const uint64_t t = pass_start_ + e.timestamp;
        if (t >= t_end) break;
        if (t >= t_begin) out.emplace_back(e.x, e.y, e.polarity, t);
        ++cursor_;
    }
}

std::unique_ptr<Scene> makeScene(const SimDeviceConfig& config, std::string& error) {
    switch (config.scene) {
        case SceneKind::Pattern:
            return std::make_unique<SyntheticSource>(config.width, config.height, config.event_rate,
                                                     config.seed, false, config.flicker_hz);
        case SceneKind::Noise:
            return std::make_unique<SyntheticSource>(config.width, config.height, config.event_rate,
                                                     config.seed, true);
        case SceneKind::Replay: {
            if (config.replay_encoded) {
                auto encoded = std::make_unique<EncodedReplaySource>();
                if (!encoded->load(config.replay_path, error)) return nullptr;
                if (encoded->truncated()) {
                    ZV_LOG(LOG_WARNING, "Replay of %s: only its first %zu bytes are looped",
                           config.replay_path.c_str(), encoded->loadedBytes());
                }
                return encoded;
            }
            auto replay = std::make_unique<ReplaySource>();
            if (!replay->load(config.replay_path, error)) return nullptr;
            return replay;
        }
    }
    error = "unknown scene";
    return nullptr;
}

}  // namespace zelvan::sim
