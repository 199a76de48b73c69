// Local wall-clock time as text, as written into raw file headers and shown to users.
#pragma once

#include <chrono>
#include <string>

namespace zelvan {

// Local time of `time` as "YYYY-MM-DD HH:MM:SS" (24-hour clock, whole seconds; any fraction of a
// second is dropped, rounding toward the past).
std::string timePointToString(std::chrono::system_clock::time_point time);

// Reads "YYYY-MM-DD HH:MM:SS" (a 'T' may stand for the blank) as local time. Blanks, tabs and line
// ends after the text are ignored. Anything else, including out-of-range fields such as month 13 or
// 30 February, gives time_point{} (the epoch).
//
// timePointToString followed by parseLocalTimeString gives back the same second, except in the hour
// that a daylight-saving change repeats: the text alone does not say which of the two hours is meant,
// and the earlier or later one is returned as the C library chooses. A time inside the hour skipped
// by a change is moved forward by the change, as the C library does.
std::chrono::system_clock::time_point parseLocalTimeString(const std::string& text);

}  // namespace zelvan
