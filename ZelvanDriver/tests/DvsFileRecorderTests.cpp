#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <thread>

#include "FileRecorder/DvsFileRecorder.h"
#include "FileSizeLimit.h"
#include "zelvan/EVT3Decoder.h"
#include "zelvan/FileHeader.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileHeader.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace zelvan {
namespace {

class RecorderTest : public ::testing::Test {
protected:
    static constexpr size_t kPaddedSize = DvsFileRecorder::kBufferBytes + 2;
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("zelvan-recorder-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A buffer of `size` bytes, each equal to `tag`: lets the test see where every buffer went.
    static std::vector<uint8_t> block(uint8_t tag, size_t size) { return std::vector<uint8_t>(size, tag); }

    static std::string readAll(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    static bool readHeader(const std::string& contents, RawFileHeader& header) {
        std::istringstream in(contents);
        std::string error;
        return readRawFileHeader(in, header, error);
    }

    fs::path dir_;
};

TEST_F(RecorderTest, DirectRecordingKeepsEveryByteInOrder) {
    DvsFileRecorder recorder;
    EXPECT_FALSE(recorder.isTakingData());
    DvsFileInfo info;
    info.width = 640;
    info.height = 480;
    info.serial_number = "00ca0009";
    info.dvs_start_timestamp = 777;
    const fs::path file = dir_ / "direct.raw";
    ScopedLogCapture log;
    ASSERT_TRUE(recorder.startRecording(file.string(), info));
    EXPECT_TRUE(recorder.isTakingData());
    EXPECT_TRUE(log.contains(LOG_INFO, "Start recording file ts: 777"));
    // Three buffers of 700 KB: the first two cross the 1 MiB hand-over, the last stays partial.
    std::string expected;
    for (uint8_t tag = 1; tag <= 3; ++tag) {
        const auto bytes = block(tag, 700'000);
        recorder.addData(bytes);
        expected.append(bytes.begin(), bytes.end());
    }
    std::atomic<uint64_t> t{123456};
    recorder.setTimeSource([&] { return t.load(); });
    ASSERT_TRUE(recorder.stopRecording());
    EXPECT_TRUE(log.contains(LOG_INFO, "Stop recording file ts: 123456"));
    EXPECT_FALSE(recorder.isTakingData());

    const std::string contents = readAll(file);
    RawFileHeader header;
    ASSERT_TRUE(readHeader(contents, header));
    EXPECT_EQ(header.info.width, 640);
    EXPECT_EQ(header.info.serial_number, "00ca0009");
    EXPECT_EQ(header.info.dvs_start_timestamp, 777u);
    EXPECT_TRUE(contents.substr(header.payload_offset) == expected);
}

TEST_F(RecorderTest, StopRightAfterStartWritesThePartialBuffer) {
    DvsFileRecorder recorder;
    const fs::path file = dir_ / "short.raw";
    ASSERT_TRUE(recorder.startRecording(file.string(), DvsFileInfo{}));
    recorder.addData(block(9, 10));
    ASSERT_TRUE(recorder.stopRecording());
    const std::string contents = readAll(file);
    RawFileHeader header;
    ASSERT_TRUE(readHeader(contents, header));
    EXPECT_EQ(contents.substr(header.payload_offset), std::string(10, '\x09'));
    // A second recording into another file works.
    ASSERT_TRUE(recorder.startRecording((dir_ / "second.raw").string(), DvsFileInfo{}));
    recorder.addData(block(4, 3));
    ASSERT_TRUE(recorder.stopRecording());
    EXPECT_EQ(readAll(dir_ / "second.raw").substr(header.payload_offset), std::string(3, '\x04'));
}

TEST_F(RecorderTest, UnwritableTargetsAreReportedNotSwallowed) {
    DvsFileRecorder recorder;
    ScopedLogCapture log;
    EXPECT_FALSE(recorder.startRecording((dir_ / "missing" / "x.raw").string(), DvsFileInfo{}));
    EXPECT_FALSE(recorder.isTakingData());
    EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "Cannot open recording file"));

    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full to simulate a full disk";
    log.clear();
    ASSERT_TRUE(recorder.startRecording("/dev/full", DvsFileInfo{}));
    for (int i = 0; i < 4; ++i) recorder.addData(block(1, 600'000));
    recorder.waitUntilWritten();
    EXPECT_FALSE(recorder.isTakingData()) << "a write error ends the recording";
    EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "Write error in recording file /dev/full"));
    EXPECT_FALSE(recorder.stopRecording()) << "a recording that lost data is not a success";
    const ZvRecordingStatus status = recorder.status();
    EXPECT_TRUE(status.failed);
    EXPECT_EQ(status.path, "/dev/full");
    EXPECT_NE(status.error.find("Write error in recording file /dev/full"), std::string::npos)
        << status.error;
    EXPECT_GT(status.bytesDropped, 0u);
    // The recorder is usable again.
    ASSERT_TRUE(recorder.startRecording((dir_ / "after.raw").string(), DvsFileInfo{}));
    EXPECT_FALSE(recorder.status().failed) << "a new recording starts with a clean status";
    recorder.addData(block(2, 5));
    EXPECT_TRUE(recorder.stopRecording());
    EXPECT_FALSE(recorder.status().failed);
    EXPECT_GT(recorder.status().bytesWritten, 5u);

    // A refused start says why.
    EXPECT_FALSE(recorder.startRecording((dir_ / "missing" / "y.raw").string(), DvsFileInfo{}));
    EXPECT_TRUE(recorder.status().failed);
    EXPECT_NE(recorder.status().error.find("Cannot open recording file"), std::string::npos);
}

// Every refusal and failure a user can meet has its reason: lastError() for the start or stop that
// returned false, status().reason for the recording itself.
TEST_F(RecorderTest, FailuresCarryTheirReason) {
    DvsFileRecorder recorder;
    EXPECT_EQ(recorder.lastError(), RecorderError::None);

    // A folder that does not exist.
    EXPECT_FALSE(recorder.startRecording((dir_ / "missing" / "x.raw").string(), DvsFileInfo{}));
    EXPECT_EQ(recorder.lastError(), RecorderError::CannotOpen);
    EXPECT_TRUE(recorder.status().failed);
    EXPECT_EQ(recorder.status().reason, RecorderError::CannotOpen);

    // A second start while recording is refused and leaves the running recording alone.
    const fs::path first = dir_ / "first.raw";
    ASSERT_TRUE(recorder.startRecording(first.string(), DvsFileInfo{}));
    EXPECT_EQ(recorder.lastError(), RecorderError::None);
    EXPECT_EQ(recorder.status().reason, RecorderError::None);
    EXPECT_FALSE(recorder.startRecording((dir_ / "second.raw").string(), DvsFileInfo{}));
    EXPECT_EQ(recorder.lastError(), RecorderError::AlreadyRecording);
    EXPECT_FALSE(fs::exists(dir_ / "second.raw"));
    ZvRecordingStatus status = recorder.status();
    EXPECT_EQ(status.path, first.string());
    EXPECT_TRUE(status.recording);
    EXPECT_FALSE(status.failed);
    EXPECT_EQ(status.reason, RecorderError::None);
    recorder.addData(block(1, 10));
    EXPECT_TRUE(recorder.stopRecording());
    EXPECT_EQ(recorder.lastError(), RecorderError::None);
    EXPECT_TRUE(recorder.stopRecording()) << "nothing to stop";
    EXPECT_EQ(recorder.lastError(), RecorderError::None);

    // A disk that fills up during the recording.
    const fs::path full = dir_ / "full.raw";
    {
        testing_support::FileSizeLimit limit(256 * 1024);
        ASSERT_TRUE(limit.applied());
        ASSERT_TRUE(recorder.startRecording(full.string(), DvsFileInfo{}));
        for (int i = 0; i < 4; ++i) recorder.addData(block(2, 600'000));
        recorder.waitUntilWritten();
        EXPECT_FALSE(recorder.isTakingData()) << "a write error ends the recording";
        EXPECT_FALSE(recorder.stopRecording());
    }
    EXPECT_EQ(recorder.lastError(), RecorderError::WriteFailed);
    status = recorder.status();
    EXPECT_TRUE(status.failed);
    EXPECT_EQ(status.reason, RecorderError::WriteFailed);
    EXPECT_NE(status.error.find("Write error in recording file " + full.string()), std::string::npos)
        << status.error;
    EXPECT_LE(fs::file_size(full), 256u * 1024u);
}

// The header's start time is the stream time just before the first recorded byte, not the time at
// which the recording was asked for.
TEST_F(RecorderTest, HeaderStartTimeIsTheTimeBeforeTheFirstRecordedByte) {
    DvsFileRecorder recorder;
    std::optional<uint64_t> now;  // no time known yet
    recorder.setTimeSource([&] { return now; });
    DvsFileInfo info;
    info.dvs_start_timestamp = 5;  // what the camera knew when the recording was started
    const fs::path first = dir_ / "fresh.raw";
    ASSERT_TRUE(recorder.startRecording(first.string(), info));
    // A fresh stream: its first TIME_HIGH (0x8123) gives the time.
    const std::vector<uint8_t> stream = {0x00, 0x00, 0x23, 0x81, 0x05, 0x60};
    recorder.addData(stream);
    ASSERT_TRUE(recorder.stopRecording());
    RawFileHeader header;
    ASSERT_TRUE(readHeader(readAll(first), header));
    EXPECT_EQ(header.info.dvs_start_timestamp, uint64_t(0x123) << 12);

    now = 20'000'123;  // a stream that is already running
    const fs::path second = dir_ / "running.raw";
    ASSERT_TRUE(recorder.startRecording(second.string(), info));
    now = 20'000'500;  // the first buffer arrives later
    recorder.addData(stream);
    now = 20'900'000;
    ASSERT_TRUE(recorder.stopRecording());
    ASSERT_TRUE(readHeader(readAll(second), header));
    EXPECT_EQ(header.info.dvs_start_timestamp, 20'000'500u);
}

// A cache file's start time is the stream time before its first byte, even when the camera has
// decoded past the 2^24 us wrap by the time the cache thread gets to the buffer.
TEST_F(RecorderTest, CachedRecordingAcrossTheWrapKeepsItsTimes) {
    const uint64_t before_wrap = (uint64_t(1) << 24) - 5;  // TIME_HIGH 0xFFF, TIME_LOW 0xFFB
    std::atomic<uint64_t> clock{before_wrap};
    const fs::path file = dir_ / "wrap.raw";
    {
        DvsFileRecorder recorder;
        recorder.setTimeSource([&] { return std::optional<uint64_t>(clock.load()); });
        recorder.setFileCacheTime(3, (dir_ / "w").string());
        ASSERT_TRUE(recorder.startRecording(file.string(), DvsFileInfo{}));
        // One event at 2^24 - 5 (row 7, x 9, ON) in a buffer large enough to be handed over at once.
        std::vector<uint8_t> bytes = {0xFF, 0x8F, 0xFB, 0x6F, 0x07, 0x00, 0x09, 0x28};
        bytes.resize(kPaddedSize, 0);
        for (size_t i = 8; i < bytes.size(); i += 2) bytes[i + 1] = 0xB0;  // padding: reserved words
        recorder.addData(bytes);
        clock = (uint64_t(1) << 24) + 100;  // the camera decoded on, past the wrap
        recorder.waitUntilWritten();
        ASSERT_TRUE(recorder.stopRecording());
        recorder.waitForMerge();
    }
    const std::string contents = readAll(file);
    RawFileHeader header;
    ASSERT_TRUE(readHeader(contents, header));
    EXPECT_EQ(header.info.dvs_start_timestamp, before_wrap);
    EVT3Decoder decoder(1280, 720);
    decoder.setTimeBase(header.info.dvs_start_timestamp);
    std::vector<Event2D> events;
    decoder.setEventsStreamHandleCallback([&](Event2D* f, Event2D* l) { events.insert(events.end(), f, l); });
    const auto* p = reinterpret_cast<const uint8_t*>(contents.data()) + header.payload_offset;
    decoder.decode(p, reinterpret_cast<const uint8_t*>(contents.data()) + contents.size());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], Event2D(9, 7, 1, before_wrap));
}

// Changing the cache prefix while the cache loop names its files is safe (a ThreadSanitizer build
// checks it) and takes effect for the files opened afterwards.
TEST_F(RecorderTest, CachePrefixChangesWhileTheCacheRuns) {
    std::atomic<uint64_t> clock{1'000'000};
    DvsFileRecorder recorder;
    recorder.setTimeSource([&] { return std::optional<uint64_t>(clock.load()); });
    recorder.setFileCacheTime(2, (dir_ / "a").string());
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        for (uint8_t s = 1; s <= 30; ++s) {
            clock = uint64_t(s) * 1'000'000;
            recorder.addData(std::vector<uint8_t>(DvsFileRecorder::kBufferBytes + 1, s));
        }
        feeding = false;
    });
    while (feeding.load()) recorder.setFileCacheTime(2, (dir_ / "b").string());
    feeder.join();
    recorder.waitUntilWritten();
    clock = 40'000'000;
    recorder.addData(std::vector<uint8_t>(DvsFileRecorder::kBufferBytes + 1, 40));
    recorder.waitUntilWritten();
    const auto files = recorder.cacheFiles();
    ASSERT_FALSE(files.empty());
    EXPECT_EQ(fs::path(files.back()).filename().string().front(), 'b');
}

// A disk that does not keep up neither holds up the camera nor makes the recorder grow: buffers are
// dropped, counted and reported.
TEST_F(RecorderTest, ASlowDiskDropsCountedBuffersInsteadOfGrowingOrBlocking) {
    const fs::path fifo = dir_ / "stalled";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A reader that takes nothing until told: the writer blocks once the pipe is full.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    DvsFileRecorder recorder;
    ScopedLogCapture log;
    ASSERT_TRUE(recorder.startRecording(fifo.string(), DvsFileInfo{}));
    const auto bytes = block(3, 600'000);
    const uint64_t handed = 60;  // 36 MB, several times what the recorder may hold
    for (uint64_t i = 0; i < handed; ++i) recorder.addData(bytes);  // must return although nothing is read
    EXPECT_GT(recorder.droppedBytes(), 0u);
    EXPECT_TRUE(log.containsSubstring(LOG_WARNING, "Recorder dropped"));
    EXPECT_TRUE(recorder.status().failed);
    // Drain the pipe so that the writer can finish.
    std::atomic<bool> draining{true};
    uint64_t read_total = 0;
    std::thread drain([&] {
        std::vector<char> sink(1 << 16);
        while (draining.load()) {
            const ssize_t n = ::read(reader, sink.data(), sink.size());
            if (n > 0)
                read_total += uint64_t(n);
            else
                std::this_thread::yield();
        }
        while (::read(reader, sink.data(), sink.size()) > 0) {
        }
    });
    EXPECT_FALSE(recorder.stopRecording());
    EXPECT_EQ(recorder.lastError(), RecorderError::BuffersDropped);
    draining = false;
    drain.join();
    ::close(reader);
    const ZvRecordingStatus status = recorder.status();
    EXPECT_TRUE(status.failed);
    EXPECT_EQ(status.reason, RecorderError::BuffersDropped);
    EXPECT_NE(status.error.find("dropped"), std::string::npos) << status.error;
    EXPECT_EQ(status.bytesDropped, recorder.droppedBytes());
    EXPECT_EQ(status.bytesWritten + status.bytesDropped,
              handed * bytes.size() + generateDvsFileHeader(DvsFileInfo{}).size())
        << "every byte is either written or counted as dropped";

    // The losses of that recording do not mark the next one.
    std::atomic<uint64_t> clock{1'000'000};
    recorder.setTimeSource([&] { return std::optional<uint64_t>(clock.load()); });
    recorder.setFileCacheTime(2, (dir_ / "next").string());
    ASSERT_TRUE(recorder.startRecording((dir_ / "next.raw").string(), DvsFileInfo{}));
    recorder.addData(block(5, DvsFileRecorder::kBufferBytes + 1));
    recorder.waitUntilWritten();
    EXPECT_TRUE(recorder.stopRecording());
    recorder.waitForMerge();
    EXPECT_FALSE(recorder.status().failed) << recorder.status().error;
}

// Feeds one 1.1 MB buffer per simulated second; each buffer is tagged with its second.
struct CacheFeeder {
    DvsFileRecorder& recorder;
    std::atomic<uint64_t>& clock;
    void second(uint8_t s) {
        clock = uint64_t(s) * 1'000'000 + 10;
        recorder.addData(std::vector<uint8_t>(1'100'000, s));
        recorder.waitUntilWritten();
    }
};

TEST_F(RecorderTest, CachedRecordingStartsAtMostNSecondsEarly) {
    std::atomic<uint64_t> clock{0};
    ScopedLogCapture log;
    const fs::path file = dir_ / "cached.raw";
    {
        DvsFileRecorder recorder;
        recorder.setTimeSource([&] { return clock.load(); });
        recorder.setFileCacheTime(5, (dir_ / "c").string());
        CacheFeeder feed{recorder, clock};
        for (uint8_t s = 1; s <= 20; ++s) feed.second(s);
        EXPECT_LE(recorder.cacheFiles().size(), 5u);
        DvsFileInfo info;
        info.serial_number = "cachecam";
        ASSERT_TRUE(recorder.startRecording(file.string(), info));
        for (uint8_t s = 21; s <= 24; ++s) feed.second(s);
        ASSERT_TRUE(recorder.stopRecording());
        EXPECT_FALSE(recorder.startRecording((dir_ / "refused.raw").string(), info) && recorder.isMerging());
        recorder.waitForMerge();
        EXPECT_TRUE(log.containsSubstring(LOG_INFO, "app file: "));
        EXPECT_TRUE(log.contains(LOG_INFO, "Start cache loop"));
        EXPECT_TRUE(log.containsSubstring(LOG_INFO, "Delete unused buffer: "));
        recorder.setFileCacheTime(0, (dir_ / "c").string());
    }
    const std::string contents = readAll(file);
    RawFileHeader header;
    ASSERT_TRUE(readHeader(contents, header));
    EXPECT_EQ(header.info.serial_number, "cachecam");
    const std::string payload = contents.substr(header.payload_offset);
    ASSERT_FALSE(payload.empty());
    ASSERT_EQ(payload.size() % 1'100'000, 0u);
    // Whole seconds, in order, ending with everything recorded; at most five seconds (plus the
    // buffer that opened the oldest file) from before the start.
    const uint8_t first = static_cast<uint8_t>(payload.front());
    std::string expected;
    for (int s = first; s <= 24; ++s) expected.append(1'100'000, static_cast<char>(s));
    EXPECT_TRUE(payload == expected) << "payload starts at second " << int(first);
    EXPECT_GE(first, 14);
    EXPECT_LE(first, 20);
    // The header's start time is that of the oldest kept cache file: the time just before its first
    // buffer.
    EXPECT_EQ(header.info.dvs_start_timestamp, uint64_t(first) * 1'000'000 + 10);
    // No cache file is left behind once the recorder is gone.
    for (const auto& entry : fs::directory_iterator(dir_)) {
        EXPECT_EQ(entry.path().string().find("zelvan.raw.tmp"), std::string::npos) << entry.path();
    }
}

// A new cache time while the cache runs starts the cache afresh with it: the next recording holds at
// most that many seconds from before its start, whole and in order.
TEST_F(RecorderTest, ANewCacheTimeWhileTheCacheRunsTakesEffect) {
    std::atomic<uint64_t> clock{0};
    const fs::path file = dir_ / "shorter.raw";
    {
        DvsFileRecorder recorder;
        recorder.setTimeSource([&] { return clock.load(); });
        recorder.setFileCacheTime(4, (dir_ / "c").string());
        CacheFeeder feed{recorder, clock};
        for (uint8_t s = 1; s <= 7; ++s) feed.second(s);
        recorder.setFileCacheTime(2, (dir_ / "c").string());
        for (uint8_t s = 8; s <= 12; ++s) feed.second(s);
        EXPECT_LE(recorder.cacheFiles().size(), 2u);
        ASSERT_TRUE(recorder.startRecording(file.string(), DvsFileInfo{}));
        feed.second(13);
        ASSERT_TRUE(recorder.stopRecording());
        recorder.waitForMerge();
        EXPECT_FALSE(recorder.status().failed) << recorder.status().error;
    }
    const std::string contents = readAll(file);
    RawFileHeader header;
    ASSERT_TRUE(readHeader(contents, header));
    const std::string payload = contents.substr(header.payload_offset);
    ASSERT_FALSE(payload.empty());
    const uint8_t first = static_cast<uint8_t>(payload.front());
    std::string expected;
    for (int s = first; s <= 13; ++s) expected.append(1'100'000, static_cast<char>(s));
    EXPECT_TRUE(payload == expected) << "payload starts at second " << int(first);
    EXPECT_GE(first, 10);
    EXPECT_EQ(header.info.dvs_start_timestamp, uint64_t(first) * 1'000'000 + 10);
}

// The cache (of four seconds here) keeps the last seconds of the stream, not its last files: after a
// pause a recording holds at most the cache file that the pause ended (it may hold the first bytes
// after it) from before, and after the camera's clock started again nothing from before. Nothing from
// after is lost but, after a clock that started again, the bytes that came with the last buffer of
// the earlier clock.
TEST_F(RecorderTest, ACacheKeepsNothingOldAfterAPauseOrAClockThatStartedAgain) {
    // Pieces of 1000 bytes of `tag`, 50 ms apart from `from_us`, each written before the next.
    struct Pieces {
        uint64_t from_us;
        uint64_t count;
        uint8_t tag;
    };
    // Caches `before` through a cache of `seconds`, then records `during`: the recording's content.
    const auto recordThroughCache = [&](uint16_t seconds, std::initializer_list<Pieces> before,
                                        Pieces during) {
        std::atomic<uint64_t> clock{0};
        const fs::path file = dir_ / "resumed.raw";
        DvsFileRecorder recorder;
        recorder.setTimeSource([&] { return std::optional<uint64_t>(clock.load()); });
        recorder.setFileCacheTime(seconds, (dir_ / "p").string());
        const auto feed = [&](const Pieces& pieces) {
            for (uint64_t k = 0; k < pieces.count; ++k) {
                clock = pieces.from_us + k * 50'000;
                recorder.addData(block(pieces.tag, 1000));
                recorder.waitUntilWritten();
            }
        };
        for (const Pieces& pieces : before) feed(pieces);
        EXPECT_TRUE(recorder.startRecording(file.string(), DvsFileInfo{}));
        feed(during);
        EXPECT_TRUE(recorder.stopRecording());
        recorder.waitForMerge();
        EXPECT_FALSE(recorder.status().failed) << recorder.status().error;
        recorder.setFileCacheTime(0, (dir_ / "p").string());
        return readAll(file);
    };
    for (const bool clock_restarts : {false, true}) {
        // Different numbers of pieces before the resume put it at every place of the hand-overs.
        for (uint64_t before = 59; before <= 62; ++before) {
            SCOPED_TRACE(std::string(clock_restarts ? "clock started again" : "pause") + ", pieces before " +
                         std::to_string(before));
            const uint64_t resume = clock_restarts ? 500'000 : 103'000'000;
            const std::string contents =
                recordThroughCache(4, {{3'000'000, before, 1}, {resume, 6, 2}}, {resume + 300'000, 2, 3});
            RawFileHeader header;
            ASSERT_TRUE(readHeader(contents, header));
            const std::string payload = contents.substr(header.payload_offset);
            const auto count = [&](char tag) { return std::count(payload.begin(), payload.end(), tag); };
            EXPECT_EQ(count('\x03'), 2000);
            const uint64_t last_before = 3'000'000 + (before - 1) * 50'000;
            if (clock_restarts) {
                EXPECT_EQ(count('\x01'), 0);
                EXPECT_GE(count('\x02'), 5000);
                EXPECT_GE(header.info.dvs_start_timestamp, resume);
            } else {
                EXPECT_EQ(count('\x02'), 6000);
                EXPECT_LE(count('\x01'), 1000 * 23) << "about a second of the cache file the pause ended";
                EXPECT_GE(header.info.dvs_start_timestamp + 1'200'000, last_before);
            }
            // What there is comes in order: the earlier bytes, then the later ones.
            EXPECT_TRUE(std::is_sorted(payload.begin(), payload.end()));
        }
    }
    // A clock that starts again before the cache is full: nothing of the earlier clock is kept either.
    const std::string contents = recordThroughCache(3, {{10'000, 30, 1}, {50'000, 6, 2}}, {350'000, 2, 3});
    RawFileHeader header;
    ASSERT_TRUE(readHeader(contents, header));
    const std::string payload = contents.substr(header.payload_offset);
    EXPECT_EQ(std::count(payload.begin(), payload.end(), '\x01'), 0);
    EXPECT_GE(header.info.dvs_start_timestamp, 50'000u);
    EXPECT_EQ(std::count(payload.begin(), payload.end(), '\x03'), 2000);
}

// At a low event rate a buffer takes many seconds to fill: the cache still keeps about its time, not
// whole buffers, and the recording starts at the time of its first byte. As from a camera, the stream
// has no time before its first piece.
TEST_F(RecorderTest, ALowRateCacheKeepsItsTime) {
    std::atomic<uint64_t> clock{0};
    std::atomic<bool> time_known{false};
    const fs::path file = dir_ / "quiet.raw";
    constexpr size_t kPiece = 1000;
    constexpr int kPieces = 20;  // per second, 50 ms apart: 30 s fill a fiftieth of a buffer
    std::string fed;
    {
        DvsFileRecorder recorder;
        recorder.setTimeSource([&]() -> std::optional<uint64_t> {
            if (!time_known.load()) return std::nullopt;
            return clock.load();
        });
        recorder.setFileCacheTime(2, (dir_ / "q").string());
        auto second = [&](int s) {
            for (int piece = 0; piece < kPieces; ++piece) {
                clock = uint64_t(s) * 1'000'000 + uint64_t(piece) * 50'000 + 10;
                recorder.addData(block(static_cast<uint8_t>(s), kPiece));
                time_known = true;
                fed.append(kPiece, static_cast<char>(s));
                recorder.waitUntilWritten();
            }
        };
        for (int s = 1; s <= 30; ++s) second(s);
        EXPECT_LE(recorder.cacheFiles().size(), 3u);
        ASSERT_TRUE(recorder.startRecording(file.string(), DvsFileInfo{}));
        second(31);
        ASSERT_TRUE(recorder.stopRecording());
        recorder.waitForMerge();
        EXPECT_FALSE(recorder.status().failed) << recorder.status().error;
        recorder.setFileCacheTime(0, (dir_ / "q").string());
    }
    const std::string contents = readAll(file);
    RawFileHeader header;
    ASSERT_TRUE(readHeader(contents, header));
    const std::string payload = contents.substr(header.payload_offset);
    // Everything from some point of the cache on, in order, up to the last byte.
    ASSERT_FALSE(payload.empty());
    ASSERT_LE(payload.size(), fed.size());
    EXPECT_TRUE(fed.compare(fed.size() - payload.size(), payload.size(), payload) == 0);
    const uint8_t first = static_cast<uint8_t>(payload.front());
    EXPECT_GE(first, 28) << "the cache kept from second " << int(first);
    // The start time is the clock at the payload's first byte.
    const size_t piece = (fed.size() - payload.size()) / kPiece;
    ASSERT_EQ((fed.size() - payload.size()) % kPiece, 0u);
    EXPECT_EQ(header.info.dvs_start_timestamp,
              (piece / kPieces + 1) * 1'000'000 + (piece % kPieces) * 50'000 + 10);
}

TEST_F(RecorderTest, DestroyingDuringACachedRecordingMergesFirst) {
    std::atomic<uint64_t> clock{0};
    const fs::path file = dir_ / "destroyed.raw";
    {
        DvsFileRecorder recorder;
        recorder.setTimeSource([&] { return clock.load(); });
        recorder.setFileCacheTime(3, (dir_ / "d").string());
        CacheFeeder feed{recorder, clock};
        for (uint8_t s = 1; s <= 4; ++s) feed.second(s);
        ASSERT_TRUE(recorder.startRecording(file.string(), DvsFileInfo{}));
        for (uint8_t s = 5; s <= 6; ++s) feed.second(s);
        recorder.addData(std::vector<uint8_t>(100, 7));  // partly filled buffer at destruction
    }
    const std::string contents = readAll(file);
    RawFileHeader header;
    ASSERT_TRUE(readHeader(contents, header));
    const std::string payload = contents.substr(header.payload_offset);
    ASSERT_GE(payload.size(), 2 * 1'100'000u + 100u);
    EXPECT_EQ(payload.substr(payload.size() - 100), std::string(100, '\x07'));
    EXPECT_EQ(payload.substr(payload.size() - 100 - 1'100'000, 1'100'000), std::string(1'100'000, '\x06'));
    for (const auto& entry : fs::directory_iterator(dir_)) {
        EXPECT_EQ(entry.path().string().find("zelvan.raw.tmp"), std::string::npos) << entry.path();
    }
}

// Cache files that cannot be written leave the recording without the seconds before its start: the
// stop says so at once.
TEST_F(RecorderTest, ACacheThatCannotBeWrittenFailsTheRecording) {
    std::atomic<uint64_t> clock{0};
    DvsFileRecorder recorder;
    recorder.setTimeSource([&] { return clock.load(); });
    const fs::path file = dir_ / "after-full-cache.raw";
    {
        testing_support::FileSizeLimit limit(512 * 1024);
        ASSERT_TRUE(limit.applied());
        recorder.setFileCacheTime(3, (dir_ / "f").string());
        CacheFeeder feed{recorder, clock};
        for (uint8_t s = 1; s <= 3; ++s) feed.second(s);
        ASSERT_TRUE(recorder.startRecording(file.string(), DvsFileInfo{}));
        feed.second(4);
        EXPECT_FALSE(recorder.stopRecording());
        EXPECT_EQ(recorder.lastError(), RecorderError::CacheFileDamaged);
        EXPECT_TRUE(recorder.waitForMerge(30s));
    }
    const ZvRecordingStatus status = recorder.status();
    EXPECT_TRUE(status.failed);
    EXPECT_EQ(status.reason, RecorderError::CacheFileDamaged) << "the first failure is kept";
    recorder.setFileCacheTime(0, (dir_ / "f").string());
}

// A recording into a pipe that a program reads to its end (as `cat` does): the program gets the whole
// recording, and sees the end only when it is stopped.
TEST_F(RecorderTest, APipeReadToItsEndGetsTheWholeRecording) {
    const fs::path fifo = dir_ / "live.raw";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::promise<std::string> received;
    std::thread reader([&] {
        std::ifstream in(fifo, std::ios::binary);  // waits for the recorder, reads to the end
        std::ostringstream all;
        all << in.rdbuf();
        received.set_value(all.str());
    });
    std::future<std::string> result = received.get_future();
    DvsFileRecorder recorder;
    std::promise<bool> start;
    std::thread starter([&] { start.set_value(recorder.startRecording(fifo.string(), DvsFileInfo{})); });
    std::future<bool> started = start.get_future();
    const bool in_time = started.wait_for(30s) == std::future_status::ready;
    if (!in_time) {
        // A start that waits for a second reader: give it one so that the test ends.
        const int unblock = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        starter.join();
        ::close(unblock);
    } else {
        starter.join();
    }
    ASSERT_TRUE(in_time) << "the start waited for a reader";
    ASSERT_TRUE(started.get());
    EXPECT_NE(result.wait_for(0s), std::future_status::ready) << "the reader saw an end before any data";
    recorder.addData(block(7, 5000));
    EXPECT_TRUE(recorder.stopRecording());
    ASSERT_EQ(result.wait_for(30s), std::future_status::ready);
    reader.join();
    const std::string all = result.get();
    RawFileHeader header;
    ASSERT_TRUE(readHeader(all, header));
    EXPECT_EQ(all.substr(header.payload_offset), std::string(5000, '\x07'));
}

// While a cached recording is merged into its file, neither a start nor a stop is taken.
TEST_F(RecorderTest, StartAndStopAreRefusedWhileAMergeRuns) {
    const fs::path fifo = dir_ / "merging";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Nothing is read until the refusals are checked: the merge cannot end before that.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::atomic<uint64_t> clock{0};
    DvsFileRecorder recorder;
    recorder.setTimeSource([&] { return clock.load(); });
    recorder.setFileCacheTime(2, (dir_ / "m").string());
    CacheFeeder feed{recorder, clock};
    for (uint8_t s = 1; s <= 2; ++s) feed.second(s);
    ASSERT_TRUE(recorder.startRecording(fifo.string(), DvsFileInfo{}));
    feed.second(3);
    ASSERT_TRUE(recorder.stopRecording());
    // Megabytes wait for a pipe that holds far less.
    ASSERT_TRUE(recorder.isMerging());
    EXPECT_FALSE(recorder.startRecording((dir_ / "next.raw").string(), DvsFileInfo{}));
    EXPECT_EQ(recorder.lastError(), RecorderError::MergeRunning);
    EXPECT_FALSE(fs::exists(dir_ / "next.raw"));
    EXPECT_FALSE(recorder.stopRecording());
    EXPECT_EQ(recorder.lastError(), RecorderError::MergeRunning);
    EXPECT_FALSE(recorder.status().failed) << "a refusal is not a failure of the recording";
    // Read everything; the merge closes the file when it is done, which ends the reading.
    ASSERT_EQ(::fcntl(reader, F_SETFL, 0), 0);
    std::vector<char> sink(1 << 16);
    uint64_t read_total = 0;
    for (ssize_t n; (n = ::read(reader, sink.data(), sink.size())) > 0;) read_total += uint64_t(n);
    ::close(reader);
    EXPECT_TRUE(recorder.waitForMerge(30s));
    EXPECT_GE(read_total, 3u * 1'100'000u);
    EXPECT_FALSE(recorder.status().failed) << recorder.status().error;
    recorder.setFileCacheTime(0, (dir_ / "m").string());
}

}  // namespace
}  // namespace zelvan
