// Test helper: everything a decoder delivers, in delivery order.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <type_traits>
#include <vector>

#include "testing/ReferenceEvt3Decoder.h"
#include "zelvan/Decoder.h"

namespace zelvan::testing {

struct Delivered {
    bool is_trigger = false;
    Event2D event;
    EventTriggerIn trigger;
    bool operator==(const Delivered&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Delivered& d) {
    if (d.is_trigger)
        return os << "T(" << d.trigger.id << "," << d.trigger.polarity << "," << d.trigger.timestamp << ")";
    return os << "E(" << d.event.x << "," << d.event.y << "," << int(d.event.polarity) << ","
              << d.event.timestamp << ")";
}

using DecodeLog = std::vector<Delivered>;

// Whether the bytes behind an event's polarity are zero: the library's spans are also read as raw 16-byte
// records (the Python module's arrays), where whatever a decoder leaves there shows. (The reference
// decoder builds its events field by field and is not held to it.)
inline bool paddingIsZero(const Event2D& e) {
    unsigned char bytes[sizeof(Event2D)];
    std::memcpy(bytes, &e, sizeof bytes);
    return bytes[5] == 0 && bytes[6] == 0 && bytes[7] == 0;
}

template <typename D>
void attach(D& decoder, DecodeLog& log) {
    auto on_events = [&log](Event2D* b, Event2D* e) {
        for (auto* it = b; it != e; ++it) {
            if (std::is_base_of_v<Decoder, D> && !paddingIsZero(*it))
                ADD_FAILURE() << "padding behind the polarity of event " << log.size();
            log.push_back({false, *it, {}});
        }
    };
    auto on_trigger = [&log](EventTriggerIn t) { log.push_back({true, {}, t}); };
    if constexpr (std::is_base_of_v<Decoder, D>) {
        decoder.setEventsStreamHandleCallback(on_events);
        decoder.setTriggerInCallback(on_trigger);
    } else {
        decoder.on_events = on_events;
        decoder.on_trigger = on_trigger;
    }
}

inline std::vector<Event2D> eventsOf(const DecodeLog& log) {
    std::vector<Event2D> out;
    for (const auto& d : log)
        if (!d.is_trigger) out.push_back(d.event);
    return out;
}

inline std::vector<EventTriggerIn> triggersOf(const DecodeLog& log) {
    std::vector<EventTriggerIn> out;
    for (const auto& d : log)
        if (d.is_trigger) out.push_back(d.trigger);
    return out;
}

}  // namespace zelvan::testing
