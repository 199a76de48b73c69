// Decoder of the EVT 3.0 event stream format.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "zelvan/Decoder.h"

namespace zelvan {

namespace detail {
struct Evt3FastRegs;
}

// EVT 3.0 decoder. Words are 16-bit little-endian and decoded one by one:
// - every word before the first TIME_HIGH is dropped, unless a time base was set;
// - time = wraps * 2^24 + TIME_HIGH * 4096 + TIME_LOW; a TIME_HIGH at least 2048 steps below the
//   previous one counts a wrap-around; a changed TIME_HIGH clears TIME_LOW;
// - CD words need a row (ADDR_Y), vector words also a base (VECT_BASE_X); vectors advance the base by
//   12 or 8 even when their mask is empty and deliver their events in ascending x;
// - events are not filtered by sensor geometry; an x that does not fit 16 bits is dropped;
// - EXT_TRIGGER gives one trigger; reserved, OTHERS and CONTINUED words are skipped.
class EVT3Decoder : public Decoder {
public:
    // Everything needed to resume decoding at a word boundary.
    struct State {
        bool time_known = false;
        uint64_t wraps = 0;
        uint32_t time_high = 0;
        uint32_t time_low = 0;
        bool row_known = false;
        uint32_t row = 0;
        bool base_known = false;
        uint32_t base_x = 0;
        uint32_t vector_polarity = 0;
        bool operator==(const State&) const = default;
    };

    // Number of events a span holds at most.
    static constexpr size_t kSpanCapacity = 4096;

    // The widest instructions the decoder may use where the processor has them; the output is the same
    // whichever it uses.
    enum class Instructions : uint8_t { Plain, Avx2, Avx512, Best = Avx512 };

    // Caller-owned arrays that decodeInto fills from index 0, one entry per event.
    struct EventArrays {
        uint16_t* x = nullptr;
        uint16_t* y = nullptr;
        uint8_t* polarity = nullptr;
        uint64_t* timestamp = nullptr;
        size_t capacity = 0;  // entries each array holds
    };

    // What one decodeInto call did.
    struct ArraysResult {
        size_t events = 0;  // entries written
        size_t bytes = 0;   // bytes taken from the input; the rest is to be passed again
    };

    // With `allow_simd` false the decoder keeps to plain instructions even where the processor offers
    // more; the output is the same either way.
    EVT3Decoder(int width, int height, bool allow_simd = true);
    EVT3Decoder(int width, int height, Instructions instructions);
    ~EVT3Decoder() override;

    // The instructions this decoder uses: those asked for, or the widest below them that this processor has.
    Instructions instructions() const;

    void decode(const uint8_t* first, const uint8_t* last) override;

    // Decodes like decode() but writes the events into `out` instead of handing spans to the events
    // callback; triggers still go to the trigger callback, after the events before them are written.
    // Stops before the first word whose events no longer fit (words that give no event are still
    // taken once the arrays are full). The bytes not taken must be passed again, first in the next
    // call to decodeInto or decode: the two continue the same stream and may be mixed freely. All bytes
    // were taken exactly when `bytes` equals last - first (a trailing odd byte is kept as in decode()).
    // Arrays with room for fewer than kMinArraysCapacity events (the most one word gives) are refused
    // with std::invalid_argument: a word that never fits would stop every call at the same place.
    static constexpr size_t kMinArraysCapacity = 12;
    [[nodiscard]] ArraysResult decodeInto(const uint8_t* first, const uint8_t* last, const EventArrays& out);
    uint64_t getLastTimestamp() const override;
    uint64_t getDataRate() override;
    uint64_t getEventRate() override;
    void resetTimeBase() override;
    void setTimeBase(uint64_t timestamp) override;
    size_t getRawEventSizeBytes() const override { return 2; }
    bool isTimeKnown() const override { return time_known_.load(std::memory_order_acquire); }

    // The time that the first TIME_HIGH word of `first`..`last` gives a decoder that starts there
    // without a time base (TIME_HIGH * 4096); nothing when the bytes hold no TIME_HIGH word.
    static std::optional<uint64_t> firstTimeHighTime(const uint8_t* first, const uint8_t* last);

    // Word-boundary state (a pending odd byte is not part of it).
    State getState() const { return state_; }
    void setState(const State& state);
    bool hasPendingByte() const { return has_pending_byte_; }

    // Scans raw bytes for trigger edges and appends them to `triggers`, with their own time tracking;
    // the decoder's event state is not touched. Consecutive calls continue the same stream.
    void preprocessEventData(const uint8_t* first, const uint8_t* last,
                             std::vector<EventTriggerIn>& triggers);

    // Counters since construction (or the last resetTimeBase).
    uint64_t totalEvents() const { return total_events_; }
    uint64_t totalTriggers() const { return total_triggers_; }

private:
    // Decodes up to `words` words, giving at most `limit` events; returns the words taken.
    size_t decodeWords(const uint8_t* bytes, size_t words, size_t limit);
    void deliver(Event2D* end);
    void deliver(Event2D* begin, Event2D* end);
    void updateRates(size_t bytes, size_t events);

    void publishTimestamp();

    State state_;
    std::atomic<uint64_t> last_timestamp_{0};  // readable from any thread
    std::atomic<bool> time_known_{false};
    bool has_pending_byte_ = false;
    uint8_t pending_byte_ = 0;
    std::unique_ptr<Event2D[]> span_;
    const EventArrays* arrays_ = nullptr;  // set while decodeInto runs: spans go there
    size_t arrays_count_ = 0;
    const uint8_t* (*fast_loop_)(const uint8_t*, const uint8_t*, Event2D*&, Event2D*, detail::Evt3FastRegs&);

    uint64_t total_events_ = 0;
    uint64_t total_triggers_ = 0;

    // Rates over windows of wall-clock time: a window closes when a rate is asked for and at least a
    // second has passed, so a caller that asks once per second gets that second's rates.
    mutable std::mutex rate_mutex_;
    std::chrono::steady_clock::time_point window_start_;
    uint64_t window_bytes_ = 0;
    uint64_t window_events_ = 0;
    uint64_t data_rate_ = 0;
    uint64_t event_rate_ = 0;
    void rollWindow(std::chrono::steady_clock::time_point now);

    // Time tracking of preprocessEventData.
    State pre_state_;
    bool pre_has_pending_byte_ = false;
    uint8_t pre_pending_byte_ = 0;
};

}  // namespace zelvan
