#include <algorithm>
#include <charconv>

#include "zelvan/Decoder.h"
#include "zelvan/EVT3Decoder.h"
#include "zelvan/Logger.h"

namespace zelvan {

namespace {

std::string trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

bool parsePositive(const std::string& text, int& out) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || value <= 0) return false;
    out = value;
    return true;
}

}  // namespace

bool RawEventStreamFormat::parse(const std::string& text, RawEventStreamFormat& out) {
    RawEventStreamFormat result;
    size_t pos = 0;
    bool first = true;
    while (pos <= text.size()) {
        size_t next = text.find(';', pos);
        if (next == std::string::npos) next = text.size();
        const std::string item = trim(text.substr(pos, next - pos));
        pos = next + 1;
        if (first) {
            if (item.empty()) return false;
            result.name = item;
            first = false;
            continue;
        }
        const auto eq = item.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = trim(item.substr(0, eq));
        const std::string value = trim(item.substr(eq + 1));
        if (key == "width" && !parsePositive(value, result.width)) return false;
        if (key == "height" && !parsePositive(value, result.height)) return false;
    }
    out = result;
    return true;
}

std::string RawEventStreamFormat::toString() const {
    return name + ";height=" + std::to_string(height) + ";width=" + std::to_string(width);
}

std::unique_ptr<Decoder> DecoderFactory::createUniqueDecoder(const std::string& format) {
    RawEventStreamFormat parsed;
    if (!RawEventStreamFormat::parse(format, parsed)) {
        ZV_LOG(LOG_ERROR, "Invalid event stream format: \"%s\"", format.c_str());
        return nullptr;
    }
    if (parsed.name != "EVT3") {
        ZV_LOG(LOG_ERROR, "Unsupported event stream format: \"%s\"", format.c_str());
        return nullptr;
    }
    return std::make_unique<EVT3Decoder>(parsed.width, parsed.height);
}

Event2D* binarySearchTimestamp(uint64_t t, Event2D* first, Event2D* last) {
    return std::partition_point(first, last, [t](const Event2D& e) { return e.timestamp < t; });
}

const Event2D* binarySearchTimestamp(uint64_t t, const Event2D* first, const Event2D* last) {
    return std::partition_point(first, last, [t](const Event2D& e) { return e.timestamp < t; });
}

}  // namespace zelvan
