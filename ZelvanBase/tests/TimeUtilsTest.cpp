#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>

#include "zelvan/TimeUtils.h"

namespace zelvan {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

// Switches the process's time zone for one test and restores it afterwards.
class TimeZone {
public:
    explicit TimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) previous_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~TimeZone() {
        if (previous_) {
            ::setenv("TZ", previous_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    TimeZone(const TimeZone&) = delete;
    TimeZone& operator=(const TimeZone&) = delete;

private:
    std::optional<std::string> previous_;
};

system_clock::time_point utc(year_month_day date, seconds timeOfDay) {
    return system_clock::time_point(sys_days(date).time_since_epoch() + timeOfDay);
}

TEST(LocalTimeText, FormatsAndParsesInUtc) {
    TimeZone zone("UTC");
    const auto t = utc(2024y / March / 1, 12h + 34min + 56s);
    EXPECT_EQ(timePointToString(t), "2024-03-01 12:34:56");
    EXPECT_EQ(parseLocalTimeString("2024-03-01 12:34:56"), t);
    EXPECT_EQ(parseLocalTimeString("2024-03-01T12:34:56"), t);
    EXPECT_EQ(parseLocalTimeString("2024-03-01 12:34:56 \r\n"), t);
    EXPECT_EQ(parseLocalTimeString("2024-02-29 00:00:00"), utc(2024y / February / 29, 0s));
}

TEST(LocalTimeText, UsesTheLocalZoneWithDaylightSaving) {
    TimeZone zone("Europe/Berlin");
    // Summer time is UTC+2, winter time UTC+1.
    EXPECT_EQ(parseLocalTimeString("2024-07-01 12:00:00"), utc(2024y / July / 1, 10h));
    EXPECT_EQ(parseLocalTimeString("2024-01-15 12:00:00"), utc(2024y / January / 15, 11h));
    EXPECT_EQ(timePointToString(utc(2024y / July / 1, 10h)), "2024-07-01 12:00:00");
}

TEST(LocalTimeText, RoundTripIsExactToTheSecond) {
    for (const char* name : {"UTC", "Europe/Berlin", "Asia/Kolkata", "America/New_York"}) {
        TimeZone zone(name);
        // Every 7919 s over a year: covers both daylight-saving changes at odd times of day.
        const auto start = utc(2023y / January / 1, 0s);
        for (auto t = start; t < start + days(366); t += 7919s) {
            const std::string text = timePointToString(t);
            const auto back = parseLocalTimeString(text);
            if (back != t) {
                // Only the repeated hour of a change back to standard time may be ambiguous; the
                // text must still round-trip.
                EXPECT_EQ(timePointToString(back), text) << name;
                EXPECT_EQ(abs(duration_cast<seconds>(back - t)), 3600s) << name << " " << text;
            }
        }
        const auto withFraction = utc(2023y / June / 5, 8h) + 999ms;
        EXPECT_EQ(parseLocalTimeString(timePointToString(withFraction)), floor<seconds>(withFraction))
            << name;
    }
}

TEST(LocalTimeText, MalformedTextGivesTheEpoch) {
    TimeZone zone("Europe/Berlin");
    const system_clock::time_point epoch{};
    for (const char* text : {"",
                             "garbage",
                             "2024-03-01",
                             "2024-03-01 12:34",
                             "24-03-01 12:34:56",
                             "2024/03/01 12:34:56",
                             "2024-03-01_12:34:56",
                             "2024-13-01 00:00:00",
                             "2024-00-10 00:00:00",
                             "2023-02-29 00:00:00",
                             "2024-04-31 00:00:00",
                             "2024-03-00 00:00:00",
                             "2024-03-01 24:00:00",
                             "2024-03-01 12:60:00",
                             "2024-03-01 12:34:60",
                             "2024-03-01 12:34:56x",
                             " 2024-03-01 12:34:56",
                             "2024-03-01 12:34:5a",
                             "2024-3-01 12:34:56",
                             "9062-08-14 00:39:33",
                             "1500-01-01 00:00:00"}) {
        EXPECT_EQ(parseLocalTimeString(text), epoch) << '"' << text << '"';
    }
}

}  // namespace
}  // namespace zelvan
