#include <gtest/gtest.h>

#include <random>

#include "DecodeLog.h"
#include "zelvan/EVT3Decoder.h"
#include "zelvan/EVT3Encoder.h"

namespace zelvan {
namespace {

using testing::DecodeLog;

struct RandomStream {
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;
};

// Time-ordered events over `seconds`, starting anywhere in the first wrap period, with clusters that
// the encoder can write as vectors, occasional long silences and trigger edges.
RandomStream makeStream(uint64_t seed, uint64_t seconds) {
    std::mt19937_64 rng(seed);
    RandomStream s;
    uint64_t t = rng() % (uint64_t(1) << 24);
    const uint64_t end = t + seconds * 1'000'000;
    while (t < end) {
        const uint64_t r = rng();
        if (r % 1000 == 0) {
            t += rng() % 3'000'000;  // silence of up to 3 s
        } else {
            t += rng() % 40;
        }
        if (r % 97 == 0) s.triggers.emplace_back(int16_t(rng() % 16), int16_t(rng() % 2), t);
        const uint16_t y = uint16_t(rng() % 720);
        const uint8_t p = uint8_t(rng() % 2);
        if (r % 5 == 0) {
            const uint32_t base = uint32_t(rng() % 40) * 32;
            const uint32_t mask = uint32_t(rng());
            for (uint32_t i = 0; i < 32; ++i)
                if (mask & (1u << i)) s.events.emplace_back(uint16_t(base + i), y, p, t);
        } else {
            s.events.emplace_back(uint16_t(rng() % 1280), y, p, t);
        }
    }
    return s;
}

DecodeLog expectedLog(const RandomStream& s) {
    DecodeLog log;
    size_t i = 0, j = 0;
    while (i < s.events.size() || j < s.triggers.size()) {
        if (j < s.triggers.size() &&
            (i == s.events.size() || s.triggers[j].timestamp <= s.events[i].timestamp)) {
            log.push_back({true, {}, s.triggers[j++]});
        } else {
            log.push_back({false, s.events[i++], {}});
        }
    }
    return log;
}

TEST(Evt3Encoder, RoundTripAcrossSeveralWrapArounds) {
    for (uint64_t seed : {1, 2, 3}) {
        const RandomStream s = makeStream(seed, 60);
        ASSERT_GT(s.events.back().timestamp - s.events.front().timestamp, 3 * (uint64_t(1) << 24));
        EVT3Encoder encoder(1280);
        std::vector<uint8_t> bytes;
        const size_t written =
            encoder.encode(s.events.data(), s.events.data() + s.events.size(), s.triggers.data(),
                           s.triggers.data() + s.triggers.size(), bytes);
        EXPECT_EQ(written, s.events.size());

        size_t vector_groups = 0;
        for (size_t i = 1; i < bytes.size(); i += 2) vector_groups += (bytes[i] >> 4) == 0x3;
        EXPECT_GT(vector_groups, 1000u) << "clusters should be written as vectors";

        EVT3Decoder decoder(1280, 720);
        DecodeLog log;
        testing::attach(decoder, log);
        // Feed in uneven pieces, as a transport would.
        size_t pos = 0;
        std::mt19937 rng{static_cast<unsigned>(seed)};
        while (pos < bytes.size()) {
            const size_t n = std::min(bytes.size() - pos, size_t(rng() % 70000));
            decoder.decode(bytes.data() + pos, bytes.data() + pos + n);
            pos += n;
        }
        const DecodeLog expected = expectedLog(s);
        ASSERT_EQ(log.size(), expected.size());
        EXPECT_TRUE(log == expected) << "seed " << seed;
    }
}

TEST(Evt3Encoder, WritesWhatSensorsWrite) {
    EVT3Encoder encoder(64);
    std::vector<uint8_t> bytes;
    // Four events in one block become a vector group; the block at 32..63 fits a width of 64.
    std::vector<Event2D> v = {Event2D(33, 2, 1, 8193), Event2D(34, 2, 1, 8193), Event2D(40, 2, 1, 8193),
                              Event2D(63, 2, 1, 8193), Event2D(5, 3, 0, 8200)};
    encoder.encode(v.data(), v.data() + v.size(), bytes);
    std::vector<uint16_t> words;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        words.push_back(uint16_t(bytes[i] | (bytes[i + 1] << 8)));
    const std::vector<uint16_t> expected = {0x8002, 0x6001, 0x0002, 0x3800 | 32, 0x4000 | 0x106,
                                            0x4000, 0x5080, 0x6008, 0x0003,      0x2005};
    EXPECT_EQ(words, expected);

    // Time steps: one TIME_HIGH per 4096 us step, then a TIME_LOW.
    bytes.clear();
    encoder.advanceTime(8200 + 3 * 4096, bytes);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x03, 0x80, 0x04, 0x80, 0x05, 0x80, 0x08, 0x60}));

    // A trigger brings time up to date first.
    bytes.clear();
    encoder.encodeTrigger(EventTriggerIn(6, 1, 8200 + 3 * 4096 + 1), bytes);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x09, 0x60, 0x01, 0xA6}));
}

TEST(Evt3Encoder, SkipsCoordinatesThatDoNotFit) {
    EVT3Encoder encoder(1280);
    std::vector<uint8_t> bytes;
    std::vector<Event2D> v = {Event2D(3000, 1, 1, 10), Event2D(1, 4000, 1, 10), Event2D(7, 7, 1, 10)};
    EXPECT_EQ(encoder.encode(v.data(), v.data() + v.size(), bytes), 1u);
    EVT3Decoder decoder(1280, 720);
    DecodeLog log;
    testing::attach(decoder, log);
    decoder.decode(bytes.data(), bytes.data() + bytes.size());
    EXPECT_EQ(eventsOf(log), (std::vector<Event2D>{Event2D(7, 7, 1, 10)}));
}

}  // namespace
}  // namespace zelvan
