#include "FileReader/BookmarkFile.h"

#include <array>
#include <charconv>
#include <cstring>

#include "zelvan/Logger.h"

namespace zelvan::detail {

namespace {

constexpr std::array<uint8_t, 256> makeCrcTable() {
    std::array<uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint8_t c = static_cast<uint8_t>(i);
        for (int k = 0; k < 8; ++k) c = static_cast<uint8_t>((c & 0x80) ? (c << 1) ^ 0x07 : (c << 1));
        table[i] = c;
    }
    return table;
}
constexpr std::array<uint8_t, 256> kCrcTable = makeCrcTable();

constexpr uint8_t kFlagTime = 1;
constexpr uint8_t kFlagRow = 2;
constexpr uint8_t kFlagBase = 4;
constexpr uint8_t kFlagPolarity = 8;

constexpr size_t kTriggerBytes = 2 + 2 + 8;
constexpr size_t kEntryBytesV1 = 8 + 8 + 1 + 8 + 4 + 8;
constexpr size_t kEntryBytesV2 = 8 + 8 + 1 + 8 + 8 + (1 + 8 + 2 + 2 + 2 + 4) + 8;

template <typename T>
void put(std::vector<uint8_t>& out, T value) {
    for (size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<uint8_t>(uint64_t(value) >> (8 * i)));
}

void putLine(std::vector<uint8_t>& out, const std::string& line) {
    out.insert(out.end(), line.begin(), line.end());
    out.push_back('\n');
}

// Bounds-checked little-endian reads over the side file's bytes.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    size_t left() const { return static_cast<size_t>(end_ - p_); }
    template <typename T>
    bool get(T& value) {
        if (left() < sizeof(T)) return false;
        uint64_t v = 0;
        for (size_t i = 0; i < sizeof(T); ++i) v |= uint64_t(p_[i]) << (8 * i);
        p_ += sizeof(T);
        value = static_cast<T>(v);
        return true;
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

bool parseDecimal(const std::string& text, uint64_t& out) {
    if (text.empty()) return false;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && ptr == text.data() + text.size();
}

bool inconsistent(const char* what) {
    ZV_LOG(LOG_WARNING, "Bookmark file records are inconsistent: %s", what);
    return false;
}

}  // namespace

uint8_t crc8(const uint8_t* data, size_t size, uint8_t crc) {
    for (size_t i = 0; i < size; ++i) crc = kCrcTable[crc ^ data[i]];
    return crc;
}

std::vector<uint8_t> serializeBookmarks(const BookmarkMap& bookmarks, const BookmarkFileContext& context) {
    std::vector<uint8_t> out;
    size_t triggers = 0;
    for (const auto& [key, b] : bookmarks) triggers += b.triggers.size();
    out.reserve(128 + bookmarks.size() * kEntryBytesV2 + triggers * kTriggerBytes);
    putLine(out, std::string("version:") + RawFileReader::BOOKMARK_VERSION);
    putLine(out, "max_byte:" + std::to_string(context.file_size));
    putLine(out, "sensor_width:" + std::to_string(context.width));
    putLine(out, "sensor_height:" + std::to_string(context.height));
    putLine(out, "payload_offset:" + std::to_string(context.payload_offset));
    putLine(out,
            "time_base:" + (context.has_time_base ? std::to_string(context.time_base) : std::string("none")));
    out.push_back(0);
    put<uint64_t>(out, bookmarks.size());
    for (const auto& [key, b] : bookmarks) {
        put<uint64_t>(out, key);
        put<uint64_t>(out, b.position);
        put<uint8_t>(out, 0);
        put<uint64_t>(out, b.timestamp);
        put<uint64_t>(out, b.event_number);
        const auto& s = b.decoder_state;
        put<uint8_t>(out, static_cast<uint8_t>((s.time_known ? kFlagTime : 0) | (s.row_known ? kFlagRow : 0) |
                                               (s.base_known ? kFlagBase : 0) |
                                               (s.vector_polarity ? kFlagPolarity : 0)));
        put<uint64_t>(out, s.wraps);
        put<uint16_t>(out, static_cast<uint16_t>(s.time_high));
        put<uint16_t>(out, static_cast<uint16_t>(s.time_low));
        put<uint16_t>(out, static_cast<uint16_t>(s.row));
        put<uint32_t>(out, s.base_x);
        put<uint64_t>(out, b.triggers.size());
        for (const auto& t : b.triggers) {
            put<int16_t>(out, t.id);
            put<int16_t>(out, t.polarity);
            put<uint64_t>(out, t.timestamp);
        }
    }
    out.push_back(crc8(out.data(), out.size()));
    return out;
}

bool parseBookmarkFile(const std::vector<uint8_t>& bytes, const BookmarkFileContext& context,
                       BookmarkMap& out, BookmarkFileVersion& version) {
    if (bytes.empty()) {
        ZV_LOG(LOG_WARNING, "The file content is insufficient to perform CRC validation!");
        return false;
    }
    if (crc8(bytes.data(), bytes.size() - 1) != bytes.back()) {
        ZV_LOG(LOG_WARNING, "The file has changed");
        return false;
    }
    // The text part runs up to the first 0x00 byte; the CRC byte is not part of the records.
    const size_t body = bytes.size() - 1;
    const auto* zero = static_cast<const uint8_t*>(std::memchr(bytes.data(), 0, body));
    const size_t text_end = zero ? static_cast<size_t>(zero - bytes.data()) : body;
    std::map<std::string, std::string> keys;
    for (size_t pos = 0; pos < text_end;) {
        size_t eol = pos;
        while (eol < text_end && bytes[eol] != '\n') ++eol;
        const std::string line(reinterpret_cast<const char*>(bytes.data()) + pos, eol - pos);
        const auto colon = line.find(':');
        if (colon != std::string::npos) keys[line.substr(0, colon)] = line.substr(colon + 1);
        pos = eol + 1;
    }
    const auto version_it = keys.find("version");
    if (version_it == keys.end()) {
        ZV_LOG(LOG_WARNING, "Bookmark file has no version information, need to regenerate");
        return false;
    }
    if (version_it->second == RawFileReader::BOOKMARK_VERSION) {
        version = BookmarkFileVersion::V2;
    } else if (version_it->second == RawFileReader::BOOKMARK_VERSION_V1) {
        version = BookmarkFileVersion::V1;
    } else {
        ZV_LOG(LOG_WARNING, "Bookmark file version mismatch: expected %s, got %s",
               RawFileReader::BOOKMARK_VERSION, version_it->second.c_str());
        return false;
    }
    uint64_t value = 0;
    if (!parseDecimal(keys["max_byte"], value) || value != context.file_size) {
        ZV_LOG(LOG_WARNING, "The file has changed");
        return false;
    }
    uint64_t width = 0, height = 0;
    if (!parseDecimal(keys["sensor_width"], width) || !parseDecimal(keys["sensor_height"], height) ||
        width != uint64_t(context.width) || height != uint64_t(context.height)) {
        ZV_LOG(LOG_WARNING, "The sensor resolution has been changed ");
        return false;
    }
    if (version == BookmarkFileVersion::V2) {
        const std::string base = context.has_time_base ? std::to_string(context.time_base) : "none";
        if (!parseDecimal(keys["payload_offset"], value) || value != context.payload_offset ||
            keys["time_base"] != base) {
            ZV_LOG(LOG_WARNING, "The file has changed");
            return false;
        }
    }
    if (zero == nullptr) return inconsistent("no end of the text part");

    Reader r(bytes.data() + text_end + 1, body - text_end - 1);
    uint64_t count = 0;
    if (!r.get(count)) return inconsistent("no bookmark count");
    const size_t entry_bytes = version == BookmarkFileVersion::V2 ? kEntryBytesV2 : kEntryBytesV1;
    if (count == 0 || count > r.left() / entry_bytes)
        return inconsistent("bookmark count does not fit the file");

    BookmarkMap result;
    uint64_t last_key = 0, last_position = 0, last_events = 0;
    for (uint64_t i = 0; i < count; ++i) {
        RawFileReader::Bookmark b;
        uint64_t key = 0, trigger_count = 0;
        uint8_t state_byte = 0;
        bool ok = r.get(key) && r.get(b.position) && r.get(state_byte) && r.get(b.timestamp);
        if (version == BookmarkFileVersion::V2) {
            uint8_t flags = 0;
            uint16_t th = 0, tl = 0, row = 0;
            auto& s = b.decoder_state;
            ok = ok && r.get(b.event_number) && r.get(flags) && r.get(s.wraps) && r.get(th) && r.get(tl) &&
                 r.get(row) && r.get(s.base_x);
            if (ok && (flags > 0xF || th > 0xFFF || tl > 0xFFF || row > 0x7FF || s.base_x > 0x10000 ||
                       s.wraps > (uint64_t(1) << 40))) {
                return inconsistent("decoder state out of range");
            }
            s.time_known = flags & kFlagTime;
            s.row_known = flags & kFlagRow;
            s.base_known = flags & kFlagBase;
            s.vector_polarity = (flags & kFlagPolarity) ? 1 : 0;
            s.time_high = th;
            s.time_low = tl;
            s.row = row;
        } else {
            uint32_t events = 0;
            ok = ok && r.get(events);
            b.event_number = events;
        }
        ok = ok && r.get(trigger_count);
        if (!ok) return inconsistent("truncated bookmark");
        if (trigger_count > r.left() / kTriggerBytes)
            return inconsistent("trigger count does not fit the file");
        b.triggers.reserve(static_cast<size_t>(trigger_count));
        for (uint64_t k = 0; k < trigger_count; ++k) {
            EventTriggerIn t;
            r.get(t.id);
            r.get(t.polarity);
            r.get(t.timestamp);
            b.triggers.push_back(t);
        }
        if (state_byte != 0 || b.timestamp != key) return inconsistent("bookmark key and timestamp differ");
        // Bookmarks stand at word boundaries, except the final one at the end of a payload whose
        // length is odd.
        if (b.position < context.payload_offset || b.position > context.file_size ||
            ((b.position - context.payload_offset) % 2 != 0 && b.position != context.file_size)) {
            return inconsistent("bookmark offset outside the payload");
        }
        if (i == 0 && (b.position != context.payload_offset || b.event_number != 0)) {
            return inconsistent("first bookmark is not at the start of the payload");
        }
        // A 1.0.0 file whose 32-bit counts wrapped shows a decreasing count here.
        if (i > 0 && (key <= last_key || b.position < last_position || b.event_number < last_events)) {
            return inconsistent("bookmarks out of order");
        }
        last_key = key;
        last_position = b.position;
        last_events = b.event_number;
        result.emplace_hint(result.end(), key, std::move(b));
    }
    if (last_position != context.file_size)
        return inconsistent("last bookmark is not at the end of the file");
    if (r.left() != 0) return inconsistent("bytes after the last bookmark");
    out = std::move(result);
    return true;
}

}  // namespace zelvan::detail
