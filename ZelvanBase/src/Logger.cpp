#include "zelvan/Logger.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <ctime>

namespace zelvan {

namespace {

const char* baseName(const char* path) {
    if (path == nullptr) return "";
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') name = p + 1;
    }
    return name;
}

// "2024-05-01 12:00:00.123 [INFO] Recorder.cpp:42 message\n"
std::string formatLine(int level, const char* file, int line, const std::string& message) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[48];
    const size_t len = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(stamp + len, sizeof stamp - len, ".%03d", static_cast<int>(millis));

    std::string out;
    out.reserve(message.size() + 64);
    out += stamp;
    out += " [";
    out += logLevelName(level);
    out += "] ";
    out += baseName(file);
    out += ':';
    out += std::to_string(line);
    out += ' ';
    out += message;
    if (message.empty() || message.back() != '\n') out += '\n';
    return out;
}

}  // namespace

const char* logLevelName(int level) noexcept {
    switch (level) {
        case LOG_DETAIL:
            return "DETAIL";
        case LOG_INFO:
            return "INFO";
        case LOG_WARNING:
            return "WARNING";
        case LOG_ERROR:
            return "ERROR";
        default:
            return "LEVEL";
    }
}

void StderrLogSink::write(int level, const char* file, int line, const std::string& message) {
    const std::string text = formatLine(level, file, line, message);
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

FileLogSink::FileLogSink(const std::string& path) : file_(std::fopen(path.c_str(), "ab")) {}

FileLogSink::~FileLogSink() {
    if (file_ != nullptr) std::fclose(file_);
}

void FileLogSink::write(int level, const char* file, int line, const std::string& message) {
    if (file_ == nullptr) return;
    const std::string text = formatLine(level, file, line, message);
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(text.data(), 1, text.size(), file_);
    std::fflush(file_);
}

void RecordingLogSink::write(int level, const char* file, int line, const std::string& message) {
    Line entry{level, message, baseName(file), line};
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::move(entry));
}

std::vector<RecordingLogSink::Line> RecordingLogSink::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool RecordingLogSink::contains(int level, const std::string& text) const { return count(level, text) > 0; }

bool RecordingLogSink::containsSubstring(int level, const std::string& part) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(lines_.begin(), lines_.end(), [&](const Line& l) {
        return l.level == level && l.text.find(part) != std::string::npos;
    });
}

size_t RecordingLogSink::count(int level, const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(
        lines_.begin(), lines_.end(), [&](const Line& l) { return l.level == level && l.text == text; }));
}

void RecordingLogSink::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

Logger::Logger() : sink_(std::make_shared<StderrLogSink>()), defaultSink_(sink_) {}

Logger& Logger::Instance() {
    static Logger* const instance = new Logger();
    return *instance;
}

std::shared_ptr<LogSink> Logger::setSink(std::shared_ptr<LogSink> sink) {
    std::lock_guard<std::mutex> lock(sinkMutex_);
    std::shared_ptr<LogSink> previous = std::move(sink_);
    sink_ = sink ? std::move(sink) : defaultSink_;
    return previous;
}

std::shared_ptr<LogSink> Logger::sink() const {
    std::lock_guard<std::mutex> lock(sinkMutex_);
    return sink_;
}

void Logger::log_(int level, const char* file, int line, const char* fmt, ...) noexcept {
    if (!isEnabled(level)) return;
    if (file == nullptr) file = "";

    // Short messages are formatted on the stack; longer ones get a heap buffer of the exact size.
    char small[512];
    small[0] = '\0';
    int needed = 0;
    va_list args;
    va_start(args, fmt);
    if (fmt != nullptr) {
        va_list copy;
        va_copy(copy, args);
        needed = std::vsnprintf(small, sizeof small, fmt, copy);
        va_end(copy);
    }

    std::string message;
    bool formatted = true;
    try {
        if (needed < 0) {
            message = "(message could not be formatted)";
        } else if (static_cast<size_t>(needed) < sizeof small) {
            message.assign(small, static_cast<size_t>(needed));
        } else {
            message.resize(static_cast<size_t>(needed));
            std::vsnprintf(message.data(), message.size() + 1, fmt, args);
        }
    } catch (...) {
        formatted = false;  // out of memory for a huge message: it is lost
    }
    va_end(args);
    if (!formatted) return;

    try {
        std::shared_ptr<LogSink> target = sink();
        if (target) target->write(level, file, line, message);
    } catch (...) {
        // A throwing sink loses this message only; the caller carries on.
    }
}

ScopedLogCapture::ScopedLogCapture(int level)
    : sink_(std::make_shared<RecordingLogSink>()),
      previousSink_(Logger::Instance().setSink(sink_)),
      previousLevel_(Logger::Instance().level()) {
    Logger::Instance().setLevel(level);
}

ScopedLogCapture::~ScopedLogCapture() {
    Logger::Instance().setLevel(previousLevel_);
    Logger::Instance().setSink(previousSink_);
}

}  // namespace zelvan
