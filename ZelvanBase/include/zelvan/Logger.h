// Process-wide logger: a level threshold, printf-style formatting that never throws, and a
// replaceable sink (stderr by default, a file, or an in-memory recorder for tests).
#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// <syslog.h> defines LOG_INFO and LOG_WARNING as macros, which would turn the level names below into
// numbers in every file that includes both. Such a file must not include this header after it.
#if defined(LOG_DETAIL) || defined(LOG_INFO) || defined(LOG_WARNING) || defined(LOG_ERROR)
#error \
    "zelvan/Logger.h: LOG_DETAIL, LOG_INFO, LOG_WARNING or LOG_ERROR is already a macro (<syslog.h> defines LOG_INFO and LOG_WARNING); keep <syslog.h> out of files that log through zelvan::Logger"
#endif

namespace zelvan {

// Log levels. Higher is more severe.
inline constexpr int LOG_DETAIL = 1;   // details: serials, counters, per-trigger traces
inline constexpr int LOG_INFO = 2;     // progress and success
inline constexpr int LOG_WARNING = 3;  // skipped or clamped requests
inline constexpr int LOG_ERROR = 4;    // errors

// "DETAIL", "INFO", "WARNING", "ERROR", or "LEVEL" for any other value.
const char* logLevelName(int level) noexcept;

// Receives every message that passes the logger's threshold. Implementations must be safe to call
// from several threads at once; the logger does not serialise calls into a sink.
class LogSink {
public:
    virtual ~LogSink() = default;
    // `file` is the emitting source path as given to the logger (never null), `message` the
    // formatted text without any added line end.
    virtual void write(int level, const char* file, int line, const std::string& message) = 0;
};

// One line per message on stderr:
//   2024-05-01 12:00:00.123 [INFO] Recorder.cpp:42 Start recording file ts: 0
class StderrLogSink : public LogSink {
public:
    void write(int level, const char* file, int line, const std::string& message) override;

private:
    std::mutex mutex_;
};

// Appends lines in the stderr sink's format to a file. When the file cannot be opened, isOpen()
// is false and messages are dropped.
class FileLogSink : public LogSink {
public:
    explicit FileLogSink(const std::string& path);
    ~FileLogSink() override;
    FileLogSink(const FileLogSink&) = delete;
    FileLogSink& operator=(const FileLogSink&) = delete;

    bool isOpen() const { return file_ != nullptr; }
    void write(int level, const char* file, int line, const std::string& message) override;

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
};

// Keeps every message in memory so that tests can assert on (level, text).
class RecordingLogSink : public LogSink {
public:
    struct Line {
        int level = 0;
        std::string text;
        std::string file;  // base name of the emitting source file
        int line = 0;
    };

    void write(int level, const char* file, int line, const std::string& message) override;

    std::vector<Line> lines() const;
    // True when a message with exactly this level and text was recorded.
    bool contains(int level, const std::string& text) const;
    // True when a message of this level contains `part` anywhere in its text.
    bool containsSubstring(int level, const std::string& part) const;
    // Number of messages with exactly this level and text.
    size_t count(int level, const std::string& text) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};

class Logger {
public:
    // The one logger of the process. It is never destroyed, so logging from static destructors and
    // from threads that outlive main() stays valid.
    static Logger& Instance();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Formats the message printf-style and hands it to the current sink when `level` is at or above
    // the threshold. Messages of any length are delivered whole. Never throws: a failure to format
    // or a throwing sink loses that message only. A null `fmt` logs an empty message.
    void log_(int level, const char* file, int line, const char* fmt, ...) noexcept
        __attribute__((format(printf, 5, 6)));

    // Messages below `level` are dropped. The default is LOG_INFO: the detail level traces every
    // trigger edge and register access and would flood stderr in normal use; tests and debugging
    // sessions lower the threshold explicitly.
    void setLevel(int level) noexcept { level_.store(level, std::memory_order_relaxed); }
    int level() const noexcept { return level_.load(std::memory_order_relaxed); }
    bool isEnabled(int level) const noexcept { return level >= this->level(); }

    // Installs `sink` and returns the one it replaces. nullptr installs the default stderr sink.
    std::shared_ptr<LogSink> setSink(std::shared_ptr<LogSink> sink);
    std::shared_ptr<LogSink> sink() const;

private:
    Logger();

    std::atomic<int> level_{LOG_INFO};
    mutable std::mutex sinkMutex_;
    std::shared_ptr<LogSink> sink_;
    std::shared_ptr<LogSink> defaultSink_;
};

// Test helper: records every message (from `level` up) while it lives, then restores the previous
// sink and threshold.
class ScopedLogCapture {
public:
    explicit ScopedLogCapture(int level = LOG_DETAIL);
    ~ScopedLogCapture();
    ScopedLogCapture(const ScopedLogCapture&) = delete;
    ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

    RecordingLogSink& sink() { return *sink_; }
    std::vector<RecordingLogSink::Line> lines() const { return sink_->lines(); }
    bool contains(int level, const std::string& text) const { return sink_->contains(level, text); }
    bool containsSubstring(int level, const std::string& part) const {
        return sink_->containsSubstring(level, part);
    }
    size_t count(int level, const std::string& text) const { return sink_->count(level, text); }
    void clear() { sink_->clear(); }

private:
    std::shared_ptr<RecordingLogSink> sink_;
    std::shared_ptr<LogSink> previousSink_;
    int previousLevel_;
};

}  // namespace zelvan

// Logs through the process-wide logger with the caller's source position.
#define ZV_LOG(level, ...) ::zelvan::Logger::Instance().log_((level), __FILE__, __LINE__, __VA_ARGS__)
