#include "zelvan/RawFileHeader.h"

#include <charconv>
#include <fstream>
#include <limits>

#include "zelvan/TimeUtils.h"

namespace zelvan {

namespace {

// A header line longer than this is not a header line: the file is damaged or not a raw file.
constexpr size_t kMaxHeaderLine = 64 * 1024;
constexpr size_t kMaxDateLength = 25;
// The largest stream start time accepted (us, about 146,000 years). Readers add durations and count
// 2^24 us wrap-arounds from the start time in 64 bits; a start time above this bound cannot come from
// a recording and would overflow there, so a header that carries one is rejected like any other
// invalid start time. The file is refused rather than read without its time base: decoding it from
// the stream alone would give it times unrelated to what its header says.
constexpr uint64_t kMaxStartTimestamp = uint64_t(1) << 62;

std::string trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

template <typename T>
bool parseUnsigned(const std::string& text, T& out) {
    const std::string t = trim(text);
    if (t.empty()) return false;
    T value{};
    const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
    if (ec != std::errc() || ptr != t.data() + t.size()) return false;
    out = value;
    return true;
}

bool parseSize(const std::string& text, uint16_t& out) {
    uint16_t v = 0;
    if (!parseUnsigned(text, v) || v == 0) return false;
    out = v;
    return true;
}

bool applyFormat(const std::string& value, RawFileHeader& h, std::string& error) {
    size_t pos = 0;
    bool first = true;
    while (pos <= value.size()) {
        size_t next = value.find(';', pos);
        if (next == std::string::npos) next = value.size();
        const std::string item = trim(value.substr(pos, next - pos));
        pos = next + 1;
        if (first) {
            if (item != "EVT3") {
                error = "unsupported event format \"" + item + "\" (only EVT3 files can be read)";
                return false;
            }
            first = false;
            continue;
        }
        const auto eq = item.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = trim(item.substr(0, eq));
        const std::string v = item.substr(eq + 1);
        if (key == "width" && !parseSize(v, h.info.width)) {
            error = "invalid width in \"% format " + value + "\"";
            return false;
        }
        if (key == "height" && !parseSize(v, h.info.height)) {
            error = "invalid height in \"% format " + value + "\"";
            return false;
        }
    }
    return true;
}

bool applyLine(const std::string& key, const std::string& value, RawFileHeader& h, std::string& error) {
    if (key == "evt") {
        if (trim(value) != "3.0") {
            error = "unsupported event format \"% evt " + trim(value) + "\" (only EVT 3.0 files can be read)";
            return false;
        }
    } else if (key == "format") {
        return applyFormat(value, h, error);
    } else if (key == "geometry") {
        const std::string v = trim(value);
        const auto x = v.find('x');
        uint16_t w = 0;
        uint16_t ht = 0;
        if (x == std::string::npos || !parseSize(v.substr(0, x), w) || !parseSize(v.substr(x + 1), ht)) {
            error = "invalid geometry \"" + v + "\"";
            return false;
        }
        h.info.width = w;
        h.info.height = ht;
    } else if (key == "serial_number") {
        h.info.serial_number = trim(value);
    } else if (key == "dvs_start_timestamp") {
        if (!parseUnsigned(value, h.info.dvs_start_timestamp)) {
            error = "invalid dvs_start_timestamp \"" + trim(value) + "\"";
            return false;
        }
        if (h.info.dvs_start_timestamp > kMaxStartTimestamp) {
            error = "dvs_start_timestamp " + trim(value) + " is out of range (at most " +
                    std::to_string(kMaxStartTimestamp) + " us)";
            return false;
        }
        h.has_dvs_start_timestamp = true;
    } else if (key == "aps_start_timestamp") {
        if (!parseUnsigned(value, h.info.aps_start_timestamp)) {
            error = "invalid aps_start_timestamp \"" + trim(value) + "\"";
            return false;
        }
        h.has_aps_start_timestamp = true;
    } else if (key == "date" || key == "Date") {
        h.info.date = parseLocalTimeString(trim(value).substr(0, kMaxDateLength));
    }
    return true;
}

}  // namespace

std::string RawFileHeader::formatText() const {
    return "EVT3;height=" + std::to_string(info.height) + ";width=" + std::to_string(info.width);
}

bool readRawFileHeader(std::istream& in, RawFileHeader& header, std::string& error) {
    RawFileHeader h;
    uint64_t pos = 0;
    std::string line;
    for (;;) {
        const int c = in.peek();
        if (c == std::char_traits<char>::eof() || c != '%') break;
        line.clear();
        bool newline = false;
        for (;;) {
            const int ch = in.get();
            if (ch == std::char_traits<char>::eof()) break;
            ++pos;
            if (ch == '\n') {
                newline = true;
                break;
            }
            if (line.size() >= kMaxHeaderLine) {
                error = "header line longer than " + std::to_string(kMaxHeaderLine) + " bytes";
                return false;
            }
            line.push_back(static_cast<char>(ch));
        }
        if (in.bad()) {
            error = "read error in the file header";
            return false;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "% end") {
            h.has_end_line = true;
            break;
        }
        // "% key value": the key runs up to the first blank after "% ".
        if (line.size() > 2 && line[1] == ' ') {
            const std::string rest = line.substr(2);
            const auto blank = rest.find(' ');
            const std::string key = rest.substr(0, blank);
            const std::string value = blank == std::string::npos ? std::string() : rest.substr(blank + 1);
            h.lines.emplace_back(key, value);
            if (!applyLine(key, value, h, error)) return false;
        }
        if (!newline) break;
    }
    if (in.bad()) {
        error = "read error in the file header";
        return false;
    }
    in.clear();
    h.payload_offset = pos;
    header = std::move(h);
    return true;
}

bool readRawFileHeader(const std::string& path, RawFileHeader& header, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open \"" + path + "\"";
        return false;
    }
    return readRawFileHeader(in, header, error);
}

}  // namespace zelvan
