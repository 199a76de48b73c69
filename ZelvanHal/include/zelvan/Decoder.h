// Raw event stream decoders and the factory that picks one from a stream format text.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "zelvan/Types.h"

namespace zelvan {

// Decodes a raw event byte stream. Events reach the events callback as spans (first, last) that are
// valid only during the call; triggers reach the trigger callback one by one. Both are called
// synchronously from decode(), strictly in stream order. A callback must not call back into the
// decoder that calls it: the events still to be delivered may lie in the buffer a nested decode
// would write.
class Decoder {
public:
    using EventsCallback = std::function<void(Event2D* first, Event2D* last)>;
    using TriggerCallback = std::function<void(EventTriggerIn)>;

    virtual ~Decoder() = default;

    void setEventsStreamHandleCallback(EventsCallback cb) { events_cb_ = std::move(cb); }
    void setTriggerInCallback(TriggerCallback cb) { trigger_cb_ = std::move(cb); }

    // Decodes the bytes [first, last). A range may end in the middle of a word: the remainder is kept
    // and completed by the next call.
    virtual void decode(const uint8_t* first, const uint8_t* last) = 0;

    // Time of the stream at the last decoded word, in microseconds (0 before any time is known).
    virtual uint64_t getLastTimestamp() const = 0;
    // Whether the stream has given a time yet (or a time base was set); readable from any thread.
    virtual bool isTimeKnown() const { return true; }
    // Bytes and events per second over the last completed window of at least one second (a window
    // closes when a rate is asked for).
    virtual uint64_t getDataRate() = 0;
    virtual uint64_t getEventRate() = 0;

    // Forgets all stream state: the next data is decoded as a fresh stream.
    virtual void resetTimeBase() = 0;
    // Forgets all stream state but the time, which becomes `timestamp`: decoding starts at the first word.
    virtual void setTimeBase(uint64_t timestamp) = 0;

    // External timestamp input and option, used by fusion cameras; they do not change decoding. Both
    // may be set and read from any thread.
    void setTimestampInput(uint64_t timestamp) {
        timestamp_input_.store(timestamp, std::memory_order_relaxed);
    }
    uint64_t getTimestampInput() const { return timestamp_input_.load(std::memory_order_relaxed); }
    void setOption(bool enabled) { option_.store(enabled, std::memory_order_relaxed); }
    bool getOption() const { return option_.load(std::memory_order_relaxed); }

    // The smallest block of bytes that can be decoded on its own.
    virtual size_t getRawEventSizeBytes() const = 0;

    int getWidth() const { return width_; }
    int getHeight() const { return height_; }

protected:
    Decoder(int width, int height) : width_(width), height_(height) {}

    EventsCallback events_cb_;
    TriggerCallback trigger_cb_;

private:
    int width_;
    int height_;
    std::atomic<uint64_t> timestamp_input_{0};
    std::atomic<bool> option_{false};
};

// A parsed stream format text such as "EVT3;height=720;width=1280".
struct RawEventStreamFormat {
    std::string name;  // "EVT3"
    int width = 1280;
    int height = 720;

    // Parses the text; spaces around ';' and '=' are tolerated. Returns false when the text has no name
    // or a width/height value is not a positive decimal number.
    static bool parse(const std::string& text, RawEventStreamFormat& out);
    std::string toString() const;  // "EVT3;height=H;width=W"
};

class DecoderFactory {
public:
    // A decoder for the format text, or nullptr (with an error logged) when the format is not supported.
    static std::unique_ptr<Decoder> createUniqueDecoder(const std::string& format);
};

// Returns the first event of the time-sorted span [first, last) whose timestamp is not below t.
// Events with a timestamp equal to t therefore start the second half of the split.
Event2D* binarySearchTimestamp(uint64_t t, Event2D* first, Event2D* last);
const Event2D* binarySearchTimestamp(uint64_t t, const Event2D* first, const Event2D* last);

}  // namespace zelvan
