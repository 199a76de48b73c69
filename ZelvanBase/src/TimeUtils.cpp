#include "zelvan/TimeUtils.h"

#include <ctime>

namespace zelvan {

namespace {

bool readDigits(const std::string& text, size_t pos, size_t count, int& value) {
    if (pos + count > text.size()) return false;
    value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

std::string timePointToString(std::chrono::system_clock::time_point time) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(time.time_since_epoch()).count();
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr) return std::string();
    char buffer[64];
    const size_t len = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(buffer, len);
}

std::chrono::system_clock::time_point parseLocalTimeString(const std::string& text) {
    // Layout: YYYY-MM-DD?HH:MM:SS with ? a blank or 'T'.
    constexpr size_t kLength = 19;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    const bool layoutOk = text.size() >= kLength && readDigits(text, 0, 4, year) && text[4] == '-' &&
                          readDigits(text, 5, 2, month) && text[7] == '-' && readDigits(text, 8, 2, day) &&
                          (text[10] == ' ' || text[10] == 'T') && readDigits(text, 11, 2, hour) &&
                          text[13] == ':' && readDigits(text, 14, 2, minute) && text[16] == ':' &&
                          readDigits(text, 17, 2, second);
    if (!layoutOk) return {};
    for (size_t i = kLength; i < text.size(); ++i) {
        const char c = text[i];
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return {};
    }
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 || minute > 59 ||
        second > 59) {
        return {};
    }

    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;  // let the time zone rules decide
    local.tm_wday = -1;   // mktime sets it on success; -1 is also a valid result
    const std::time_t t = std::mktime(&local);
    if (local.tm_wday < 0) return {};  // not representable
    // The clock counts in a unit fine enough that only about +-292 years around 1970 fit.
    constexpr auto kLimit =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::duration::max()).count();
    if (t >= kLimit || t <= -kLimit) return {};
    return std::chrono::system_clock::from_time_t(t);
}

}  // namespace zelvan
