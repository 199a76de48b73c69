#include "EncodedReplay.h"

#include <algorithm>
#include <fstream>
#include <limits>

#include "zelvan/RawFileHeader.h"

namespace zelvan::sim {

namespace {

constexpr uint32_t kTimeHigh = 0x8;
constexpr int64_t kStepUs = 4096;
constexpr uint32_t kMaxBase = 0x10000;  // a decoder's vector base stops here
constexpr uint32_t kMaxCoordinate = 0x7FF;

void putWord(std::vector<uint8_t>& out, uint32_t word) {
    out.push_back(static_cast<uint8_t>(word & 0xFF));
    out.push_back(static_cast<uint8_t>((word >> 8) & 0xFF));
}

void putTimeHigh(std::vector<uint8_t>& out, uint64_t step) {
    putWord(out, (kTimeHigh << 12) | static_cast<uint32_t>(step & 0xFFF));
}

// Words that begin a unit of the stream: a segment may start there. Vector words continue a group
// and CONTINUED words an OTHERS word; a segment never starts with either.
bool beginsUnit(uint32_t type) { return type != 0x4 && type != 0x5 && type != 0x7 && type != 0xF; }

// Where events and triggers of a stretch of the recording lie, in us after its first TIME_HIGH.
struct Extent {
    uint64_t events = 0;
    uint64_t triggers = 0;
    int64_t first = std::numeric_limits<int64_t>::max();
    int64_t last = std::numeric_limits<int64_t>::min();
    uint16_t max_x = 0;
    uint16_t max_y = 0;

    void at(int64_t t) {
        first = std::min(first, t);
        last = std::max(last, t);
    }
    void add(const Extent& o) {
        events += o.events;
        triggers += o.triggers;
        first = std::min(first, o.first);
        last = std::max(last, o.last);
        max_x = std::max(max_x, o.max_x);
        max_y = std::max(max_y, o.max_y);
    }
};

}  // namespace

// Walks the recording's words once, decoding them the way EVT3Decoder does, and builds the payload,
// its cut points and the index of its TIME_HIGH words.
class EncodedReplaySource::Loader {
public:
    Loader(EncodedReplaySource& source, size_t budget) : s_(source), budget_(budget) {}

    // False once the budget is used up: the rest of the recording is left out.
    bool word(uint32_t w) {
        if (s_.payload_.size() + 2 > budget_) return stop(false);
        const uint32_t type = w >> 12;
        const uint32_t p = w & 0xFFF;
        if (!seen_time_) {
            if (type != kTimeHigh) return true;  // a reader drops everything before the first TIME_HIGH
            seen_time_ = true;
            first_high_ = p;
            high_ = p;
            if (!cut(true, 0)) return false;
            timeHigh(w);
            return true;
        }
        switch (type) {
            case kTimeHigh: {
                const uint64_t wraps = wraps_ + (high_ >= p + 2048 ? 1 : 0);
                const int64_t step =
                    static_cast<int64_t>((wraps << 12) + p) - static_cast<int64_t>(first_high_);
                const bool change = p != high_;
                if ((change || spaced()) && !cut(change, change ? step : step_)) return false;
                wraps_ = wraps;
                if (change) time_low_ = 0;
                high_ = p;
                step_ = step;
                max_step_ = std::max(max_step_, step);
                timeHigh(w);
                return true;
            }
            case 0x0:
                if (spaced() && !cut(false, step_)) return false;
                row_ = p & kMaxCoordinate;
                row_known_ = true;
                putWord(s_.payload_, w);
                if (restate_base_) {
                    // Vector words left out before the first row moved the base: say where it is.
                    restate_base_ = false;
                    if (base_known_ && base_ <= kMaxCoordinate)
                        putWord(s_.payload_, 0x3000 | vpol_ << 11 | base_);
                }
                return true;
            case 0x2:
                if (!row_known_) return true;
                if (spaced() && !cut(false, step_)) return false;
                event(p & kMaxCoordinate);
                putWord(s_.payload_, w);
                return true;
            case 0x3:
                if (row_known_ && spaced() && !cut(false, step_)) return false;
                base_ = p & kMaxCoordinate;
                vpol_ = p >> 11;
                base_known_ = true;
                if (!row_known_) {
                    restate_base_ = true;  // said after the first row
                    return true;
                }
                putWord(s_.payload_, w);
                return true;
            case 0x4:
            case 0x5: {
                const uint32_t advance = type == 0x4 ? 12 : 8;
                if (!row_known_ || !base_known_) {
                    if (base_known_) restate_base_ = true;
                    base_ = std::min(base_ + advance, kMaxBase);
                    return true;
                }
                uint32_t mask = type == 0x4 ? p : (p & 0xFF);
                while (mask != 0) {
                    const uint32_t x = base_ + static_cast<uint32_t>(__builtin_ctz(mask));
                    mask &= mask - 1;
                    if (x <= 0xFFFF) event(x);
                }
                base_ = std::min(base_ + advance, kMaxBase);
                putWord(s_.payload_, w);
                return true;
            }
            case 0x6:
                if (spaced() && !cut(false, step_)) return false;
                time_low_ = p;
                putWord(s_.payload_, w);
                return true;
            case 0xA:
                if (spaced() && !cut(false, step_)) return false;
                ++open_.triggers;
                open_.at(now());
                putWord(s_.payload_, w);
                return true;
            default:
                if (beginsUnit(type) && spaced() && !cut(false, step_)) return false;
                putWord(s_.payload_, w);
                return true;
        }
    }

    // Closes the last segment; false with `error` set when nothing is left to replay.
    bool finish(std::string& error) {
        if (!dropped_open_ || s_.cuts_.empty()) {
            closed_.add(open_);
        } else {
            // The words since the last cut are not a whole segment: leave them out.
            const Cut& last = s_.cuts_.back();
            s_.payload_.resize(last.offset);
            s_.th_offsets_.resize(last.first_th);
            s_.cuts_.pop_back();
        }
        if (s_.cuts_.empty() || closed_.events + closed_.triggers == 0) {
            error = seen_time_ ? "the recording holds no events" : "the recording holds no time words";
            return false;
        }
        Cut end;
        end.offset = static_cast<uint32_t>(s_.payload_.size());
        end.first_th = static_cast<uint32_t>(s_.th_offsets_.size());
        end.events = closed_.events;
        s_.cuts_.push_back(end);
        s_.truncated_ = stopped_;
        s_.triggers_per_pass_ = closed_.triggers;
        s_.max_x_ = closed_.max_x;
        s_.max_y_ = closed_.max_y;
        s_.first_time_ = static_cast<uint64_t>(std::max<int64_t>(0, closed_.first));

        // A segment is due once the time of the cut that ends it has come, and at the latest when the
        // time of its TIME_HIGH value has passed; a segment is never due before the one in front of it.
        const size_t n = s_.cuts_.size() - 1;
        int64_t due = 1;
        int64_t max_step = 0;
        for (size_t i = 0; i < n; ++i) {
            Cut& c = s_.cuts_[i];
            int64_t end_time = (c.step + 1) * kStepUs;
            if (i + 1 < n) {
                const Cut& next = s_.cuts_[i + 1];
                end_time =
                    std::min(end_time, next.step * kStepUs + ((next.flags & kChange) ? 0 : next.time_low));
            }
            due = std::max(due, end_time);
            c.due = due;
            max_step = std::max(max_step, c.step);
        }
        // One pass to the next: the span plus one mean gap, and past the last TIME_HIGH value.
        const uint64_t count = closed_.events + closed_.triggers;
        const auto span = static_cast<uint64_t>(closed_.last - closed_.first);
        const uint64_t gap = count > 1 ? std::max<uint64_t>(1, span / (count - 1)) : 1;
        const uint64_t steps = (span + gap + kStepUs - 1) / kStepUs;
        s_.period_steps_ = std::max<uint64_t>({steps, static_cast<uint64_t>(max_step) + 1, 1});
        return true;
    }

private:
    int64_t now() const { return step_ * kStepUs + time_low_; }

    bool spaced() const { return s_.payload_.size() - s_.cuts_.back().offset >= kCutBytes; }

    void event(uint32_t x) {
        ++open_.events;
        open_.at(now());
        open_.max_x = std::max<uint16_t>(open_.max_x, static_cast<uint16_t>(x));
        open_.max_y = std::max<uint16_t>(open_.max_y, static_cast<uint16_t>(row_));
    }

    void timeHigh(uint32_t w) {
        s_.th_offsets_.push_back(static_cast<uint32_t>(s_.payload_.size()));
        putWord(s_.payload_, w);
    }

    // A cut before the word about to be written; false when the budget is used up.
    bool cut(bool change, int64_t step) {
        const size_t used = s_.payload_.size() + s_.th_offsets_.size() * sizeof(uint32_t) +
                            (s_.cuts_.size() + 2) * sizeof(Cut);
        if (used + kCutBytes > budget_) return stop(true);
        closed_.add(open_);
        open_ = Extent{};
        Cut c;
        c.offset = static_cast<uint32_t>(s_.payload_.size());
        c.first_th = static_cast<uint32_t>(s_.th_offsets_.size());
        c.step = step;
        c.floor = max_step_;
        c.events = closed_.events;
        c.time_low = static_cast<uint16_t>(time_low_);
        c.row = static_cast<uint16_t>(row_);
        c.base = static_cast<uint16_t>(std::min<uint32_t>(base_, 0xFFFF));
        c.flags = static_cast<uint8_t>((change ? kChange : 0) | (row_known_ ? kRowKnown : 0) |
                                       (base_known_ ? kBaseKnown : 0) | (vpol_ ? kVectorPolarity : 0));
        s_.cuts_.push_back(c);
        return true;
    }

    // At a cut the segment before is whole; elsewhere the words since the last cut are left out.
    bool stop(bool at_cut) {
        stopped_ = true;
        dropped_open_ = !at_cut;
        return false;
    }

    EncodedReplaySource& s_;
    const size_t budget_;
    bool stopped_ = false;
    bool dropped_open_ = false;

    bool seen_time_ = false;
    uint32_t first_high_ = 0;
    uint32_t high_ = 0;
    uint64_t wraps_ = 0;
    int64_t step_ = 0;
    int64_t max_step_ = 0;
    uint32_t time_low_ = 0;
    uint32_t row_ = 0;
    bool row_known_ = false;
    uint32_t base_ = 0;
    uint32_t vpol_ = 0;
    bool base_known_ = false;
    bool restate_base_ = false;

    Extent open_;    // since the last cut
    Extent closed_;  // before it
};

EncodedReplaySource::EncodedReplaySource() : decoder_(kMaxCoordinate + 1, kMaxCoordinate + 1) {
    decoder_.setEventsStreamHandleCallback([this](Event2D* first, Event2D* last) {
        if (observer_) {
            if (observer_->on_events) observer_->on_events(first, last);
        } else if (event_sink_) {
            event_sink_->insert(event_sink_->end(), first, last);
        }
    });
    decoder_.setTriggerInCallback([this](EventTriggerIn trigger) {
        if (observer_) {
            if (observer_->on_trigger) observer_->on_trigger(trigger);
        } else {
            triggers_.push_back(trigger);
        }
    });
}

EncodedReplaySource::~EncodedReplaySource() = default;

bool EncodedReplaySource::load(const std::string& path, std::string& error, size_t byte_budget) {
    payload_.clear();
    th_offsets_.clear();
    cuts_.clear();
    truncated_ = false;
    started_ = false;
    pass_step_ = 0;
    cursor_ = 0;
    stream_started_ = false;
    stream_step_ = 0;
    emit_began_at_.reset();
    const auto fail = [&](const std::string& why) {
        error = "cannot replay " + path + ": " + why;
        payload_.clear();
        th_offsets_.clear();
        cuts_.clear();
        return false;
    };

    RawFileHeader header;
    std::string header_error;
    if (!readRawFileHeader(path, header, header_error)) return fail(header_error);
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail("the file cannot be opened");
    in.seekg(0, std::ios::end);
    const auto size = static_cast<uint64_t>(std::max<std::streamoff>(0, in.tellg()));
    in.seekg(static_cast<std::streamoff>(header.payload_offset));

    // Offsets are 32-bit.
    const size_t budget = std::min<size_t>(byte_budget, std::numeric_limits<uint32_t>::max());
    const uint64_t payload_bytes = size > header.payload_offset ? size - header.payload_offset : 0;
    payload_.reserve(static_cast<size_t>(std::min<uint64_t>(payload_bytes, budget)));

    Loader loader(*this, budget);
    std::vector<uint8_t> chunk(size_t(1) << 20);
    bool odd = false;
    uint8_t odd_byte = 0;
    bool more = true;
    while (more && in) {
        in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
        const auto got = static_cast<size_t>(in.gcount());
        if (got == 0) break;
        size_t i = 0;
        if (odd) {
            odd = false;
            more = loader.word(uint32_t(odd_byte) | uint32_t(chunk[0]) << 8);
            i = 1;
        }
        for (; more && i + 1 < got; i += 2)
            more = loader.word(uint32_t(chunk[i]) | uint32_t(chunk[i + 1]) << 8);
        if (more && i < got) {
            odd = true;
            odd_byte = chunk[i];
        }
    }
    if (in.bad()) return fail("read error");
    std::string why;
    if (!loader.finish(why)) return fail(why);
    payload_.shrink_to_fit();
    return true;
}

uint64_t EncodedReplaySource::stepOf(size_t i, uint64_t pass_step) const {
    const Cut& c = cuts_[i];
    const auto pass = static_cast<int64_t>(pass_step);
    // A TIME_HIGH value below the highest one before it (a glitch in the recording) never reaches back
    // across a wrap-around that the stream has already made: no reader can follow that.
    const int64_t wrap_floor = ((pass + c.floor) >> 12) << 12;
    return static_cast<uint64_t>(std::max<int64_t>({pass + c.step, wrap_floor, 0}));
}

void EncodedReplaySource::start(uint64_t t_begin) {
    started_ = true;
    cursor_ = 0;
    // The first event lands at t_begin or just after, and the pass's first TIME_HIGH does not go back
    // behind what the stream has stated already.
    pass_step_ = t_begin > first_time_ ? (t_begin - first_time_ + kStepUs - 1) / kStepUs : 0;
    if (stream_started_) pass_step_ = std::max(pass_step_, stream_step_);
}

void EncodedReplaySource::skipTo(uint64_t t_begin) {
    const uint64_t period = period_steps_ << 12;
    const uint64_t origin = pass_step_ << 12;
    if (t_begin >= origin + period) {
        pass_step_ += (t_begin - origin) / period * period_steps_;
        cursor_ = 0;
    }
    size_t lo = cursor_, hi = segments();
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (dueOf(mid, pass_step_) <= t_begin) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    cursor_ = lo;
}

void EncodedReplaySource::stateStep(uint64_t step, std::vector<uint8_t>& out) {
    if (!stream_started_) {
        putTimeHigh(out, step);
        stream_started_ = true;
        stream_step_ = step;
        return;
    }
    // Every 4096 us step is written out, as sensors do, so that any reader follows the wrap-arounds.
    for (uint64_t s = stream_step_ + 1; s <= step; ++s) putTimeHigh(out, s);
    stream_step_ = std::max(stream_step_, step);
}

void EncodedReplaySource::emitRun(size_t first, size_t last, std::vector<uint8_t>& out) {
    const Cut& c = cuts_[first];
    // The reader's state at the cut: time, row and vector base.
    const uint64_t step = stepOf(first, pass_step_);
    if (!stream_started_ || step > stream_step_) {
        stateStep(step, out);
    } else {
        putTimeHigh(out, step);
    }
    putWord(out, 0x6000u | ((c.flags & kChange) ? 0u : c.time_low));
    if (c.flags & kRowKnown) putWord(out, c.row);
    if ((c.flags & kBaseKnown) && c.base <= kMaxCoordinate)
        putWord(out, 0x3000u | ((c.flags & kVectorPolarity) ? 0x800u : 0u) | c.base);

    // The segments as recorded, with their TIME_HIGH words set to this pass's time.
    const size_t at = out.size();
    out.insert(out.end(), payload_.begin() + c.offset, payload_.begin() + cuts_[last].offset);
    uint8_t* const bytes = out.data() + at;
    for (size_t i = first; i < last; ++i) {
        const uint32_t th_begin = cuts_[i].first_th;
        const uint32_t th_end = cuts_[i + 1].first_th;
        if (th_begin == th_end) continue;
        const uint64_t s = stepOf(i, pass_step_);
        const auto low = static_cast<uint8_t>(s & 0xFF);
        const auto high = static_cast<uint8_t>(0x80 | ((s >> 8) & 0xF));
        for (uint32_t k = th_begin; k < th_end; ++k) {
            uint8_t* word = bytes + (th_offsets_[k] - c.offset);
            word[0] = low;
            word[1] = high;
        }
        stream_step_ = s;
    }
}

EncodedReplaySource::Emitted EncodedReplaySource::emit(uint64_t t_begin, uint64_t t_end,
                                                       std::optional<uint64_t> stated_time,
                                                       std::vector<uint8_t>& out) {
    if (stated_time && (!stream_started_ || (*stated_time >> 12) > stream_step_)) {
        stream_started_ = true;
        stream_step_ = *stated_time >> 12;
    }
    emit_began_at_ = stream_started_ ? std::optional<uint64_t>(stream_step_) : std::nullopt;
    Emitted result;
    if (cuts_.empty() || t_end <= t_begin) return result;
    if (!started_) {
        start(t_begin);
    } else if (dueOf(cursor_, pass_step_) <= t_begin) {
        skipTo(t_begin);
    }
    const size_t before = out.size();
    const size_t n = segments();
    while (true) {
        if (cursor_ == n) {
            cursor_ = 0;
            pass_step_ += period_steps_;
        }
        if (dueOf(cursor_, pass_step_) > t_end) break;
        // A segment behind the time the stream has stated is lost (after a change of path).
        if (stream_started_ && stepOf(cursor_, pass_step_) < stream_step_) {
            ++cursor_;
            continue;
        }
        // A run ends where the recording's time leaps forward by half the TIME_HIGH range or more: the
        // next run steps the reader's time there.
        size_t last = cursor_ + 1;
        while (last < n && dueOf(last, pass_step_) <= t_end && cuts_[last].step - cuts_[last - 1].step < 2048)
            ++last;
        emitRun(cursor_, last, out);
        result.events += cuts_[last].events - cuts_[cursor_].events;
        cursor_ = last;
    }
    // Move the reader's time on towards t_end, but not past the next segment's time.
    const uint64_t next = cursor_ == n ? stepOf(0, pass_step_ + period_steps_) : stepOf(cursor_, pass_step_);
    const uint64_t target = std::min(next, (t_end - 1) >> 12);
    if (!stream_started_ || target > stream_step_) {
        stateStep(target, out);
    } else if (out.size() == before) {
        putTimeHigh(out, stream_step_);  // every output states the time
    }
    result.stated_time = stream_step_ << 12;
    return result;
}

void EncodedReplaySource::decodeScratch(const uint8_t* first, const uint8_t* last) {
    EVT3Decoder::State state;
    if (emit_began_at_) {
        state.time_known = true;
        state.wraps = *emit_began_at_ >> 12;
        state.time_high = static_cast<uint32_t>(*emit_began_at_ & 0xFFF);
    }
    decoder_.setState(state);
    decoder_.decode(first, last);
}

void EncodedReplaySource::decodeEmitted(const uint8_t* first, const uint8_t* last,
                                        const EmittedObserver& observer) {
    observer_ = &observer;
    decodeScratch(first, last);
    observer_ = nullptr;
}

void EncodedReplaySource::generate(uint64_t t_begin, uint64_t t_end, std::vector<Event2D>& out) {
    triggers_.clear();
    scratch_.clear();
    if (t_end <= t_begin) return;
    emit(t_begin, t_end, std::nullopt, scratch_);
    const size_t first = out.size();
    event_sink_ = &out;
    decodeScratch(scratch_.data(), scratch_.data() + scratch_.size());
    event_sink_ = nullptr;

    // Recorded time lags the device clock by up to a segment and is not strictly ordered: keep what
    // comes out inside the interval, in time order.
    const auto inside = [t_begin, t_end](uint64_t t) { return std::clamp(t, t_begin, t_end - 1); };
    for (auto it = out.begin() + static_cast<std::ptrdiff_t>(first); it != out.end(); ++it)
        it->timestamp = inside(it->timestamp);
    for (auto& t : triggers_) t.timestamp = inside(t.timestamp);
    const auto by_time = [](const auto& a, const auto& b) { return a.timestamp < b.timestamp; };
    if (!std::is_sorted(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(), by_time))
        std::stable_sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(), by_time);
    if (!std::is_sorted(triggers_.begin(), triggers_.end(), by_time))
        std::stable_sort(triggers_.begin(), triggers_.end(), by_time);
}

}  // namespace zelvan::sim
