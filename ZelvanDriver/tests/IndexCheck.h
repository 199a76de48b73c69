// Checks that a recording's bookmark index is the one a reader builds itself for the same bytes.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FileReader/BookmarkFile.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileHeader.h"
#include "zelvan/RawFileReader.h"

namespace zelvan::indexcheck {

namespace fs = std::filesystem;

inline std::vector<uint8_t> readBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline fs::path indexOf(const fs::path& raw) { return RawFileReader::bookmarkPathFor(raw.string()); }

// The temporary files an index writer left beside the index `side` (none, once it is done).
inline std::vector<fs::path> temporariesOf(const fs::path& side) {
    std::vector<fs::path> found;
    std::error_code ec;
    const std::string prefix = side.filename().string() + ".part";
    for (const auto& entry : fs::directory_iterator(side.parent_path(), ec)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) found.push_back(entry.path());
    }
    return found;
}

// The context a reader checks a side file against, taken from the recording itself.
inline detail::BookmarkFileContext contextOf(const fs::path& raw) {
    std::ifstream in(raw, std::ios::binary);
    RawFileHeader header;
    std::string error;
    EXPECT_TRUE(readRawFileHeader(in, header, error)) << error;
    const uint64_t size = fs::file_size(raw);
    PayloadStart start;
    EXPECT_TRUE(findPayloadStart(in, header, size, start));
    return {size, start.offset, header.info.width, header.info.height, start.has_time_base, start.time_base};
}

// Compares the side file beside `raw` with the one a reader builds from scratch for a copy of `raw`:
// bookmark by bookmark first (for a readable failure), then byte by byte. `min_bookmarks`: how many the
// recording must have for the comparison to mean something.
inline void expectIndexAsReaderBuildsIt(const fs::path& raw, size_t min_bookmarks = 3) {
    SCOPED_TRACE(raw.string());
    ASSERT_TRUE(fs::exists(indexOf(raw))) << "the recording carries no index";
    const std::vector<uint8_t> recorded = readBytes(indexOf(raw));
    const fs::path copy = raw.parent_path() / ("rebuilt-" + raw.filename().string());
    fs::remove(copy);
    fs::remove(indexOf(copy));
    fs::copy_file(raw, copy);
    {
        RawFileReader reader(copy.string());
        ASSERT_TRUE(reader.loadFile()) << reader.lastErrorMessage();
    }
    const std::vector<uint8_t> built = readBytes(indexOf(copy));
    ASSERT_FALSE(built.empty());

    const detail::BookmarkFileContext context = contextOf(raw);
    detail::BookmarkMap from_recorder, from_reader;
    detail::BookmarkFileVersion version{};
    ASSERT_TRUE(detail::parseBookmarkFile(recorded, context, from_recorder, version));
    ASSERT_TRUE(detail::parseBookmarkFile(built, context, from_reader, version));
    ASSERT_EQ(from_recorder.size(), from_reader.size());
    EXPECT_GE(from_reader.size(), min_bookmarks) << "a recording of several bookmarks";
    for (auto a = from_recorder.begin(), b = from_reader.begin(); b != from_reader.end(); ++a, ++b) {
        ASSERT_EQ(a->first, b->first);
        EXPECT_EQ(a->second.position, b->second.position) << "bookmark " << b->first;
        EXPECT_EQ(a->second.timestamp, b->second.timestamp) << "bookmark " << b->first;
        EXPECT_EQ(a->second.event_number, b->second.event_number) << "bookmark " << b->first;
        EXPECT_TRUE(a->second.decoder_state == b->second.decoder_state) << "bookmark " << b->first;
        EXPECT_TRUE(a->second.triggers == b->second.triggers) << "bookmark " << b->first;
    }
    EXPECT_TRUE(recorded == built) << "side files differ: " << recorded.size() << " and " << built.size()
                                   << " bytes";

    // The reader takes the recording's own index as it is.
    ScopedLogCapture log;
    RawFileReader reader(raw.string());
    ASSERT_TRUE(reader.loadFile()) << reader.lastErrorMessage();
    EXPECT_EQ(reader.lastError(), ReaderError::None);
    EXPECT_FALSE(log.containsSubstring(LOG_WARNING, "re-initialize bookmarks"));
    EXPECT_TRUE(readBytes(indexOf(raw)) == recorded);
}

}  // namespace zelvan::indexcheck
