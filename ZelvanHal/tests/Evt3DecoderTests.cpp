#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include <sys/mman.h>
#include <unistd.h>

#include "DecodeLog.h"
#include "zelvan/EVT3Decoder.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileHeader.h"

namespace zelvan {
namespace {

using testing::DecodeLog;
using testing::Delivered;

// Appends one 16-bit word, little-endian.
void appendWord(std::vector<uint8_t>& s, uint32_t w) {
    s.push_back(uint8_t(w & 0xFF));
    s.push_back(uint8_t(w >> 8));
}

std::vector<uint8_t> hex(std::initializer_list<int> bytes) {
    std::vector<uint8_t> v;
    for (int b : bytes) v.push_back(static_cast<uint8_t>(b));
    return v;
}

Delivered ev(int x, int y, int p, uint64_t t) {
    return {false, Event2D(uint16_t(x), uint16_t(y), uint8_t(p), t), {}};
}
Delivered tr(int id, int p, uint64_t t) { return {true, {}, EventTriggerIn(int16_t(id), int16_t(p), t)}; }

DecodeLog decodeAll(const std::vector<uint8_t>& bytes, const std::vector<size_t>& cuts = {},
                    bool simd = true) {
    EVT3Decoder decoder(1280, 720, simd);
    DecodeLog log;
    testing::attach(decoder, log);
    size_t pos = 0;
    for (size_t cut : cuts) {
        decoder.decode(bytes.data() + pos, bytes.data() + cut);
        pos = cut;
    }
    decoder.decode(bytes.data() + pos, bytes.data() + bytes.size());
    return log;
}

DecodeLog referenceDecode(const std::vector<uint8_t>& bytes) {
    testing::ReferenceEvt3Decoder ref;
    DecodeLog log;
    testing::attach(ref, log);
    ref.decode(bytes.data(), bytes.data() + bytes.size());
    return log;
}

// The published test vectors of the format, under our decoding rules.
TEST(Evt3Decoder, TestVectors) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        DecodeLog expected;
    };
    std::vector<Case> cases = {
        {"single ADDR_X", hex({0x01, 0x80, 0x34, 0x62, 0x64, 0x00, 0xC8, 0x28}), {ev(200, 100, 1, 4660)}},
        {"vector 12-12-8",
         hex({0x00, 0x80, 0x10, 0x60, 0x05, 0x00, 0x40, 0x38, 0x05, 0x48, 0x01, 0x40, 0x81, 0x50}),
         {ev(64, 5, 1, 16), ev(66, 5, 1, 16), ev(75, 5, 1, 16), ev(76, 5, 1, 16), ev(88, 5, 1, 16),
          ev(95, 5, 1, 16)}},
        {"lone VECT_8",
         hex({0x02, 0x80, 0x05, 0x60, 0xCF, 0x02, 0xF8, 0x34, 0x81, 0x5F, 0x03, 0x28}),
         {ev(1272, 719, 0, 8197), ev(1279, 719, 0, 8197), ev(3, 719, 1, 8197)}},
        {"wrap-around",
         hex({0xFF, 0x8F, 0xFE, 0x6F, 0x01, 0x00, 0x0A, 0x20, 0x00, 0x80,
              0x01, 0x60, 0x0B, 0x28, 0x00, 0x80, 0x02, 0x60, 0x0C, 0x20}),
         {ev(10, 1, 0, 16777214), ev(11, 1, 1, 16777217), ev(12, 1, 0, 16777218)}},
        {"triggers",
         hex({0x10, 0x80, 0x20, 0x60, 0x01, 0xA0, 0x21, 0x60, 0x00, 0xA0, 0x30, 0x60, 0xFF, 0xA1}),
         {tr(0, 1, 65568), tr(0, 0, 65569), tr(1, 1, 65584)}},
        {"others and padding",
         hex({0x00, 0x80, 0x64, 0x60, 0x02, 0x00, 0x14, 0xE0, 0x23, 0xF1, 0x56,
              0xF4, 0x07, 0x70, 0x05, 0x28, 0x99, 0x99, 0xFF, 0xFF, 0x06, 0x20}),
         {ev(5, 2, 1, 100), ev(6, 2, 0, 100)}},
        {"before first TIME_HIGH",
         hex({0x07, 0x00, 0x01, 0x20, 0x50, 0x60, 0x01, 0xA0, 0x03, 0x80, 0x04, 0x00, 0x05, 0x20, 0x10, 0x60,
              0x06, 0x28}),
         {ev(5, 4, 0, 12288), ev(6, 4, 1, 12304)}},
        {"TIME_HIGH repeat and change",
         hex({0x05, 0x80, 0x23, 0x61, 0x09, 0x00, 0x01, 0x20, 0x05, 0x80,
              0x02, 0x20, 0x06, 0x80, 0x03, 0x20, 0x01, 0x60, 0x04, 0x20}),
         {ev(1, 9, 0, 20771), ev(2, 9, 0, 20771), ev(3, 9, 0, 24576), ev(4, 9, 0, 24577)}},
        {"TIME_HIGH glitch",
         hex({0x00, 0x81, 0x10, 0x60, 0x03, 0x00, 0x07, 0x20, 0xFF, 0x80,
              0xFF, 0x6F, 0x08, 0x20, 0x00, 0x81, 0x11, 0x60, 0x09, 0x20}),
         {ev(7, 3, 0, 1048592), ev(8, 3, 0, 1048575), ev(9, 3, 0, 1048593)}},
        {"outside the sensor is delivered",
         hex({0x00, 0x80, 0x00, 0x60, 0xD0, 0x02, 0x01, 0x20, 0x01, 0x00, 0x00, 0x2D, 0xF0, 0x3F, 0xFF,
              0x4F}),
         [] {
             DecodeLog l{ev(1, 720, 0, 0), ev(1280, 1, 1, 0)};
             for (int x = 2032; x <= 2043; ++x) l.push_back(ev(x, 1, 1, 0));
             return l;
         }()},
        {"truncated final byte",
         hex({0x01, 0x80, 0x34, 0x62, 0x64, 0x00, 0xC8, 0x28, 0x2A}),
         {ev(200, 100, 1, 4660)}},
        {"real excerpt",
         hex({0x2D, 0x8B, 0x00, 0x60, 0xC8, 0x00, 0x6A, 0x23, 0x26, 0x2B, 0xC9, 0x00,
              0x72, 0x23, 0x3D, 0x2C, 0xD3, 0x2C, 0xCB, 0x00, 0x21, 0x23, 0xC9, 0x28}),
         {ev(874, 200, 0, 11718656), ev(806, 200, 1, 11718656), ev(882, 201, 0, 11718656),
          ev(1085, 201, 1, 11718656), ev(1235, 201, 1, 11718656), ev(801, 203, 0, 11718656),
          ev(201, 203, 1, 11718656)}},
        {"no row, no base",
         hex({0x00, 0x80, 0x01, 0x60, 0x05, 0x20, 0x02, 0x00, 0x06, 0x20, 0xFF, 0x4F,
              0xFF, 0x4F, 0xFF, 0x50, 0x20, 0x30, 0x03, 0x40, 0x00, 0x40, 0x00, 0x50}),
         {ev(6, 2, 0, 1), ev(32, 2, 0, 1), ev(33, 2, 0, 1)}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeAll(c.bytes), c.expected) << c.name;
        EXPECT_EQ(referenceDecode(c.bytes), c.expected) << c.name << " (reference decoder)";
    }
}

// A stream that exercises every word type, with triggers between events.
std::vector<uint8_t> mixedStream() {
    std::vector<uint8_t> s;
    for (int rep = 0; rep < 3; ++rep) {
        for (auto b : hex({0x05, 0x80, 0x23, 0x61, 0x09, 0x00, 0x01, 0x20, 0x40, 0x38, 0x05, 0x48,
                           0x01, 0x40, 0x81, 0x50, 0x01, 0xA0, 0x14, 0xE0, 0x23, 0xF1, 0x06, 0x80,
                           0x03, 0x20, 0xF8, 0x34, 0x81, 0x5F, 0x00, 0xA1, 0x99, 0x99}))
            s.push_back(b);
    }
    return s;
}

TEST(Evt3Decoder, SplitAtAnyByteGivesTheSameDeliveries) {
    const auto stream = mixedStream();
    const DecodeLog whole = decodeAll(stream);
    ASSERT_GT(eventsOf(whole).size(), 20u);
    ASSERT_EQ(triggersOf(whole).size(), 6u);
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        EXPECT_EQ(decodeAll(stream, {cut}), whole) << "split at byte " << cut;
    }
    // Byte by byte.
    std::vector<size_t> every;
    for (size_t i = 1; i < stream.size(); ++i) every.push_back(i);
    EXPECT_EQ(decodeAll(stream, every), whole);
}

TEST(Evt3Decoder, TriggersArriveBetweenTheSpansAroundThem) {
    // Event, trigger, event at the same time: the first event must be delivered before the trigger.
    const auto bytes = hex({0x00, 0x80, 0x01, 0x00, 0x05, 0x20, 0x01, 0xA0, 0x06, 0x20});
    EXPECT_EQ(decodeAll(bytes), (DecodeLog{ev(5, 1, 0, 0), tr(0, 1, 0), ev(6, 1, 0, 0)}));
}

TEST(Evt3Decoder, TimeBaseAndState) {
    EVT3Decoder decoder(1280, 720);
    DecodeLog log;
    testing::attach(decoder, log);
    EXPECT_EQ(decoder.getLastTimestamp(), 0u);

    // With a time base, the first words decode without waiting for TIME_HIGH; rows still must be seen.
    const uint64_t base = 3 * (uint64_t(1) << 24) + 0x123456;
    decoder.setTimeBase(base);
    EXPECT_EQ(decoder.getLastTimestamp(), base);
    const auto words = hex({0x05, 0x20, 0x07, 0x00, 0x05, 0x20, 0x11, 0x60, 0x01, 0xA1});
    decoder.decode(words.data(), words.data() + words.size());
    const uint64_t t2 = (base & ~uint64_t(0xFFF)) + 0x11;
    EXPECT_EQ(log, (DecodeLog{ev(5, 7, 0, base), tr(1, 1, t2)}));
    EXPECT_EQ(decoder.getLastTimestamp(), t2);
    EXPECT_EQ(decoder.totalEvents(), 1u);
    EXPECT_EQ(decoder.totalTriggers(), 1u);

    // A saved state resumes exactly.
    const auto state = decoder.getState();
    EXPECT_TRUE(state.row_known);
    EXPECT_EQ(state.row, 7u);
    EVT3Decoder other(1280, 720);
    DecodeLog other_log;
    testing::attach(other, other_log);
    other.setState(state);
    log.clear();
    const auto more = hex({0x09, 0x20, 0x60, 0x30, 0x01, 0x40});
    decoder.decode(more.data(), more.data() + more.size());
    other.decode(more.data(), more.data() + more.size());
    EXPECT_EQ(log, other_log);
    EXPECT_EQ(log, (DecodeLog{ev(9, 7, 0, t2), ev(96, 7, 0, t2)}));

    // After a reset the decoder waits for TIME_HIGH again.
    decoder.resetTimeBase();
    log.clear();
    decoder.decode(words.data(), words.data() + words.size());
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(decoder.getLastTimestamp(), 0u);
}

TEST(Evt3Decoder, LongVectorRunsNeverWrapX) {
    // VECT_BASE_X 2000, then thousands of full VECT_12 words push the base past 65535.
    std::vector<uint8_t> s = hex({0x00, 0x80, 0x01, 0x00, 0xD0, 0x37});
    for (int i = 0; i < 6000; ++i) {
        s.push_back(0xFF);
        s.push_back(0x4F);
    }
    const auto log = decodeAll(s);
    ASSERT_FALSE(log.empty());
    uint32_t expected_x = 2000;
    for (const auto& d : log) {
        ASSERT_EQ(d.event.x, expected_x);
        ++expected_x;
    }
    EXPECT_EQ(expected_x, 0x10000u);
    EXPECT_EQ(log, referenceDecode(s));
}

TEST(Evt3Decoder, AgreesWithTheReferenceOnArbitraryBytes) {
    std::mt19937_64 rng(42);
    for (int round = 0; round < 40; ++round) {
        std::vector<uint8_t> bytes(20000 + round);
        for (auto& b : bytes) b = static_cast<uint8_t>(rng());
        // Bias the word types towards the common ones in half of the rounds.
        if (round % 2 == 0) {
            static const uint8_t kTypes[] = {0x00, 0x20, 0x30, 0x40, 0x50, 0x60, 0x80, 0xA0, 0x20, 0x60};
            for (size_t i = 1; i < bytes.size(); i += 2) bytes[i] = (bytes[i] & 0x0F) | kTypes[rng() % 10];
        }
        const auto expected = referenceDecode(bytes);
        EXPECT_EQ(decodeAll(bytes), expected) << "round " << round;
        EXPECT_EQ(decodeAll(bytes, {}, false), expected) << "round " << round << ", plain instructions";
        EXPECT_EQ(decodeAll(bytes, {bytes.size() / 3, bytes.size() / 3 + 1, bytes.size() - 1}), expected);
    }
}

// Vector groups as sensors write them, sparse and dense, between runs of single events: the paths
// that decode whole groups at once must agree with word-by-word decoding.
TEST(Evt3Decoder, VectorGroupsAmongSingleEvents) {
    std::mt19937_64 rng(9);
    std::vector<uint8_t> s = hex({0x00, 0x80});
    auto word = [&s](uint32_t w) { appendWord(s, w); };
    for (int i = 0; i < 20000; ++i) {
        const uint64_t r = rng();
        switch (r % 7) {
            case 0:
                word(uint32_t(rng() % 720));
                break;
            case 1:
                word(0x6000 | uint32_t(rng() & 0xFFF));
                break;
            case 2:
                word(0x8000 | uint32_t((i / 50) & 0xFFF));
                break;
            case 3: {
                const uint32_t bits =
                    (r >> 8) % 3 == 0 ? uint32_t(rng()) : (1u << (rng() % 32)) | (1u << (rng() % 32));
                word(0x3000 | uint32_t((r >> 20) & 0x800) | uint32_t(rng() % 64) * 32);
                word(0x4000 | (bits & 0xFFF));
                word(0x4000 | ((bits >> 12) & 0xFFF));
                word(0x5000 | ((bits >> 24) & 0xFF));
                break;
            }
            default:
                word(0x2000 | uint32_t(rng() & 0xFFF));
                break;
        }
    }
    const auto expected = referenceDecode(s);
    ASSERT_GT(expected.size(), 20000u);
    EXPECT_EQ(decodeAll(s), expected);
    EXPECT_EQ(decodeAll(s, {}, false), expected);
    EXPECT_EQ(decodeAll(s, {s.size() / 2 + 3}), expected);
}

// The events and the triggers of a decoding, each in delivery order.
struct Split {
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;
    bool operator==(const Split&) const = default;
};

Split split(const DecodeLog& log) { return {eventsOf(log), triggersOf(log)}; }

// Decodes through decodeInto with arrays of `capacity` entries, the input cut at `cuts`: the bytes a
// call leaves are passed again with the rest of their piece. Every `callback_every`-th call goes
// through decode() instead (0: never), which continues the same stream.
Split decodeIntoArrays(const std::vector<uint8_t>& bytes, size_t capacity,
                       const std::vector<size_t>& cuts = {},
                       EVT3Decoder::Instructions instructions = EVT3Decoder::Instructions::Best,
                       size_t callback_every = 0) {
    EVT3Decoder decoder(1280, 720, instructions);
    Split out;
    decoder.setEventsStreamHandleCallback(
        [&](Event2D* b, Event2D* e) { out.events.insert(out.events.end(), b, e); });
    decoder.setTriggerInCallback([&](EventTriggerIn t) { out.triggers.push_back(t); });
    std::vector<uint16_t> x(capacity), y(capacity);
    std::vector<uint8_t> p(capacity);
    std::vector<uint64_t> t(capacity);
    const EVT3Decoder::EventArrays arrays{x.data(), y.data(), p.data(), t.data(), capacity};
    std::vector<size_t> ends = cuts;
    ends.push_back(bytes.size());
    size_t pos = 0;
    size_t calls = 0;
    for (size_t end : ends) {
        while (pos < end) {
            ++calls;
            if (callback_every != 0 && calls % callback_every == 0) {
                decoder.decode(bytes.data() + pos, bytes.data() + end);
                pos = end;
                continue;
            }
            const auto r = decoder.decodeInto(bytes.data() + pos, bytes.data() + end, arrays);
            EXPECT_LE(r.events, capacity);
            EXPECT_LE(r.bytes, end - pos);
            if (r.bytes == 0) {
                ADD_FAILURE() << "no progress at byte " << pos;
                return out;
            }
            for (size_t i = 0; i < r.events; ++i) out.events.emplace_back(x[i], y[i], p[i], t[i]);
            pos += r.bytes;
        }
    }
    return out;
}

std::vector<uint8_t> randomStream(uint64_t seed, size_t size, bool common_types) {
    std::mt19937_64 rng(seed);
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    if (common_types) {
        static const uint8_t kTypes[] = {0x00, 0x20, 0x30, 0x40, 0x50, 0x60,
                                         0x80, 0xA0, 0x20, 0x60, 0x20, 0x00};
        for (size_t i = 1; i < bytes.size(); i += 2) bytes[i] = (bytes[i] & 0x0F) | kTypes[rng() % 12];
    }
    return bytes;
}

// The cases that name an instruction set this processor lacks run the widest loop below it, and pass all
// the same: this case says so by being skipped, so that nobody takes such a run for a check of that loop.
TEST(Evt3Decoder, UsesTheWidestInstructionsAskedForThatThisProcessorHas) {
    using I = EVT3Decoder::Instructions;
    EXPECT_EQ(EVT3Decoder(1280, 720, I::Plain).instructions(), I::Plain);
    EXPECT_EQ(EVT3Decoder(1280, 720, false).instructions(), I::Plain);
    const I best = EVT3Decoder(1280, 720, I::Best).instructions();
    EXPECT_EQ(EVT3Decoder(1280, 720, true).instructions(), best);
    EXPECT_EQ(EVT3Decoder(1280, 720, I::Avx2).instructions(), best == I::Plain ? I::Plain : I::Avx2);
#if defined(__x86_64__)
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
    const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
                        __builtin_cpu_supports("avx512cd");
    EXPECT_EQ(best, avx512 ? I::Avx512 : avx2 ? I::Avx2 : I::Plain);
#endif
    if (best == I::Plain)
        GTEST_SKIP()
            << "no AVX2 + BMI2 on this processor: the cases naming AVX2 or AVX-512 ran the plain loop";
    if (best == I::Avx2)
        GTEST_SKIP() << "no AVX-512 on this processor: the cases naming it ran the AVX2 loop";
}

TEST(Evt3Decoder, EveryInstructionSetAgreesWithTheReference) {
    using I = EVT3Decoder::Instructions;
    // Streams from time 0 reach about 2^31 us; the last six rounds start from time bases that set the
    // high bits.
    const uint64_t kHighBases[] = {uint64_t(1) << 32,     (uint64_t(1) << 40) | 0x123456,
                                   0xFFFFFFFFFF000ABCull, 0x8000000000000000ull,
                                   0x0123456789ABCDEFull, 0xFFFF0000ull};
    for (int round = 0; round < 12; ++round) {
        const auto bytes = randomStream(100 + round, 30000 + round, round % 3 != 0);
        const uint64_t base = round < 6 ? 0 : kHighBases[round - 6];
        testing::ReferenceEvt3Decoder ref;
        DecodeLog expected;
        testing::attach(ref, expected);
        if (base != 0) ref.setTimeBase(base);
        ref.decode(bytes.data(), bytes.data() + bytes.size());
        for (I ins : {I::Plain, I::Avx2, I::Avx512}) {
            EVT3Decoder decoder(1280, 720, ins);
            if (base != 0) decoder.setTimeBase(base);
            DecodeLog log;
            testing::attach(decoder, log);
            const size_t cut = bytes.size() / 2 + size_t(round);
            decoder.decode(bytes.data(), bytes.data() + cut);
            decoder.decode(bytes.data() + cut, bytes.data() + bytes.size());
            EXPECT_EQ(log, expected) << "round " << round << ", instructions " << int(ins);
        }
    }
}

TEST(Evt3Decoder, DecodeIntoArraysAgreesWithTheReference) {
    using I = EVT3Decoder::Instructions;
    std::mt19937_64 rng(5);
    for (int round = 0; round < 16; ++round) {
        const auto bytes = randomStream(200 + round, 20000 + round, round % 4 != 0);
        const Split expected = split(referenceDecode(bytes));
        for (size_t capacity :
             {size_t(12), size_t(13), size_t(31), size_t(100), size_t(4096), size_t(50000)}) {
            std::vector<size_t> cuts;
            for (size_t c = rng() % 3000; c < bytes.size(); c += 1 + rng() % 3000) cuts.push_back(c);
            EXPECT_EQ(decodeIntoArrays(bytes, capacity, cuts), expected) << round << " " << capacity;
            EXPECT_EQ(decodeIntoArrays(bytes, capacity, cuts, I::Plain), expected)
                << round << " " << capacity;
            EXPECT_EQ(decodeIntoArrays(bytes, capacity, {}, I::Avx2, 3), expected)
                << round << " " << capacity;
        }
    }
}

TEST(Evt3Decoder, DecodeIntoArraysSplitAtAnyByte) {
    const auto stream = mixedStream();
    const Split expected = split(referenceDecode(stream));
    ASSERT_GT(expected.events.size(), 20u);
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        EXPECT_EQ(decodeIntoArrays(stream, 12, {cut}), expected) << "split at byte " << cut;
        EXPECT_EQ(decodeIntoArrays(stream, 1000, {cut}), expected) << "split at byte " << cut;
    }
    std::vector<size_t> every;
    for (size_t i = 1; i < stream.size(); ++i) every.push_back(i);
    EXPECT_EQ(decodeIntoArrays(stream, 12, every), expected);
}

// Full vector groups after a lone vector word that filled the span to its last slots.
TEST(Evt3Decoder, DecodeIntoArraysWithBusyVectors) {
    std::mt19937_64 rng(3);
    std::vector<uint8_t> s = hex({0x00, 0x80, 0x01, 0x00});
    auto word = [&s](uint32_t w) { appendWord(s, w); };
    for (int i = 0; i < 40000; ++i) {
        const uint32_t mask = uint32_t(rng() | rng());
        if (i % 7 == 0) word(0x4000 | (mask & 0xFFF));
        word(0x3000 | uint32_t(rng() % 40) * 32);
        word(0x4000 | (mask & 0xFFF));
        word(0x4000 | ((mask >> 12) & 0xFFF));
        word(0x5000 | ((mask >> 24) & 0xFF));
    }
    const Split expected = split(referenceDecode(s));
    for (size_t capacity : {size_t(12), size_t(4113), size_t(65536)}) {
        EXPECT_EQ(decodeIntoArrays(s, capacity), expected) << capacity;
    }
    EXPECT_EQ(split(decodeAll(s)), expected);
}

// Vector groups of zero to five pixels at every place of a 16-word block (also reaching into the next
// block), with any base (near the end of the 11-bit range too), next to each other, to singles, to
// triggers, to words that change nothing and to a repeated, changing and wrapping TIME_HIGH: every
// instruction set gives the reference's events in order, through both entry points.
TEST(Evt3Decoder, SparseVectorGroupsAtEveryPlaceOfABlock) {
    std::mt19937_64 rng(23);
    std::vector<uint8_t> s = hex({0x00, 0x80, 0x05, 0x00});
    auto word = [&s](uint32_t w) { appendWord(s, w); };
    auto group = [&](uint32_t base, int pixels) {
        uint32_t bits = 0;
        while (__builtin_popcount(bits) < pixels) bits |= 1u << (rng() % 32);
        word(0x3000 | uint32_t(rng() & 0x800) | base);
        word(0x4000 | (bits & 0xFFF));
        word(0x4000 | ((bits >> 12) & 0xFFF));
        word(0x5000 | ((bits >> 24) & 0xFF));
    };
    uint32_t th = 0;
    for (int round = 0; round < 400; ++round) {
        for (int lead = 0; lead < 16 + round % 17; ++lead) {
            switch (rng() % 8) {
                case 0:
                    word(uint32_t(rng() % 720) | uint32_t(rng() & 0x800));  // bit 11 is not part of the row
                    break;
                case 1:
                    word(0x6000 | uint32_t(rng() & 0xFFF));
                    break;
                case 2:
                    if (rng() % 2 != 0) {
                        word(0x8000 | th);  // a repeated TIME_HIGH
                    } else {
                        static const uint32_t kIgnored[] = {0x1, 0x7, 0x9, 0xB, 0xC, 0xD, 0xE, 0xF};
                        word((kIgnored[rng() % 8] << 12) | uint32_t(rng() & 0xFFF));
                    }
                    break;
                default:
                    word(0x2000 | uint32_t(rng() & 0xFFF));
                    break;
            }
        }
        const uint32_t base = round % 5 == 0 ? 0x7FF - uint32_t(rng() % 48) : uint32_t(rng() % 0x800);
        group(base, round % 6);
        // A lone VECT_12 or VECT_8 goes on from the group before: its base and polarity.
        if (round % 4 == 1) word((round % 8 == 1 ? 0x4000 : 0x5000) | 0x1 | uint32_t(rng() & 0xFE));
        if (round % 3 == 0) group(uint32_t(rng() % 64) * 32, 1 + round % 4);
        if (round % 7 == 0) word(0xA000 | uint32_t(rng() & 0xF01));
        if (round % 11 == 0) {
            th = (th + 700) & 0xFFF;  // wraps around every few changes
            word(0x8000 | th);
        }
    }
    const DecodeLog expected = referenceDecode(s);
    ASSERT_GT(eventsOf(expected).size(), 7000u);
    using I = EVT3Decoder::Instructions;
    for (I ins : {I::Plain, I::Avx2, I::Avx512}) {
        for (size_t cut : {size_t(0), s.size() / 3 + 1}) {
            EVT3Decoder decoder(1280, 720, ins);
            DecodeLog log;
            testing::attach(decoder, log);
            decoder.decode(s.data(), s.data() + cut);
            decoder.decode(s.data() + cut, s.data() + s.size());
            EXPECT_EQ(log, expected) << "instructions " << int(ins) << ", cut " << cut;
        }
        for (size_t capacity : {size_t(12), size_t(29), size_t(4096)}) {
            EXPECT_EQ(decodeIntoArrays(s, capacity, {s.size() / 2 + 1}, ins), split(expected))
                << "instructions " << int(ins) << ", capacity " << capacity;
        }
    }
}

// The decoder reads no byte past the end of its input, whatever the instructions: each piece of a stream
// of every word kind (vector groups and triggers at every place of a block, pieces that cut groups) is
// decoded from the end of a readable page followed by one that cannot be read.
TEST(Evt3Decoder, NeverReadsPastTheEndOfItsInput) {
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    void* const mapped =
        ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    uint8_t* const limit = static_cast<uint8_t*>(mapped) + page;
    ASSERT_EQ(::mprotect(limit, page, PROT_NONE), 0);
    std::mt19937_64 rng(41);
    std::vector<uint8_t> s = hex({0x00, 0x80, 0x05, 0x00});
    for (int round = 0; round < 3000; ++round) {
        const uint32_t r = static_cast<uint32_t>(rng());
        switch (r % 6) {
            case 0:  // a whole vector group, sparse or busy
                appendWord(s, 0x3000 | (r >> 8 & 0x8FF));
                appendWord(s, 0x4000 | (r % 3 == 0 ? 0xFFF : 0x104));
                appendWord(s, 0x4000 | (r >> 16 & 0x3));
                appendWord(s, 0x5000 | (r >> 20 & 0xFF));
                break;
            case 1:
                appendWord(s, r >> 8 & 0x2FF);  // a row
                break;
            case 2:
                appendWord(s, (r % 5 == 0 ? 0xA000 : 0x6000) | (r >> 8 & 0xFFF));
                break;
            default:
                appendWord(s, 0x2000 | (r >> 8 & 0xFFF));
                break;
        }
    }
    const DecodeLog expected = referenceDecode(s);
    using I = EVT3Decoder::Instructions;
    // Many ways of cutting, so that pieces end inside groups at every place of a block.
    for (I ins : {I::Plain, I::Avx2, I::Avx512}) {
        for (uint64_t seed = 0; seed < 32; ++seed) {
            EVT3Decoder decoder(1280, 720, ins);
            DecodeLog log;
            testing::attach(decoder, log);
            std::mt19937_64 cuts(seed);
            for (size_t pos = 0; pos < s.size();) {
                const size_t n = std::min<size_t>(s.size() - pos, 1 + cuts() % 97);
                std::memcpy(limit - n, s.data() + pos, n);
                decoder.decode(limit - n, limit);
                pos += n;
            }
            EXPECT_EQ(log, expected) << "instructions " << int(ins) << ", cuts " << seed;
        }
    }
    ::munmap(mapped, 2 * page);
}

// External triggers at every place of a 16-word block, in bursts longer than the list the fast loop
// keeps, next to vector groups and TIME_HIGH changes: each trigger arrives after exactly the events
// before it, whatever the instructions, the pieces of input and the entry point.
TEST(Evt3Decoder, TriggersAtEveryPlaceOfABlock) {
    // From time 0, and from just before the 24-bit time wraps around (triggers after the wrap carry
    // the higher time).
    for (const uint32_t th0 : {0u, 0xFFDu}) {
        SCOPED_TRACE(th0);
        std::mt19937_64 rng(17);
        std::vector<uint8_t> s = hex({uint8_t(th0 & 0xFF), uint8_t(0x80 | (th0 >> 8)), 0x05, 0x00});
        auto word = [&s](uint32_t w) { appendWord(s, w); };
        auto common = [&](int n) {
            for (int i = 0; i < n; ++i) {
                const uint64_t r = rng();
                switch (r % 6) {
                    case 0:
                        word(uint32_t((r >> 8) % 720));
                        break;
                    case 1:
                        word(0x6000 | uint32_t((r >> 8) & 0xFFF));
                        break;
                    default:
                        word(0x2000 | uint32_t((r >> 8) & 0xFFF));
                        break;
                }
            }
        };
        uint32_t th = th0;
        for (int round = 0; round < 6; ++round) {
            for (int gap = 0; gap < 40; ++gap) {
                common(gap);
                word(0xA000 | uint32_t(rng() & 0xF01));
                if (gap % 5 == 0) word(0xA000 | uint32_t(rng() & 0xF01));
                if (gap % 7 == 0) word(0x8000 | th);  // a repeated TIME_HIGH
                if (gap % 9 == 0) {
                    const uint32_t bits = uint32_t(rng());
                    word(0x3000 | uint32_t(rng() % 40) * 32);
                    word(0x4000 | (bits & 0xFFF));
                    word(0x4000 | ((bits >> 12) & 0xFFF));
                    word(0x5000 | ((bits >> 24) & 0xFF));
                    word(0xA001);
                }
            }
            // A burst of triggers, then singles between triggers.
            for (int i = 0; i < 150; ++i) word(0xA000 | uint32_t(i & 1) | uint32_t((i % 3) << 8));
            for (int i = 0; i < 150; ++i) {
                word(0x2000 | uint32_t(i));
                word(0xA100 | uint32_t(i & 1));
            }
            th = (th + 1) & 0xFFF;
            word(0x8000 | th);
            word(0x6000 | uint32_t(rng() & 0xFFF));
        }
        const DecodeLog expected = referenceDecode(s);
        ASSERT_GT(triggersOf(expected).size(), 1500u);
        EXPECT_EQ(decodeAll(s), expected);
        EXPECT_EQ(decodeAll(s, {}, false), expected);
        for (size_t cut = 1; cut < s.size(); cut += 7) {
            ASSERT_EQ(decodeAll(s, {cut}), expected) << "split at byte " << cut;
        }
        std::vector<size_t> pieces;
        for (size_t c = 33; c < s.size(); c += 33) pieces.push_back(c);
        EXPECT_EQ(decodeAll(s, pieces), expected);
        const Split expected_split = split(expected);
        for (size_t capacity : {size_t(12), size_t(17), size_t(100), size_t(4096)}) {
            EXPECT_EQ(decodeIntoArrays(s, capacity), expected_split) << capacity;
            EXPECT_EQ(decodeIntoArrays(s, capacity, pieces), expected_split) << capacity;
            EXPECT_EQ(decodeIntoArrays(s, capacity, pieces, EVT3Decoder::Instructions::Best, 3),
                      expected_split)
                << capacity;
            EXPECT_EQ(decodeIntoArrays(s, capacity, {}, EVT3Decoder::Instructions::Avx2, 3), expected_split)
                << capacity;
        }
        // The decoder's counters agree.
        EVT3Decoder decoder(1280, 720);
        decoder.decode(s.data(), s.data() + s.size());
        EXPECT_EQ(decoder.totalTriggers(), triggersOf(expected).size());
        EXPECT_EQ(decoder.totalEvents(), eventsOf(expected).size());
        if (th0 != 0) {
            EXPECT_GT(triggersOf(expected).back().timestamp, uint64_t(1) << 24);
        }
    }
}

TEST(Evt3Decoder, DecodeIntoArraysStopsBeforeAWordThatDoesNotFit) {
    // TIME_HIGH, ADDR_Y 1, ADDR_X 9, VECT_BASE_X 0, VECT_12 with all 12 pixels, ADDR_X 9.
    const auto bytes = hex({0x00, 0x80, 0x01, 0x00, 0x09, 0x20, 0x00, 0x30, 0xFF, 0x4F, 0x09, 0x20});
    EVT3Decoder decoder(1280, 720);
    uint16_t x[12], y[12];
    uint8_t p[12];
    uint64_t t[12];
    const EVT3Decoder::EventArrays twelve{x, y, p, t, 12};
    // One event, then the vector's twelve no longer fit: the base word (no event) is still taken.
    auto r = decoder.decodeInto(bytes.data(), bytes.data() + bytes.size(), twelve);
    EXPECT_EQ(r.events, 1u);
    EXPECT_EQ(r.bytes, 8u);
    EXPECT_EQ(x[0], 9u);
    // The vector fills the arrays exactly; the last event waits for the next call.
    r = decoder.decodeInto(bytes.data() + 8, bytes.data() + bytes.size(), twelve);
    EXPECT_EQ(r.events, 12u);
    EXPECT_EQ(r.bytes, 2u);
    EXPECT_EQ(x[0], 0u);
    EXPECT_EQ(x[11], 11u);
    EXPECT_EQ(y[11], 1u);
    r = decoder.decodeInto(bytes.data() + 10, bytes.data() + bytes.size(), twelve);
    EXPECT_EQ(r.events, 1u);
    EXPECT_EQ(r.bytes, 2u);
    EXPECT_EQ(decoder.totalEvents(), 14u);
}

TEST(Evt3Decoder, DecodeIntoRefusesArraysTooSmallForOneWord) {
    // A vector word of 12 events could never fit arrays of 11: every call would stop before it.
    const auto bytes = hex({0x00, 0x80, 0x01, 0x00, 0x00, 0x30, 0xFF, 0x4F});
    EVT3Decoder decoder(1280, 720);
    uint16_t x[11], y[11];
    uint8_t p[11];
    uint64_t t[11];
    const EVT3Decoder::EventArrays eleven{x, y, p, t, 11};
    EXPECT_THROW((void)decoder.decodeInto(bytes.data(), bytes.data() + bytes.size(), eleven),
                 std::invalid_argument);
    // Nothing was taken: the stream goes on through decode().
    size_t events = 0;
    decoder.setEventsStreamHandleCallback(
        [&](Event2D* first, Event2D* last) { events += size_t(last - first); });
    decoder.decode(bytes.data(), bytes.data() + bytes.size());
    EXPECT_EQ(events, 12u);
}

TEST(Evt3Decoder, ATriggerCallbackThatThrowsLeavesTheArraysBehind) {
    // TIME_HIGH, ADDR_Y, an event, an external trigger, an event.
    const auto bytes = hex({0x00, 0x80, 0x01, 0x00, 0x09, 0x20, 0x01, 0xA0, 0x0A, 0x20});
    EVT3Decoder decoder(1280, 720);
    bool thrown = false;
    decoder.setTriggerInCallback([&](EventTriggerIn) {
        if (!thrown) {
            thrown = true;
            throw std::runtime_error("trigger consumer failed");
        }
    });
    std::vector<uint16_t> x(12, 0xFFFF), y(12), events_x;
    std::vector<uint8_t> p(12);
    std::vector<uint64_t> t(12);
    const EVT3Decoder::EventArrays arrays{x.data(), y.data(), p.data(), t.data(), 12};
    EXPECT_THROW((void)decoder.decodeInto(bytes.data(), bytes.data() + bytes.size(), arrays),
                 std::runtime_error);
    x.assign(12, 0xFFFF);
    decoder.setEventsStreamHandleCallback([&](Event2D* first, Event2D* last) {
        for (const Event2D* e = first; e != last; ++e) events_x.push_back(e->x);
    });
    // The stream given again from its start: the events of decode() go to its callback, never into
    // the arrays of the call that threw.
    decoder.decode(bytes.data(), bytes.data() + bytes.size());
    EXPECT_EQ(events_x, (std::vector<uint16_t>{9, 10}));
    EXPECT_EQ(x, std::vector<uint16_t>(12, 0xFFFF));
}

// Every recording of the test data, whole and in pieces, through both entry points.
TEST(Evt3Decoder, RecordingsDecodeAlikeThroughEveryEntryPoint) {
    const std::filesystem::path dir = ZELVAN_TESTDATA_DIR;
    std::error_code ec;
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (entry.path().extension() != ".raw") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        RawFileHeader header;
        std::string error;
        // A file of another format is decoded whole as EVT 3.0 words: arbitrary bytes, as a test.
        const bool evt3 = readRawFileHeader(in, header, error);
        in.clear();
        in.seekg(evt3 ? std::streamoff(header.payload_offset) : std::streamoff(0));
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
        ++files;
        const DecodeLog expected = referenceDecode(bytes);
        EXPECT_EQ(decodeAll(bytes), expected) << entry.path();
        EXPECT_EQ(decodeAll(bytes, {bytes.size() / 3 + 1, bytes.size() / 2}, false), expected)
            << entry.path();
        const Split parts = split(expected);
        EXPECT_EQ(decodeIntoArrays(bytes, 4096), parts) << entry.path();
        EXPECT_EQ(decodeIntoArrays(bytes, 777, {bytes.size() / 3 + 1, bytes.size() / 2}), parts)
            << entry.path();
    }
    if (files == 0) GTEST_SKIP() << "no recordings in " << dir;
}

TEST(Evt3Decoder, LargeInputIsHandedOutInBoundedSpans) {
    std::vector<uint8_t> s = hex({0x00, 0x80, 0x01, 0x00, 0x00, 0x30});
    for (int i = 0; i < 20000; ++i) {
        for (auto b : {0x00, 0x30, 0xFF, 0x4F, 0xFF, 0x4F, 0xFF, 0x50}) s.push_back(uint8_t(b));
    }
    EVT3Decoder decoder(1280, 720);
    size_t total = 0;
    size_t largest = 0;
    decoder.setEventsStreamHandleCallback([&](Event2D* b, Event2D* e) {
        total += size_t(e - b);
        largest = std::max(largest, size_t(e - b));
    });
    decoder.decode(s.data(), s.data() + s.size());
    EXPECT_EQ(total, 20000u * 32u);
    EXPECT_LE(largest, EVT3Decoder::kSpanCapacity);
    EXPECT_EQ(decoder.totalEvents(), total);
}

TEST(Evt3Decoder, PreprocessFindsTriggersWithoutTouchingEventState) {
    const auto bytes =
        hex({0x10, 0x80, 0x20, 0x60, 0x01, 0xA0, 0x21, 0x60, 0x00, 0xA0, 0x30, 0x60, 0xFF, 0xA1});
    EVT3Decoder decoder(1280, 720);
    std::vector<EventTriggerIn> found;
    decoder.preprocessEventData(bytes.data(), bytes.data() + 5, found);
    decoder.preprocessEventData(bytes.data() + 5, bytes.data() + bytes.size(), found);
    EXPECT_EQ(found, (std::vector<EventTriggerIn>{EventTriggerIn(0, 1, 65568), EventTriggerIn(0, 0, 65569),
                                                  EventTriggerIn(1, 1, 65584)}));
    EXPECT_EQ(decoder.getLastTimestamp(), 0u);
    DecodeLog log;
    testing::attach(decoder, log);
    decoder.decode(bytes.data(), bytes.data() + bytes.size());
    EXPECT_EQ(triggersOf(log), found);
}

TEST(DecoderFactory, FormatTexts) {
    auto d = DecoderFactory::createUniqueDecoder("EVT3;height=320;width=320");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->getWidth(), 320);
    EXPECT_EQ(d->getHeight(), 320);
    EXPECT_EQ(d->getRawEventSizeBytes(), 2u);
    auto spaced = DecoderFactory::createUniqueDecoder("EVT3; height = 720; width = 1280");
    ASSERT_NE(spaced, nullptr);
    EXPECT_EQ(spaced->getWidth(), 1280);

    ScopedLogCapture capture;
    EXPECT_EQ(DecoderFactory::createUniqueDecoder("EVT2;height=720;width=1280"), nullptr);
    EXPECT_EQ(DecoderFactory::createUniqueDecoder(""), nullptr);
    EXPECT_EQ(DecoderFactory::createUniqueDecoder("EVT3;height=-4;width=1280"), nullptr);
    ASSERT_EQ(capture.sink().lines().size(), 3u);
    for (const auto& line : capture.sink().lines()) EXPECT_EQ(line.level, LOG_ERROR);

    RawEventStreamFormat f;
    ASSERT_TRUE(RawEventStreamFormat::parse("EVT3;width=640;height=480", f));
    EXPECT_EQ(f.toString(), "EVT3;height=480;width=640");
}

TEST(Decoder, OptionsDoNotChangeDecoding) {
    const auto bytes = mixedStream();
    EVT3Decoder decoder(1280, 720);
    decoder.setTimestampInput(123456);
    decoder.setOption(true);
    EXPECT_EQ(decoder.getTimestampInput(), 123456u);
    EXPECT_TRUE(decoder.getOption());
    DecodeLog log;
    testing::attach(decoder, log);
    decoder.decode(bytes.data(), bytes.data() + bytes.size());
    EXPECT_EQ(log, decodeAll(bytes));
}

TEST(BinarySearchTimestamp, SplitsBeforeTheFirstEventAtOrAfterT) {
    std::vector<Event2D> v;
    for (uint64_t t : {10, 20, 20, 20, 30, 40}) v.emplace_back(0, 0, 0, t);
    Event2D* b = v.data();
    Event2D* e = v.data() + v.size();
    EXPECT_EQ(binarySearchTimestamp(20, b, e), b + 1);  // equal timestamps go to the second half
    EXPECT_EQ(binarySearchTimestamp(21, b, e), b + 4);
    EXPECT_EQ(binarySearchTimestamp(0, b, e), b);
    EXPECT_EQ(binarySearchTimestamp(41, b, e), e);
    EXPECT_EQ(binarySearchTimestamp(5, b, b), b);
    const Event2D* cb = b;
    EXPECT_EQ(binarySearchTimestamp(30, cb, cb + v.size()), cb + 4);
}

}  // namespace
}  // namespace zelvan
