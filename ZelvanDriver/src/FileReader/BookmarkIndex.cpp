#include "FileReader/BookmarkIndex.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>

#include "FileReader/BookmarkFile.h"
#include "FileReader/IndexBuilder.h"
#include "FileReader/StreamTime.h"
#include "zelvan/Logger.h"

namespace zelvan::detail {

namespace {

// How far back before a 1.0.0 bookmark the row and vector base are looked for.
constexpr uint64_t kV1ScanBackBytes = 4096;

BookmarkFileContext contextOf(const BookmarkIndex::Recording& r) {
    return {r.file_size, r.start.offset, r.width, r.height, r.start.has_time_base, r.start.time_base};
}

}  // namespace

BookmarkIndex::BookmarkIndex() : decoder_(1280, 720), buffer_(RawFileReader::kReadChunkBytes) {}

bool BookmarkIndex::build(const Recording& recording, LoadProgress& progress, std::string& error) {
    clear();
    std::istream& in = recording.in;
    const uint64_t file_size = recording.file_size;
    // The builder holds the rule of where bookmarks stand; the recorder feeds it the same way.
    BookmarkBuilder builder(recording.start);
    in.clear();
    in.seekg(static_cast<std::streamoff>(recording.start.offset));
    for (uint64_t pos = recording.start.offset; pos < file_size;) {
        const size_t n =
            static_cast<size_t>(std::min<uint64_t>(RawFileReader::kReadChunkBytes, file_size - pos));
        in.read(reinterpret_cast<char*>(buffer_.data()), static_cast<std::streamsize>(n));
        if (static_cast<size_t>(in.gcount()) != n) {
            error = "Loading raw file failed. Read error at byte " + std::to_string(pos) + ".";
            return false;
        }
        builder.feed(buffer_.data(), n);
        pos += n;
        if (!progress.reached(pos)) return false;
    }
    marks_ = builder.finish();
    number();
    return true;
}

void BookmarkIndex::number() {
    by_event_.clear();
    uint64_t triggers = 0;
    for (auto& [key, b] : marks_) {
        by_event_[b.event_number] = key;
        triggers += b.triggers.size();
        b.trigger_number = triggers;
    }
}

const BookmarkIndex::Bookmark& BookmarkIndex::forEvent(uint64_t n) const {
    const auto entry = std::prev(by_event_.upper_bound(n));
    return marks_.find(entry->second)->second;
}

std::vector<EventTriggerIn> BookmarkIndex::triggersAt(uint64_t key) const {
    const auto it = marks_.find(key);
    return it == marks_.end() ? std::vector<EventTriggerIn>{} : it->second.triggers;
}

bool BookmarkIndex::save(const std::string& raw_path, const Recording& recording, bool& saved,
                         std::string& error) const {
    saved = false;
    std::error_code ec;
    const uint64_t size_now = std::filesystem::file_size(raw_path, ec);
    if (ec || size_now != recording.file_size) {
        ZV_LOG(LOG_INFO, "%s changed while it was indexed; its index is not saved", raw_path.c_str());
        return true;
    }
    const std::vector<uint8_t> bytes = serializeBookmarks(marks_, contextOf(recording));
    // What stands under the side file's name when the save fails is left for the next opening to
    // check (a recorder's index, or something that is no index at all).
    if (!writeSideFile(raw_path, bytes, error, true)) return false;
    saved = true;
    return true;
}

bool BookmarkIndex::load(const std::string& path, const Recording& recording, LoadProgress& progress) {
    // Something else under the index's name (a pipe would wait for a writer) is no index.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return false;
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        ZV_LOG(LOG_ERROR, "Error opening file for reading!");
        return false;
    }
    f.seekg(0, std::ios::end);
    const auto end = f.tellg();
    f.seekg(0, std::ios::beg);
    if (end < 0) {
        ZV_LOG(LOG_ERROR, "Error opening file for reading!");
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(end);
    if (size > RawFileReader::kMaxBookmarkFileBytes) {
        ZV_LOG(LOG_WARNING, "The tmp file is too large!");
        return false;
    }
    std::vector<uint8_t> bytes;
    try {
        bytes.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        // A side file is only ever a shortcut: without the memory to read it, the index is built.
        ZV_LOG(LOG_WARNING, "The tmp file is too large!");
        return false;
    }
    f.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    if (static_cast<uint64_t>(f.gcount()) != size) bytes.resize(static_cast<size_t>(f.gcount()));

    Map loaded;
    BookmarkFileVersion version{};
    if (!parseBookmarkFile(bytes, contextOf(recording), loaded, version)) return false;
    if (version == BookmarkFileVersion::V1 ? !completeV1(recording, loaded, progress)
                                           : !checkFinal(recording, loaded))
        return false;
    marks_ = std::move(loaded);
    number();
    return true;
}

// A 1.0.0 side file stores no decoder state. Each bookmark's key is the stream time at its offset;
// the row and vector base there are found by reading back over the preceding words, which are
// self-describing. The final bookmark (which 1.0.0 writers key with an earlier time) is remade by
// decoding the last stretch, and its event count must agree with the stored one.
bool BookmarkIndex::completeV1(const Recording& recording, Map& marks, LoadProgress& progress) {
    const uint64_t payload = recording.start.offset;
    const uint64_t file_size = recording.file_size;
    EVT3Decoder::State start;
    if (recording.start.has_time_base) {
        decoder_.setTimeBase(recording.start.time_base);
        start = decoder_.getState();
    }
    // Offset of the first TIME_HIGH: words before it are not decoded in a stream without time base.
    uint64_t first_time_high = payload;
    if (!recording.start.has_time_base) {
        first_time_high = file_size;
        for (uint64_t pos = payload; pos + 1 < file_size && first_time_high == file_size;) {
            const size_t n =
                static_cast<size_t>(std::min<uint64_t>(RawFileReader::kReadChunkBytes, file_size - pos)) &
                ~size_t(1);
            if (!readAt(recording.in, pos, n)) return false;
            for (size_t i = 0; i + 1 < n; i += 2) {
                if ((loadWord(buffer_.data() + i) >> 12) == 0x8) {
                    first_time_high = pos + i;
                    break;
                }
            }
            pos += n;
        }
    }
    auto it = marks.begin();
    it->second.decoder_state = start;
    for (++it; it != marks.end() && std::next(it) != marks.end(); ++it) {
        Bookmark& b = it->second;
        if (!progress.reached(b.position)) return false;
        const uint64_t from =
            std::max(b.position - std::min(b.position - payload, kV1ScanBackBytes), first_time_high);
        if (b.position <= from || !readAt(recording.in, from, static_cast<size_t>(b.position - from)))
            return false;
        const size_t words = static_cast<size_t>(b.position - from) / 2;
        EVT3Decoder::State& s = b.decoder_state;
        s.time_known = true;
        s.wraps = b.timestamp >> 24;
        s.time_high = static_cast<uint32_t>((b.timestamp >> 12) & 0xFFF);
        s.time_low = static_cast<uint32_t>(b.timestamp & 0xFFF);
        uint32_t advance = 0;  // vector words after the last VECT_BASE_X
        for (size_t i = words; i-- > 0;) {
            const uint32_t w = loadWord(buffer_.data() + 2 * i);
            const uint32_t type = w >> 12;
            if (type == 0x0 && !s.row_known) {
                s.row_known = true;
                s.row = w & 0x7FF;
            } else if ((type == 0x4 || type == 0x5) && !s.base_known) {
                advance += type == 0x4 ? 12 : 8;
            } else if (type == 0x3 && !s.base_known) {
                s.base_known = true;
                s.base_x = std::min((w & 0x7FF) + advance, 0x10000u);
                s.vector_polarity = (w >> 11) & 1;
            }
            if (s.row_known && s.base_known) break;
        }
        if (!s.row_known) {
            ZV_LOG(LOG_WARNING, "Bookmark file records are inconsistent: no row address before a bookmark");
            return false;
        }
    }
    // Remake the final bookmark from the one before it.
    auto final_it = std::prev(marks.end());
    if (final_it == marks.begin()) return false;
    const Bookmark& before = std::prev(final_it)->second;
    uint64_t count = 0;
    std::vector<EventTriggerIn> triggers;
    if (!decodeTail(recording, before, count, triggers)) return false;
    if (count != final_it->second.event_number) {
        ZV_LOG(LOG_WARNING, "Bookmark file records are inconsistent: event count differs from the data");
        return false;
    }
    Bookmark last = std::move(final_it->second);
    marks.erase(final_it);
    last.decoder_state = decoder_.getState();
    last.timestamp = std::max(timeOf(last.decoder_state), saturatingAdd(std::prev(marks.end())->first, 1));
    marks.emplace(last.timestamp, std::move(last));
    return true;
}

// The final bookmark of a side file stands at the end of the data. Decoding the stretch after the
// bookmark before it (about one bookmark period of data) must give exactly its event count, triggers,
// decoder state and key; a side file that disagrees, whatever its CRC says, would promise events that
// the data does not hold.
bool BookmarkIndex::checkFinal(const Recording& recording, const Map& marks) {
    const auto final_it = std::prev(marks.end());
    if (final_it == marks.begin()) {
        ZV_LOG(LOG_WARNING, "Bookmark file records are inconsistent: no bookmark before the final one");
        return false;
    }
    const auto before_it = std::prev(final_it);
    uint64_t count = 0;
    std::vector<EventTriggerIn> triggers;
    if (!decodeTail(recording, before_it->second, count, triggers)) return false;
    const EVT3Decoder::State state = decoder_.getState();
    const Bookmark& last = final_it->second;
    if (count != last.event_number || triggers != last.triggers || !(state == last.decoder_state) ||
        final_it->first != std::max(timeOf(state), saturatingAdd(before_it->first, 1))) {
        ZV_LOG(LOG_WARNING,
               "Bookmark file records are inconsistent: the final bookmark differs from the data");
        return false;
    }
    return true;
}

bool BookmarkIndex::decodeTail(const Recording& recording, const Bookmark& from, uint64_t& count,
                               std::vector<EventTriggerIn>& triggers) {
    count = from.event_number;
    triggers.clear();
    decoder_.setEventsStreamHandleCallback(
        [&count](Event2D* first, Event2D* last) { count += static_cast<uint64_t>(last - first); });
    decoder_.setTriggerInCallback([&triggers](EventTriggerIn t) { triggers.push_back(t); });
    decoder_.setState(from.decoder_state);
    bool ok = true;
    for (uint64_t pos = from.position; pos < recording.file_size;) {
        const size_t n = static_cast<size_t>(
            std::min<uint64_t>(RawFileReader::kReadChunkBytes, recording.file_size - pos));
        if (!readAt(recording.in, pos, n)) {
            ZV_LOG(LOG_WARNING, "Bookmark file check failed: read error at byte %llu",
                   (unsigned long long)pos);
            ok = false;
            break;
        }
        decoder_.decode(buffer_.data(), buffer_.data() + n);
        pos += n;
    }
    // The callbacks refer to this call's locals.
    decoder_.setEventsStreamHandleCallback(nullptr);
    decoder_.setTriggerInCallback(nullptr);
    return ok;
}

bool BookmarkIndex::readAt(std::istream& in, uint64_t pos, size_t n) {
    if (buffer_.size() < n) buffer_.resize(n);
    in.clear();
    in.seekg(static_cast<std::streamoff>(pos));
    in.read(reinterpret_cast<char*>(buffer_.data()), static_cast<std::streamsize>(n));
    return static_cast<size_t>(in.gcount()) == n;
}

}  // namespace zelvan::detail
