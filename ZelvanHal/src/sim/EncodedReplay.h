// Replay of a recording as recorded: its EVT 3.0 words are looped as they are, with only the
// TIME_HIGH words rewritten for each pass, instead of being decoded into events and encoded again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Scenes.h"
#include "zelvan/EVT3Decoder.h"

namespace zelvan::sim {

// The words of a recording, loaded once and looped. Each pass is shifted by the loop period: the
// recording's span plus one mean gap between its events (and triggers), rounded up to whole 4096 us
// steps, and at least the span of its TIME_HIGH words (from the first to one step past the last,
// time-only stretches included), so that a pass differs from the recording in the values of its TIME_HIGH
// words only. The stream stays a valid EVT 3.0 stream across the 24-bit wrap-around of the sensor time, both
// where the recording wraps and where the shift of a pass makes it wrap: TIME_HIGH values are unwrapped at
// load and wrapped again per pass.
//
// At load the words are put in the form a looped stream needs: words before the first TIME_HIGH, and
// event words before the row or vector base they need is known, are left out (a decoder reading the
// file drops them, but one that read the pass before would not); every other word keeps its place and
// content, triggers and monitoring words included. The words are split into segments at cut points:
// every TIME_HIGH word that changes the time, and about every kCutBytes bytes at a word that begins a
// unit (not inside a vector group or behind an OTHERS word). A segment is emitted once the device
// clock has reached the time of the cut that ends it, so that decoded time does not run ahead of the
// device; it lags by about one segment. Every run of segments emitted at once starts with the words
// that state the stream's time, row and vector base at its cut, so it decodes on its own after any
// earlier output, also when a reader lost what came in between; a reader that lost nothing sees them
// change nothing.
//
// emit() is the fast path: one copy of the segments due and the rewrite of their TIME_HIGH words.
// generate() (the Scene interface) decodes the same words into events, for a device whose registers
// shape the events; the recording's triggers of that interval are then in triggers().
class EncodedReplaySource : public Scene {
public:
    // Bytes kept at most: the recording's words and the index of their cut points and TIME_HIGH words.
    static constexpr size_t kDefaultByteBudget = size_t(64) << 20;
    // Spacing of the cut points inside the time of one TIME_HIGH value.
    static constexpr size_t kCutBytes = 2048;

    EncodedReplaySource();
    ~EncodedReplaySource() override;

    // Loads the recording; false with `error` set when it cannot be read or holds neither events nor
    // triggers. What does not fit `byte_budget` is left out, at a segment boundary (truncated()).
    bool load(const std::string& path, std::string& error, size_t byte_budget = kDefaultByteBudget);

    struct Emitted {
        uint64_t events = 0;       // CD events in the emitted words
        uint64_t stated_time = 0;  // the time (us) of the last TIME_HIGH word emitted
    };
    // Appends the words of device time [t_begin, t_end) to `out`: the segments whose time has come by
    // t_end, then a TIME_HIGH word that moves a reader's time on towards t_end (never beyond the next
    // segment's time). `stated_time` is a time the output stream was brought to by other words (the
    // device's encoder), if any: the replay goes on from there and never goes back behind it. Segments
    // whose time passed before t_begin without being emitted (the clock was moved on) are skipped.
    Emitted emit(uint64_t t_begin, uint64_t t_end, std::optional<uint64_t> stated_time,
                 std::vector<uint8_t>& out);

    // The events of the segments that emit() would give for [t_begin, t_end), decoded, with their times
    // kept inside the interval and in time order; the recording's triggers of those segments are in
    // triggers() afterwards, likewise. The replay position moves on as with emit().
    void generate(uint64_t t_begin, uint64_t t_end, std::vector<Event2D>& out) override;
    const std::vector<EventTriggerIn>& triggers() const { return triggers_; }

    // Decodes what the last emit() appended (`first` .. `last`) for an observer, in stream order.
    void decodeEmitted(const uint8_t* first, const uint8_t* last, const EmittedObserver& observer);

    // Largest column and row of the recording's events.
    uint16_t maxX() const { return max_x_; }
    uint16_t maxY() const { return max_y_; }
    // Shift from one pass to the next (us).
    uint64_t loopPeriod() const { return period_steps_ << 12; }
    uint64_t eventsPerPass() const { return cuts_.empty() ? 0 : cuts_.back().events; }
    uint64_t triggersPerPass() const { return triggers_per_pass_; }
    size_t loadedBytes() const { return payload_.size(); }
    bool truncated() const { return truncated_; }

private:
    struct Cut {
        uint32_t offset = 0;    // first byte of the segment in payload_
        uint32_t first_th = 0;  // index in th_offsets_ of the segment's first TIME_HIGH word
        int64_t step = 0;       // TIME_HIGH value of the segment, unwrapped, relative to the first
        int64_t floor = 0;      // highest step before the cut
        int64_t due = 0;        // us after the pass's start from which the segment is emitted
        uint64_t events = 0;    // events of the pass before the cut
        uint16_t time_low = 0;  // reader state just before the cut
        uint16_t row = 0;
        uint16_t base = 0;
        uint8_t flags = 0;
    };
    static constexpr uint8_t kChange = 1;  // the cut is a TIME_HIGH word that changes the time
    static constexpr uint8_t kRowKnown = 2;
    static constexpr uint8_t kBaseKnown = 4;
    static constexpr uint8_t kVectorPolarity = 8;

    class Loader;

    size_t segments() const { return cuts_.size() - 1; }
    // TIME_HIGH step (unwrapped) of segment `i` in the pass whose first TIME_HIGH is at `pass_step`.
    uint64_t stepOf(size_t i, uint64_t pass_step) const;
    uint64_t dueOf(size_t i, uint64_t pass_step) const {
        return (pass_step << 12) + static_cast<uint64_t>(cuts_[i].due);
    }
    void start(uint64_t t_begin);
    void skipTo(uint64_t t_begin);
    void stateStep(uint64_t step, std::vector<uint8_t>& out);
    void emitRun(size_t first, size_t last, std::vector<uint8_t>& out);
    void decodeScratch(const uint8_t* first, const uint8_t* last);

    std::vector<uint8_t> payload_;
    std::vector<uint32_t> th_offsets_;  // every TIME_HIGH word of payload_
    std::vector<Cut> cuts_;             // cut points, then one past the last segment
    uint64_t period_steps_ = 1;
    uint64_t first_time_ = 0;  // us from the first TIME_HIGH to the first event or trigger
    uint64_t triggers_per_pass_ = 0;
    uint16_t max_x_ = 0;
    uint16_t max_y_ = 0;
    bool truncated_ = false;

    // Replay position.
    bool started_ = false;
    uint64_t pass_step_ = 0;  // unwrapped TIME_HIGH value of the current pass's first segment
    size_t cursor_ = 0;       // next segment of the pass
    bool stream_started_ = false;
    uint64_t stream_step_ = 0;               // the last TIME_HIGH value written, unwrapped
    std::optional<uint64_t> emit_began_at_;  // stream step when the last emit() began

    // generate() and decodeEmitted().
    EVT3Decoder decoder_;
    std::vector<uint8_t> scratch_;
    std::vector<EventTriggerIn> triggers_;
    std::vector<Event2D>* event_sink_ = nullptr;
    const EmittedObserver* observer_ = nullptr;
};

}  // namespace zelvan::sim
