// Feeds arbitrary bytes to the EVT 3.0 decoder, cut into pieces chosen by the input itself, and
// checks every delivery against the plain reference decoder fed the same bytes in one piece; a second
// decoder takes the same pieces through decodeInto, into arrays whose size the input also chooses.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "testing/ReferenceEvt3Decoder.h"
#include "zelvan/EVT3Decoder.h"

namespace {

struct Item {
    bool trigger;
    zelvan::Event2D e;
    zelvan::EventTriggerIn t;
};

bool same(const Item& a, const Item& b) {
    if (a.trigger != b.trigger) return false;
    return a.trigger ? a.t == b.t : a.e == b.e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte chooses the piece size, whether a time base is set and the instructions.
    using Instructions = zelvan::EVT3Decoder::Instructions;
    // Pieces of 1 to 24 bytes, or of 64 bytes to 8 KiB (several blocks of the fast loops per call).
    const size_t k = data[0] & 0x1F;
    const size_t piece = k < 24 ? 1 + k : size_t(64) << (k - 24);
    const bool based = (data[0] & 0x40) != 0;
    const Instructions instructions = (data[0] & 0x80) != 0   ? Instructions::Plain
                                      : (data[0] & 0x20) != 0 ? Instructions::Avx2
                                                              : Instructions::Best;
    ++data;
    --size;

    std::vector<Item> fast, ref;
    zelvan::EVT3Decoder decoder(1280, 720, instructions);
    decoder.setEventsStreamHandleCallback([&](zelvan::Event2D* b, zelvan::Event2D* e) {
        if (e - b > static_cast<long>(zelvan::EVT3Decoder::kSpanCapacity)) std::abort();
        for (auto* it = b; it != e; ++it) fast.push_back({false, *it, {}});
    });
    decoder.setTriggerInCallback([&](zelvan::EventTriggerIn t) { fast.push_back({true, {}, t}); });
    zelvan::testing::ReferenceEvt3Decoder reference;
    reference.on_events = [&](zelvan::Event2D* b, zelvan::Event2D* e) {
        for (auto* it = b; it != e; ++it) ref.push_back({false, *it, {}});
    };
    reference.on_trigger = [&](zelvan::EventTriggerIn t) { ref.push_back({true, {}, t}); };
    if (based) {
        decoder.setTimeBase(123456789);
        reference.setTimeBase(123456789);
    }
    for (size_t pos = 0; pos < size; pos += piece) {
        const size_t n = size - pos < piece ? size - pos : piece;
        decoder.decode(data + pos, data + pos + n);
    }
    reference.decode(data, data + size);
    if (fast.size() != ref.size()) std::abort();
    for (size_t i = 0; i < fast.size(); ++i)
        if (!same(fast[i], ref[i])) std::abort();

    // Into arrays: events in the arrays, triggers through the callback; each in the reference's order.
    const size_t capacity = 12 + (piece * 37) % 200;
    std::vector<zelvan::Event2D> events;
    std::vector<zelvan::EventTriggerIn> triggers_seen;
    zelvan::EVT3Decoder into(1280, 720, instructions);
    into.setTriggerInCallback([&](zelvan::EventTriggerIn t) { triggers_seen.push_back(t); });
    std::vector<uint16_t> xs(capacity), ys(capacity);
    std::vector<uint8_t> ps(capacity);
    std::vector<uint64_t> ts(capacity);
    const zelvan::EVT3Decoder::EventArrays arrays{xs.data(), ys.data(), ps.data(), ts.data(), capacity};
    if (based) into.setTimeBase(123456789);
    for (size_t pos = 0; pos < size;) {
        const size_t n = size - pos < piece ? size - pos : piece;
        const auto r = into.decodeInto(data + pos, data + pos + n, arrays);
        if (r.events > capacity || r.bytes > n || r.bytes == 0) std::abort();
        for (size_t i = 0; i < r.events; ++i) events.emplace_back(xs[i], ys[i], ps[i], ts[i]);
        pos += r.bytes;
    }
    size_t e = 0, t = 0;
    for (const Item& item : ref) {
        if (item.trigger) {
            if (t >= triggers_seen.size() || !(triggers_seen[t++] == item.t)) std::abort();
        } else if (e >= events.size() || !(events[e++] == item.e)) {
            std::abort();
        }
    }
    if (e != events.size() || t != triggers_seen.size()) std::abort();
    std::vector<zelvan::EventTriggerIn> triggers;
    decoder.preprocessEventData(data, data + size, triggers);
    return 0;
}
