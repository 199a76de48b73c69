#include <gtest/gtest.h>
#include <algorithm>

#include <chrono>
#include <thread>

#include "SimTestUtil.h"
#include "zelvan/EventStream.h"
#include "zelvan/Interface.h"
#include "zelvan/Logger.h"
#include "zelvan/sim/SimDevice.h"

namespace zelvan {
namespace {

using sim::SimDeviceConfig;
using sim::SimulatedCameras;
using testing::DecodeLog;
using testing::kWrap;
using testing::ObservedLog;
using testing::StreamDecoder;
using testing::testCamera;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr uint32_t kBufferBytes = 131072;
constexpr auto kGenerous = seconds(20);  // for conditions that normally hold within milliseconds

// An opened camera with an event stream over it, as a sensor builds it.
struct Rig {
    explicit Rig(const SimDeviceConfig& config, uint32_t buffer_bytes = kBufferBytes, uint32_t depth = 20) {
        device = SimulatedCameras::instance().add(config);
        if (!device) return;
        if (config.description.interfaceType == ETH) {
            interface = EthInterface::createEthInterface(device->description());
        } else {
            interface = UsbInterface::createUsbInterface(device->description());
        }
        stream = std::make_unique<EventStream>(
            createDataTransferUniquePtr(interface, 2, buffer_bytes, depth, kEventEndpoint));
        observed.attachTo(*device);
    }
    ~Rig() {
        stream.reset();
        SimulatedCameras::instance().remove(device ? device->config().description.serial : "");
    }

    // Reads one buffer if one comes within the stream's bounded wait.
    bool readOne() {
        if (stream->waitNextBuffer() <= 0) return false;
        auto buffer = stream->getLatestBuffer();
        if (!buffer) return false;
        max_buffer = std::max(max_buffer, (*buffer)->size());
        min_capacity = std::min(min_capacity, (*buffer)->capacity());
        odd_sized = odd_sized || (*buffer)->size() % 2 != 0;
        received_bytes += (*buffer)->size();
        ++buffers;
        decoder.feed(**buffer);
        return true;
    }

    // Reads until `done` holds or the generous deadline passes; returns `done()`.
    template <typename Pred>
    bool readUntil(Pred done) {
        const auto deadline = Clock::now() + kGenerous;
        while (!done() && Clock::now() < deadline) readOne();
        return done();
    }

    std::shared_ptr<sim::SimDevice> device;
    std::shared_ptr<Interface> interface;
    std::unique_ptr<EventStream> stream;
    ObservedLog observed;
    StreamDecoder decoder;
    size_t received_bytes = 0;
    size_t buffers = 0;
    size_t max_buffer = 0;
    size_t min_capacity = SIZE_MAX;
    bool odd_sized = false;
};

class EventStreamTest : public ::testing::Test {
protected:
    void SetUp() override { SimulatedCameras::instance().reset({}); }
    void TearDown() override { SimulatedCameras::instance().restoreDefault(); }
};

// The decoded stream is what the device says it emitted, in order, with nothing lost.
::testing::AssertionResult receivedEverythingInOrder(const Rig& rig) {
    const DecodeLog observed = rig.observed.snapshot();
    const DecodeLog& decoded = rig.decoder.log;
    if (decoded.size() > observed.size()) return ::testing::AssertionFailure() << "decoded more than emitted";
    for (size_t i = 0; i < decoded.size(); ++i) {
        if (!(decoded[i] == observed[i])) {
            return ::testing::AssertionFailure()
                   << "entry " << i << ": decoded " << decoded[i] << ", emitted " << observed[i];
        }
    }
    return ::testing::AssertionSuccess();
}

// For paced devices, whose consumer may fall behind on a loaded machine: with nothing lost the decoded
// stream is everything emitted, otherwise it is what was emitted with whole pieces left out.
::testing::AssertionResult consistentWithLosses(const Rig& rig) {
    if (rig.stream->lostBuffers() == 0) return receivedEverythingInOrder(rig);
    if (testing::isSubsequence(rig.decoder.log, rig.observed.snapshot()))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "decoded entries that were not emitted in this order";
}

// --- Content ---

TEST_F(EventStreamTest, UnpacedStreamDecodesToEverythingEmittedAcrossTheWrap) {
    auto config = testCamera("u1", 500'000, /*paced=*/false);
    config.start_time_us = kWrap - 150'000;
    config.trigger_period_us = 2000;
    Rig rig(config);
    ASSERT_NE(rig.stream, nullptr);
    rig.device->writeRegister(sim::reg::kTriggerIn, 1u << 10);
    rig.device->writeRegister(sim::reg::kReadoutControl, 0);
    rig.stream->start();
    ASSERT_TRUE(rig.readUntil([&] { return rig.decoder.decoder.getLastTimestamp() > kWrap + 150'000; }));
    rig.stream->stop();

    EXPECT_TRUE(receivedEverythingInOrder(rig));
    const auto events = testing::eventsOf(rig.decoder.log);
    const auto triggers = testing::triggersOf(rig.decoder.log);
    ASSERT_GT(events.size(), 100'000u);
    EXPECT_LT(events.front().timestamp, kWrap);
    EXPECT_GT(events.back().timestamp, kWrap + 100'000);
    EXPECT_GE(triggers.size(), 299u);
    EXPECT_EQ(rig.stream->lostBuffers(), 0u);
    EXPECT_LE(rig.max_buffer, kBufferBytes);
    EXPECT_GE(rig.min_capacity, kBufferBytes);
    EXPECT_FALSE(rig.odd_sized);
}

TEST_F(EventStreamTest, UnpacedReplayOfEncodedWordsLoopsTheRecordingWithNothingLost) {
    const std::string path = testing::recordPattern("stream_encoded_replay.raw", 2'000'000, 40, 500);
    auto config = testCamera("u8", 5'000'000, /*paced=*/false);
    config.scene = sim::SceneKind::Replay;
    config.replay_path = path;
    config.replay_encoded = true;
    config.start_time_us = kWrap - 50'000;
    Rig rig(config);
    ASSERT_NE(rig.stream, nullptr);
    ASSERT_EQ(rig.device->sceneError(), "");
    rig.device->writeRegister(sim::reg::kReadoutControl, 0);
    rig.stream->start();
    ASSERT_TRUE(rig.readUntil([&] { return rig.decoder.decoder.getLastTimestamp() > kWrap + 100'000; }));
    rig.stream->stop();

    EXPECT_TRUE(receivedEverythingInOrder(rig));
    // About seven passes of 20 ms, each holding about 40 000 events.
    EXPECT_GT(testing::eventsOf(rig.decoder.log).size(), 200'000u);
    EXPECT_EQ(rig.stream->lostBuffers(), 0u);
    EXPECT_LE(rig.max_buffer, kBufferBytes);
    EXPECT_FALSE(rig.odd_sized);
}

TEST_F(EventStreamTest, PacedStreamFollowsTheWallClock) {
    Rig rig(testCamera("u2", 20'000, /*paced=*/true));
    rig.device->writeRegister(sim::reg::kReadoutControl, 0);
    const uint64_t start_clock = rig.device->clock();
    const auto wall_start = Clock::now();
    rig.stream->start();
    ASSERT_TRUE(rig.readUntil([&] { return rig.decoder.decoder.getLastTimestamp() >= 200'000; }));
    rig.stream->stop();
    const auto wall =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - wall_start).count();
    // Device time never runs ahead of the wall clock by more than the slices a wake-up makes at
    // once (1 ms) and the slice under way (at most 1 ms).
    EXPECT_LE(rig.device->clock() - start_clock, uint64_t(wall) + 2000);
    EXPECT_TRUE(consistentWithLosses(rig));
    // Partly filled buffers go out every few milliseconds of device time.
    EXPECT_GE(rig.buffers, 20u);
}

// --- What starts and stops the stream ---

TEST_F(EventStreamTest, NoStreamBeforeReadoutStartsAndNoneAfterStandby) {
    // Unpaced, so that nothing can be lost and every emitted byte must arrive.
    Rig rig(testCamera("g1", 100'000, /*paced=*/false));
    rig.stream->start();
    EXPECT_EQ(rig.stream->waitNextBuffer(), 0);
    EXPECT_EQ(rig.stream->waitNextBuffer(), 0);
    EXPECT_EQ(rig.device->emittedBytes(), 0u);
    EXPECT_EQ(rig.device->clock(), 0u);

    rig.device->writeRegister(sim::reg::kReadoutControl, 0);
    ASSERT_TRUE(rig.readUntil([&] { return testing::eventsOf(rig.decoder.log).size() > 1000; }));

    rig.device->writeRegister(sim::reg::kReadoutControl, 2);
    const uint64_t emitted = rig.device->emittedBytes();
    const uint64_t clock = rig.device->clock();
    // What was emitted before standby still arrives, then nothing.
    ASSERT_TRUE(rig.readUntil([&] { return rig.received_bytes == emitted; }));
    EXPECT_EQ(rig.stream->waitNextBuffer(), 0);
    EXPECT_EQ(rig.stream->waitNextBuffer(), 0);
    EXPECT_EQ(rig.device->emittedBytes(), emitted);
    EXPECT_EQ(rig.device->clock(), clock);
    EXPECT_TRUE(receivedEverythingInOrder(rig));
    EXPECT_EQ(rig.decoder.log.size(), rig.observed.snapshot().size());

    // Readout again: the stream goes on where it stopped.
    rig.device->writeRegister(sim::reg::kReadoutControl, 0);
    ASSERT_TRUE(rig.readUntil([&] { return rig.device->clock() > clock + 20'000; }));
    EXPECT_TRUE(receivedEverythingInOrder(rig));
}

TEST_F(EventStreamTest, EthernetCameraStreamsOnlyAfterSetEventStream) {
    auto config = testCamera("g2", 100'000, /*paced=*/true);
    config.description.interfaceType = ETH;
    Rig rig(config);
    ASSERT_NE(rig.interface, nullptr);
    auto* eth = dynamic_cast<EthInterface*>(rig.interface.get());
    ASSERT_NE(eth, nullptr);
    rig.device->writeRegister(sim::reg::kReadoutControl, 0);
    rig.stream->start();
    EXPECT_EQ(rig.stream->waitNextBuffer(), 0);
    EXPECT_EQ(rig.device->emittedBytes(), 0u);
    ASSERT_TRUE(eth->setEventStream(true));
    ASSERT_TRUE(rig.readUntil([&] { return !rig.decoder.log.empty(); }));
    EXPECT_TRUE(consistentWithLosses(rig));
}

TEST_F(EventStreamTest, TriggerEdgesOnlyWhileTriggerInputEnabled) {
    auto config = testCamera("g3", 50'000, /*paced=*/false);
    config.trigger_period_us = 1000;
    Rig rig(config);
    rig.device->writeRegister(sim::reg::kReadoutControl, 0);
    rig.stream->start();
    ASSERT_TRUE(rig.readUntil([&] { return rig.decoder.decoder.getLastTimestamp() > 50'000; }));
    EXPECT_TRUE(testing::triggersOf(rig.decoder.log).empty());
    rig.device->writeRegister(sim::reg::kTriggerIn, 1u << 10);
    ASSERT_TRUE(rig.readUntil([&] { return testing::triggersOf(rig.decoder.log).size() >= 10; }));
    rig.stream->stop();
    EXPECT_TRUE(receivedEverythingInOrder(rig));
    for (const auto& t : testing::triggersOf(rig.decoder.log)) {
        EXPECT_EQ(t.id, 0);
        EXPECT_EQ(t.timestamp % 500, 0u);
        EXPECT_EQ(t.polarity, t.timestamp % 1000 == 0 ? 1 : 0);
    }
}

// --- A consumer that falls behind ---

TEST_F(EventStreamTest, PacedConsumerThatStopsReadingLosesWholeBuffersCountedAndLogged) {
    ScopedLogCapture capture(LOG_WARNING);
    Rig rig(testCamera("l1", 1'000'000, /*paced=*/true), 16384, 4);
    rig.device->writeRegister(sim::reg::kReadoutControl, 0);
    rig.stream->start();
    ASSERT_TRUE(rig.readUntil([&] { return rig.buffers >= 2; }));
    // Stop reading until the queue has overflowed a few times.
    const auto deadline = Clock::now() + kGenerous;
    while (rig.stream->lostBuffers() < 5 && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(5));
    ASSERT_GE(rig.stream->lostBuffers(), 5u);
    ASSERT_TRUE(rig.readUntil([&] { return rig.buffers >= 30; }));
    rig.stream->stop();

    EXPECT_TRUE(capture.containsSubstring(LOG_WARNING, "lost"));
    EXPECT_TRUE(capture.containsSubstring(LOG_WARNING, "l1"));
    const DecodeLog observed = rig.observed.snapshot();
    EXPECT_LT(rig.decoder.log.size(), observed.size());
    EXPECT_GT(rig.decoder.log.size(), 1000u);
    // Lost buffers only lose their events: everything decoded was emitted, in the same order.
    EXPECT_TRUE(testing::isSubsequence(rig.decoder.log, observed));
    EXPECT_LE(rig.max_buffer, 16384u);
}

// Each buffer tells how many were lost before it: the buffers that waited in the queue while later
// ones were lost came before those losses.
TEST_F(EventStreamTest, EachBufferTellsTheLossesBeforeIt) {
    Rig rig(testCamera("l3", 1'000'000, /*paced=*/true), 16384, 4);
    rig.device->writeRegister(sim::reg::kReadoutControl, 0);
    rig.stream->start();
    ASSERT_TRUE(rig.readUntil([&] { return rig.buffers >= 2; }));
    const uint64_t before = rig.stream->lostBuffers();
    const auto deadline = Clock::now() + kGenerous;
    while (rig.stream->lostBuffers() < before + 5 && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(5));
    const uint64_t lost = rig.stream->lostBuffers();
    ASSERT_GE(lost, before + 5);
    std::vector<uint64_t> stamps;
    while (stamps.size() < 8 && Clock::now() < deadline) {
        if (rig.stream->waitNextBuffer() <= 0 || !rig.stream->getLatestBuffer()) continue;
        stamps.push_back(rig.stream->lostBeforeLatest());
    }
    rig.stream->stop();
    ASSERT_EQ(stamps.size(), 8u);
    // The four queued while reading stopped, then those made after the losses.
    for (size_t i = 0; i < 4; ++i) EXPECT_LE(stamps[i], before) << i;
    for (size_t i = 4; i < 8; ++i) EXPECT_GE(stamps[i], lost) << i;
    EXPECT_TRUE(std::is_sorted(stamps.begin(), stamps.end()));
    EXPECT_LE(stamps.back(), rig.stream->lostBuffers());
}

TEST_F(EventStreamTest, UnpacedDeviceWaitsForASlowConsumer) {
    Rig rig(testCamera("l2", 2'000'000, /*paced=*/false), 16384, 3);
    rig.device->writeRegister(sim::reg::kReadoutControl, 0);
    rig.stream->start();
    // The queue fills up and the producer waits: a later read still continues the same stream.
    ASSERT_TRUE(rig.readUntil([&] { return rig.buffers >= 1; }));
    const auto deadline = Clock::now() + kGenerous;
    while (rig.stream->waitNextBuffer() < 3 && Clock::now() < deadline) std::this_thread::yield();
    EXPECT_EQ(rig.stream->waitNextBuffer(), 3);
    ASSERT_TRUE(rig.readUntil([&] { return rig.buffers >= 50; }));
    rig.stream->stop();
    EXPECT_EQ(rig.stream->lostBuffers(), 0u);
    EXPECT_TRUE(receivedEverythingInOrder(rig));
}

// --- Unplugging ---

TEST_F(EventStreamTest, UnplugStopsTheStreamPromptlyAndPlugResumesIt) {
    Rig rig(testCamera("x1", 200'000, /*paced=*/true));
    rig.device->writeRegister(sim::reg::kReadoutControl, 0);
    rig.stream->start();
    ASSERT_TRUE(rig.readUntil([&] { return rig.buffers >= 2; }));

    rig.device->unplug();
    EXPECT_FALSE(rig.interface->isConnected());
    EXPECT_EQ(rig.interface->writeRegister(0x9028, 2), -1);
    const auto t0 = Clock::now();
    int result = 1;
    while (result > 0 && Clock::now() - t0 < kGenerous) {
        result = rig.stream->waitNextBuffer();
        if (result > 0) rig.stream->getLatestBuffer();
    }
    EXPECT_LT(result, 0);
    EXPECT_LT(Clock::now() - t0, seconds(2));
    const auto t1 = Clock::now();
    EXPECT_LT(rig.stream->waitNextBuffer(), 0);
    EXPECT_LT(Clock::now() - t1, milliseconds(500));
    EXPECT_FALSE(rig.stream->getLatestBuffer().has_value());

    rig.device->plug();
    EXPECT_TRUE(rig.interface->isConnected());
    EXPECT_EQ(rig.interface->writeRegister(0x1000, 5), 0);
    const size_t buffers_before = rig.buffers;
    const size_t decoded_before = rig.decoder.log.size();
    ASSERT_TRUE(rig.readUntil(
        [&] { return rig.buffers >= buffers_before + 3 && rig.decoder.log.size() > decoded_before; }));
    rig.stream->stop();
    // What was in flight at the unplug is lost; everything decoded was emitted, in order.
    EXPECT_TRUE(testing::isSubsequence(rig.decoder.log, rig.observed.snapshot()));
}

// Buffers still queued when the camera goes are lost with it: counted, and the first buffer after its
// return tells them.
TEST_F(EventStreamTest, BuffersQueuedWhenTheCameraGoesAreCountedLost) {
    Rig rig(testCamera("x4", 2'000'000, /*paced=*/false), 16384, 3);
    rig.device->writeRegister(sim::reg::kReadoutControl, 0);
    rig.stream->start();
    const auto deadline = Clock::now() + kGenerous;
    while (rig.stream->waitNextBuffer() < 3 && Clock::now() < deadline) std::this_thread::yield();
    ASSERT_EQ(rig.stream->waitNextBuffer(), 3);
    rig.device->unplug();
    while (rig.stream->waitNextBuffer() >= 0 && Clock::now() < deadline) std::this_thread::yield();
    EXPECT_EQ(rig.stream->lostBuffers(), 3u);
    rig.device->plug();
    ASSERT_TRUE(rig.readUntil([&] { return rig.buffers >= 1; }));
    EXPECT_EQ(rig.stream->lostBeforeLatest(), 3u);
    rig.stream->stop();
}

// --- Lifecycle ---

TEST_F(EventStreamTest, StartAndStopAreIdempotentAndWakeAWaitingConsumer) {
    Rig rig(testCamera("c1", 100'000, /*paced=*/true));
    EXPECT_EQ(rig.stream->waitNextBuffer(), 0);  // not started
    rig.stream->start();
    rig.stream->start();
    EXPECT_TRUE(rig.stream->isStarted());

    // Standby: a consumer waits; stopping the stream ends its wait.
    std::atomic<bool> waiting{false};
    std::atomic<int> result{1};
    std::thread consumer([&] {
        waiting = true;
        int r = 0;
        while ((r = rig.stream->waitNextBuffer()) == 0 && rig.stream->isStarted()) {
        }
        result = r;
    });
    while (!waiting) std::this_thread::yield();
    rig.stream->stop();
    rig.stream->stop();
    consumer.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_FALSE(rig.stream->isStarted());

    // Restart after stop: data flow again.
    rig.device->writeRegister(sim::reg::kReadoutControl, 0);
    rig.stream->start();
    ASSERT_TRUE(rig.readUntil([&] { return rig.buffers >= 2; }));
    // Destroying a running stream joins its producer.
    rig.stream.reset();
    SUCCEED();
}

TEST_F(EventStreamTest, TwoCamerasStreamIndependently) {
    Rig a(testCamera("m1", 100'000, /*paced=*/false));
    Rig b(testCamera("m2", 300'000, /*paced=*/true));
    a.device->writeRegister(sim::reg::kReadoutControl, 0);
    b.device->writeRegister(sim::reg::kReadoutControl, 0);
    a.stream->start();
    b.stream->start();
    std::thread reader_b(
        [&] { b.readUntil([&] { return b.decoder.decoder.getLastTimestamp() > 100'000; }); });
    ASSERT_TRUE(a.readUntil([&] { return a.decoder.decoder.getLastTimestamp() > 300'000; }));
    reader_b.join();
    a.stream->stop();
    b.stream->stop();
    EXPECT_TRUE(receivedEverythingInOrder(a));
    EXPECT_TRUE(consistentWithLosses(b));
    EXPECT_GT(b.decoder.decoder.getLastTimestamp(), 100'000u);
}

}  // namespace
}  // namespace zelvan
