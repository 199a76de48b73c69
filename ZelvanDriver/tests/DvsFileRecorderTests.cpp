#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "FileRecorder/DvsFileRecorder.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileHeader.h"

namespace fs = std::filesystem;

namespace zelvan {
namespace {

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("zelvan-recorder-" + std::to_string(::getpid()) + "-" +
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
    EXPECT_TRUE(recorder.stopRecording());
    // The recorder is usable again.
    ASSERT_TRUE(recorder.startRecording((dir_ / "after.raw").string(), DvsFileInfo{}));
    recorder.addData(block(2, 5));
    EXPECT_TRUE(recorder.stopRecording());
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
    // The header's start time is that of the oldest kept cache file, opened one second before the
    // buffer whose arrival filled it.
    EXPECT_EQ(header.info.dvs_start_timestamp, uint64_t(first - 1) * 1'000'000 + 10);
    // No cache file is left behind once the recorder is gone.
    for (const auto& entry : fs::directory_iterator(dir_)) {
        EXPECT_EQ(entry.path().string().find("zelvan.raw.tmp"), std::string::npos) << entry.path();
    }
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

}  // namespace
}  // namespace zelvan
