#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <thread>

#include "zelvan/Logger.h"

namespace zelvan {
namespace {

class ThrowingSink : public LogSink {
public:
    void write(int, const char*, int, const std::string&) override {
        throw std::runtime_error("sink failure");
    }
};

TEST(LoggerLevels, MessagesBelowThresholdAreDropped) {
    ScopedLogCapture capture(LOG_WARNING);
    ZV_LOG(LOG_DETAIL, "detail");
    ZV_LOG(LOG_INFO, "info");
    ZV_LOG(LOG_WARNING, "warning");
    ZV_LOG(LOG_ERROR, "error");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, LOG_WARNING);
    EXPECT_EQ(lines[0].text, "warning");
    EXPECT_EQ(lines[1].level, LOG_ERROR);
    EXPECT_EQ(lines[1].text, "error");
}

TEST(LoggerSinks, SetSinkReturnsPreviousAndNullRestoresDefault) {
    Logger& logger = Logger::Instance();
    auto first = std::make_shared<RecordingLogSink>();
    auto second = std::make_shared<RecordingLogSink>();
    const auto original = logger.setSink(first);
    EXPECT_EQ(logger.sink(), first);
    EXPECT_EQ(logger.setSink(second), first);
    EXPECT_EQ(logger.setSink(nullptr), second);
    EXPECT_NE(std::dynamic_pointer_cast<StderrLogSink>(logger.sink()), nullptr);
    logger.setSink(original);
    EXPECT_EQ(logger.sink(), original);
}

TEST(LoggerSinks, ScopedCaptureRestoresSinkAndLevel) {
    Logger& logger = Logger::Instance();
    const auto sinkBefore = logger.sink();
    const int levelBefore = logger.level();
    {
        ScopedLogCapture capture(levelBefore == LOG_ERROR ? LOG_DETAIL : LOG_ERROR);
        EXPECT_NE(logger.sink(), sinkBefore);
        EXPECT_NE(logger.level(), levelBefore);
        {
            ScopedLogCapture inner(LOG_DETAIL);
            ZV_LOG(LOG_ERROR, "to inner");
            EXPECT_TRUE(inner.contains(LOG_ERROR, "to inner"));
        }
        ZV_LOG(LOG_ERROR, "to outer");
        EXPECT_TRUE(capture.contains(LOG_ERROR, "to outer"));
        EXPECT_FALSE(capture.contains(LOG_ERROR, "to inner"));
    }
    EXPECT_EQ(logger.sink(), sinkBefore);
    EXPECT_EQ(logger.level(), levelBefore);
}

TEST(LoggerSinks, ThrowingSinkDoesNotEscape) {
    Logger& logger = Logger::Instance();
    const auto previous = logger.setSink(std::make_shared<ThrowingSink>());
    EXPECT_NO_THROW(ZV_LOG(LOG_ERROR, "lost %d", 1));
    logger.setSink(previous);
}

TEST(LoggerSinks, StderrLineCarriesLevelFileAndLine) {
    StderrLogSink sink;
    testing::internal::CaptureStderr();
    sink.write(LOG_WARNING, "/some/dir/Camera.cpp", 77, "Sensor clamped");
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("[WARNING]"), std::string::npos) << out;
    EXPECT_NE(out.find(" Camera.cpp:77 Sensor clamped\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("/some/dir"), std::string::npos) << out;
}

TEST(LoggerSinks, FileSinkAppendsLines) {
    const auto path =
        std::filesystem::temp_directory_path() / ("zelvan_log_" + std::to_string(::getpid()) + ".txt");
    std::filesystem::remove(path);
    {
        FileLogSink sink(path.string());
        ASSERT_TRUE(sink.isOpen());
        sink.write(LOG_INFO, "a/b/Recorder.cpp", 12, "first");
        sink.write(LOG_ERROR, "Recorder.cpp", 13, "second");
    }
    std::ifstream in(path);
    std::string line1, line2, extra;
    ASSERT_TRUE(std::getline(in, line1));
    ASSERT_TRUE(std::getline(in, line2));
    EXPECT_FALSE(std::getline(in, extra));
    EXPECT_NE(line1.find("[INFO] Recorder.cpp:12 first"), std::string::npos) << line1;
    EXPECT_NE(line2.find("[ERROR] Recorder.cpp:13 second"), std::string::npos) << line2;
    std::filesystem::remove(path);
}

TEST(LoggerSinks, FileSinkWithUnwritablePathDropsMessages) {
    FileLogSink sink("/nonexistent-dir/zelvan/log.txt");
    EXPECT_FALSE(sink.isOpen());
    EXPECT_NO_THROW(sink.write(LOG_ERROR, "x.cpp", 1, "nowhere"));
}

TEST(LoggerRecording, FormatsArgumentsAndRecordsPosition) {
    ScopedLogCapture capture;
    const int line = __LINE__ + 1;
    ZV_LOG(LOG_INFO, "Start recording file ts: %llu, name %s, %.2f", 123456789012ULL, "a.raw", 1.5);
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "Start recording file ts: 123456789012, name a.raw, 1.50");
    EXPECT_EQ(lines[0].file, "LoggerTest.cpp");
    EXPECT_EQ(lines[0].line, line);
    EXPECT_TRUE(capture.containsSubstring(LOG_INFO, "a.raw"));
    EXPECT_FALSE(capture.containsSubstring(LOG_ERROR, "a.raw"));
    capture.clear();
    EXPECT_TRUE(capture.lines().empty());
}

TEST(LoggerRecording, MessagesLongerThanAnyBufferArriveWhole) {
    ScopedLogCapture capture;
    for (size_t size : {511u, 512u, 513u, 5000u, 100000u}) {
        std::string payload(size, 'x');
        for (size_t i = 0; i < size; i += 97) payload[i] = static_cast<char>('a' + i % 26);
        ZV_LOG(LOG_INFO, "[%s]", payload.c_str());
        EXPECT_TRUE(capture.contains(LOG_INFO, "[" + payload + "]")) << size;
    }
}

TEST(LoggerRecording, NullFormatLogsEmptyMessage) {
    ScopedLogCapture capture;
    const char* format = nullptr;
    Logger::Instance().log_(LOG_WARNING, nullptr, 0, format);
    EXPECT_TRUE(capture.contains(LOG_WARNING, ""));
}

TEST(LoggerConcurrency, EveryMessageFromEveryThreadIsRecorded) {
    ScopedLogCapture capture;
    constexpr int kThreads = 8;
    constexpr int kMessages = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kMessages; ++i) ZV_LOG(LOG_INFO, "thread %d message %d", t, i);
        });
    }
    // Swapping sinks while others log must be safe as well.
    auto other = std::make_shared<RecordingLogSink>();
    for (int i = 0; i < 50; ++i) Logger::Instance().setSink(Logger::Instance().setSink(other));
    for (auto& thread : threads) thread.join();

    std::set<std::string> seen;
    for (const auto& line : capture.lines()) seen.insert(line.text);
    for (const auto& line : other->lines()) seen.insert(line.text);
    EXPECT_EQ(capture.lines().size() + other->lines().size(), static_cast<size_t>(kThreads * kMessages));
    ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads * kMessages));
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_TRUE(seen.count("thread " + std::to_string(t) + " message " + std::to_string(kMessages - 1)));
    }
}

}  // namespace
}  // namespace zelvan
