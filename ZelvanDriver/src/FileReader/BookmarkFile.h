// The bookmark side file of a raw recording: layout, writing, checking and parsing.
//
// Layout (little endian):
//   "version:V\n" "max_byte:N\n" "sensor_width:W\n" "sensor_height:H\n"   (V 2.0.0 adds
//   "payload_offset:N\n" and "time_base:N\n" or "time_base:none\n")
//   0x00
//   uint64 bookmark count
//   per bookmark: uint64 key, uint64 offset, uint8 0, uint64 timestamp, event number (uint32 in
//     1.0.0, uint64 in 2.0.0), [2.0.0 only: decoder state: uint8 flags (1 time, 2 row, 4 base,
//     8 vector polarity), uint64 wraps, uint16 time high, uint16 time low, uint16 row, uint32 base x],
//     uint64 trigger count, per trigger int16 id, int16 polarity, uint64 timestamp
//   uint8 CRC-8 (polynomial 0x07, initial 0, not reflected) over every preceding byte
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "zelvan/RawFileReader.h"

namespace zelvan::detail {

uint8_t crc8(const uint8_t* data, size_t size, uint8_t crc = 0);

// What a side file must match to be used for a recording.
struct BookmarkFileContext {
    uint64_t file_size = 0;
    uint64_t payload_offset = 0;
    int width = 0;
    int height = 0;
    bool has_time_base = false;
    uint64_t time_base = 0;
};

enum class BookmarkFileVersion { V1, V2 };

using BookmarkMap = std::map<uint64_t, RawFileReader::Bookmark>;

// The whole side file (CRC included) in the current layout.
std::vector<uint8_t> serializeBookmarks(const BookmarkMap& bookmarks, const BookmarkFileContext& context);

// Checks the side file's bytes against the recording and parses its bookmarks. Every failure logs
// its reason and returns false. Nothing is allocated beyond what the bytes themselves justify.
// Bookmarks of a 1.0.0 file come without decoder state (the caller re-establishes it).
[[nodiscard]] bool parseBookmarkFile(const std::vector<uint8_t>& bytes, const BookmarkFileContext& context,
                                     BookmarkMap& out, BookmarkFileVersion& version);

}  // namespace zelvan::detail
