#include "zelvan/RawFileReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>

#include "FileReader/BookmarkFile.h"
#include "zelvan/DataToVideoConverter.h"
#include "zelvan/FileHeader.h"
#include "zelvan/Logger.h"

namespace zelvan {

namespace {

constexpr uint64_t kNoLimit = std::numeric_limits<uint64_t>::max();
// How far back before a 1.0.0 bookmark the row and vector base are looked for.
constexpr uint64_t kV1ScanBackBytes = 4096;

uint64_t timeOf(const EVT3Decoder::State& s) {
    return s.time_known ? (s.wraps << 24) + (uint64_t(s.time_high) << 12) + s.time_low : 0;
}

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
    return a > kNoLimit - b ? kNoLimit : a + b;
}

inline uint32_t loadWord(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8);
}

// Follows only the stream time through `words` words, with the decoder's rules, and returns the
// index of the first word after which the time is at least `target` (`words` when none is).
size_t scanToTime(const uint8_t* p, size_t words, EVT3Decoder::State& s, uint64_t target) {
    for (size_t i = 0; i < words; ++i) {
        const uint32_t w = loadWord(p + 2 * i);
        const uint32_t type = w >> 12;
        const uint32_t v = w & 0xFFF;
        if (type == 0x8) {
            if (!s.time_known) {
                s = EVT3Decoder::State{};
                s.time_known = true;
            } else {
                if (s.time_high >= v + 2048) ++s.wraps;
                if (v != s.time_high) s.time_low = 0;
            }
            s.time_high = v;
        } else if (type == 0x6 && s.time_known) {
            s.time_low = v;
        } else {
            continue;
        }
        if (timeOf(s) >= target) return i;
    }
    return words;
}

}  // namespace

bool findPayloadStart(std::istream& in, const RawFileHeader& header, uint64_t file_size,
                      PayloadStart& start) {
    start = PayloadStart{};
    start.offset = std::min(header.payload_offset, file_size);
    start.has_time_base = header.has_dvs_start_timestamp;
    start.time_base = header.info.dvs_start_timestamp;
    if (!header.has_dvs_start_timestamp) return true;

    // The first TIME_HIGH word of the payload.
    std::vector<uint8_t> chunk(RawFileReader::kReadChunkBytes);
    in.clear();
    in.seekg(static_cast<std::streamoff>(start.offset));
    for (uint64_t pos = start.offset; pos + 1 < file_size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), file_size - pos)) & ~size_t(1);
        in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(n));
        if (static_cast<size_t>(in.gcount()) != n) return false;
        for (size_t i = 0; i < n; i += 2) {
            const uint32_t w = loadWord(chunk.data() + i);
            if ((w >> 12) != 0x8) continue;
            const uint32_t value = w & 0xFFF;
            const uint64_t header_time = header.info.dvs_start_timestamp;
            const uint32_t header_high = static_cast<uint32_t>((header_time >> 12) & 0xFFF);
            if (value == header_high || value == ((header_high + 1) & 0xFFF)) return true;
            const uint64_t wraps = (header_time >> 24) + (header_high >= value + 2048 ? 1 : 0);
            start.offset = pos + i;
            start.time_base = (wraps << 24) + (uint64_t(value) << 12);
            start.header_time_ignored = true;
            ZV_LOG(
                LOG_WARNING,
                "The header's dvs_start_timestamp %llu disagrees with the stream (first TIME_HIGH %u): the "
                "time is taken from the stream, from %llu us at byte %llu.",
                (unsigned long long)header_time, value, (unsigned long long)start.time_base,
                (unsigned long long)start.offset);
            return true;
        }
        pos += n;
    }
    return true;
}

std::unique_ptr<DvsFileReader> DvsFileReader::createFileReader(const std::string& path) {
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || path.compare(dot, std::string::npos, ".raw") != 0) return nullptr;
    return std::make_unique<RawFileReader>(path);
}

std::string RawFileReader::bookmarkPathFor(const std::string& raw_path) {
    const auto at = raw_path.rfind(".raw");
    if (at == std::string::npos) return raw_path + ".zvmark.tmp";
    return raw_path.substr(0, at) + ".zvmark.tmp" + raw_path.substr(at + 4);
}

RawFileReader::RawFileReader(const std::string& path)
    : path_(path),
      bookmark_path_(bookmarkPathFor(path)),
      decoder_(1280, 720),
      output_(std::make_shared<std::vector<Event2D>>()) {}

RawFileReader::~RawFileReader() = default;

bool RawFileReader::loadFile() {
    std::lock_guard<std::mutex> lock(read_mutex_);
    loaded_ = false;
    data_lost_ = false;
    data_loss_reported_ = false;
    in_.open(path_, std::ios::binary);
    if (!in_.is_open()) {
        ZV_LOG(LOG_ERROR, "Failed to open raw file: %s", path_.c_str());
        return false;
    }
    in_.seekg(0, std::ios::end);
    const auto size = in_.tellg();
    in_.seekg(0, std::ios::beg);
    file_size_ = size > 0 ? static_cast<uint64_t>(size) : 0;
    std::string error;
    if (!readRawFileHeader(in_, header_, error)) {
        ZV_LOG(LOG_ERROR, "Raw file header rejected: %s", error.c_str());
        return false;
    }
    header_.payload_offset = std::min(header_.payload_offset, file_size_);
    if (!findPayloadStart(in_, header_, file_size_, data_start_)) {
        ZV_LOG(LOG_ERROR, "Loading raw file failed. Read error in %s.", path_.c_str());
        return false;
    }
    ZV_LOG(LOG_INFO, "Loading raw file...");
    read_buffer_.resize(kReadChunkBytes);

    bool loaded_index = false;
    std::error_code ec;
    if (std::filesystem::exists(bookmark_path_, ec)) {
        loaded_index = loadBookmarkFile();
        if (!loaded_index) ZV_LOG(LOG_WARNING, "Bookmark file check failed, re-initialize bookmarks.");
    }
    if (!loaded_index) {
        if (!buildIndex()) return false;
        if (!bookmarks_.empty()) writeBookmarkFile();
    }
    fillEventNumberIndex();

    decoder_.setEventsStreamHandleCallback([this](Event2D* first, Event2D* last) {
        decoded_total_ += static_cast<uint64_t>(last - first);
        if (!count_only_) decoded_.insert(decoded_.end(), first, last);
    });
    if (bookmarks_.empty()) {
        ZV_LOG(LOG_ERROR, "Loading raw file failed. There is no data in the file.");
        return false;
    }
    start_timestamp_ = bookmarks_.begin()->first;
    end_timestamp_ = bookmarks_.rbegin()->first;
    max_events_ = bookmarks_.rbegin()->second.event_number;
    decoder_.setTriggerInCallback([this](EventTriggerIn trigger) {
        const uint64_t number = next_trigger_++;
        if (decoded_total_ < list_triggers_from_) return;
        std::lock_guard<std::mutex> trigger_lock(trigger_mutex_);
        trigger_list_.emplace(number, trigger);
    });
    seekTimeLocked(start_timestamp_);
    ZV_LOG(LOG_INFO, "Loading raw file succeeded.");
    loaded_ = true;
    return true;
}

bool RawFileReader::buildIndex() {
    bookmarks_.clear();
    event_number_index_.clear();
    uint64_t count = 0;
    std::vector<EventTriggerIn> pending;
    decoder_.setEventsStreamHandleCallback(
        [&count](Event2D* first, Event2D* last) { count += static_cast<uint64_t>(last - first); });
    decoder_.setTriggerInCallback([&pending](EventTriggerIn t) { pending.push_back(t); });

    const uint64_t payload = data_start_.offset;
    uint64_t last = 0;
    auto add = [&](uint64_t key, uint64_t position, const EVT3Decoder::State& state) {
        Bookmark b;
        b.position = position;
        b.timestamp = key;
        b.event_number = count;
        b.triggers.swap(pending);
        b.decoder_state = state;
        bookmarks_.emplace_hint(bookmarks_.end(), key, std::move(b));
        last = key;
    };

    // Without a time base (no "% dvs_start_timestamp" in the header) decoding starts fresh and the
    // first bookmark gets the time of the first TIME_HIGH word. A header time that disagrees with
    // the stream gives a time base at that word instead (findPayloadStart).
    bool have_first = data_start_.has_time_base;
    if (have_first) {
        decoder_.setTimeBase(data_start_.time_base);
        add(data_start_.time_base, payload, decoder_.getState());
    } else {
        decoder_.resetTimeBase();
    }
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(payload));
    uint64_t pos = payload;
    while (pos < file_size_) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kReadChunkBytes, file_size_ - pos));
        in_.read(reinterpret_cast<char*>(read_buffer_.data()), static_cast<std::streamsize>(n));
        if (static_cast<size_t>(in_.gcount()) != n) {
            ZV_LOG(LOG_ERROR, "Loading raw file failed. Read error at byte %llu.", (unsigned long long)pos);
            bookmarks_.clear();
            return false;
        }
        decoder_.decode(read_buffer_.data(), read_buffer_.data() + n);
        pos += n;
        const EVT3Decoder::State state = decoder_.getState();
        if (!state.time_known) continue;
        if (!have_first) {
            // Time became known in this chunk, which starts at a word boundary.
            EVT3Decoder::State fresh;
            scanToTime(read_buffer_.data(), n / 2, fresh, 0);
            Bookmark b;
            b.position = payload;
            b.timestamp = timeOf(fresh);
            bookmarks_.emplace(b.timestamp, std::move(b));
            last = timeOf(fresh);
            have_first = true;
        }
        const uint64_t t = timeOf(state);
        if (t >= saturatingAdd(last, bookmark_period_us)) add(t, pos, state);
    }
    if (count == 0) {
        bookmarks_.clear();
        return true;
    }
    // The final bookmark stands at the end of the data; its key is the end of the stream time.
    if (bookmarks_.rbegin()->second.position != file_size_) {
        const EVT3Decoder::State state = decoder_.getState();
        add(std::max(timeOf(state), saturatingAdd(last, 1)), file_size_, state);
    }
    return true;
}

void RawFileReader::fillEventNumberIndex() {
    event_number_index_.clear();
    uint64_t triggers = 0;
    for (auto& [key, b] : bookmarks_) {
        event_number_index_[b.event_number] = key;
        triggers += b.triggers.size();
        b.trigger_number = triggers;
    }
}

void RawFileReader::writeBookmarkFile() const {
    detail::BookmarkFileContext context{
        file_size_,          data_start_.offset,        header_.info.width,
        header_.info.height, data_start_.has_time_base, data_start_.time_base};
    const std::vector<uint8_t> bytes = detail::serializeBookmarks(bookmarks_, context);
    std::ofstream out(bookmark_path_, std::ios::binary | std::ios::trunc);
    if (!out) {
        ZV_LOG(LOG_ERROR, "Failed to open file for writing");
        return;
    }
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) ZV_LOG(LOG_ERROR, "Failed to write bookmark file: %s", bookmark_path_.c_str());
}

bool RawFileReader::loadBookmarkFile() {
    std::ifstream f(bookmark_path_, std::ios::binary);
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
    if (size > kMaxBookmarkFileBytes) {
        ZV_LOG(LOG_WARNING, "The tmp file is too large!");
        return false;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    f.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    if (static_cast<uint64_t>(f.gcount()) != size) bytes.resize(static_cast<size_t>(f.gcount()));

    detail::BookmarkFileContext context{
        file_size_,          data_start_.offset,        header_.info.width,
        header_.info.height, data_start_.has_time_base, data_start_.time_base};
    detail::BookmarkMap loaded;
    detail::BookmarkFileVersion version{};
    if (!detail::parseBookmarkFile(bytes, context, loaded, version)) return false;
    if (version == detail::BookmarkFileVersion::V1 ? !completeV1Bookmarks(loaded)
                                                   : !checkFinalBookmark(loaded))
        return false;
    bookmarks_ = std::move(loaded);
    return true;
}

// A 1.0.0 side file stores no decoder state. Each bookmark's key is the stream time at its offset;
// the row and vector base there are found by reading back over the preceding words, which are
// self-describing. The final bookmark (which 1.0.0 writers key with an earlier time) is remade by
// decoding the last stretch, and its event count must agree with the stored one.
bool RawFileReader::completeV1Bookmarks(std::map<uint64_t, Bookmark>& marks) {
    const uint64_t payload = data_start_.offset;
    EVT3Decoder::State start;
    if (data_start_.has_time_base) {
        decoder_.setTimeBase(data_start_.time_base);
        start = decoder_.getState();
    }
    // Offset of the first TIME_HIGH: words before it are not decoded in a stream without time base.
    uint64_t first_time_high = payload;
    if (!data_start_.has_time_base) {
        first_time_high = file_size_;
        for (uint64_t pos = payload; pos + 1 < file_size_ && first_time_high == file_size_;) {
            const size_t n =
                static_cast<size_t>(std::min<uint64_t>(kReadChunkBytes, file_size_ - pos)) & ~size_t(1);
            if (!readAt(pos, n)) return false;
            for (size_t i = 0; i + 1 < n; i += 2) {
                if ((loadWord(read_buffer_.data() + i) >> 12) == 0x8) {
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
        const uint64_t from =
            std::max(b.position - std::min(b.position - payload, kV1ScanBackBytes), first_time_high);
        if (b.position <= from || !readAt(from, static_cast<size_t>(b.position - from))) return false;
        const size_t words = static_cast<size_t>(b.position - from) / 2;
        EVT3Decoder::State& s = b.decoder_state;
        s.time_known = true;
        s.wraps = b.timestamp >> 24;
        s.time_high = static_cast<uint32_t>((b.timestamp >> 12) & 0xFFF);
        s.time_low = static_cast<uint32_t>(b.timestamp & 0xFFF);
        uint32_t advance = 0;  // vector words after the last VECT_BASE_X
        for (size_t i = words; i-- > 0;) {
            const uint32_t w = loadWord(read_buffer_.data() + 2 * i);
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
    if (!decodeTail(before, count, triggers)) return false;
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
bool RawFileReader::checkFinalBookmark(const std::map<uint64_t, Bookmark>& marks) {
    const auto final_it = std::prev(marks.end());
    if (final_it == marks.begin()) {
        ZV_LOG(LOG_WARNING, "Bookmark file records are inconsistent: no bookmark before the final one");
        return false;
    }
    const auto before_it = std::prev(final_it);
    uint64_t count = 0;
    std::vector<EventTriggerIn> triggers;
    if (!decodeTail(before_it->second, count, triggers)) return false;
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

bool RawFileReader::decodeTail(const Bookmark& from, uint64_t& count, std::vector<EventTriggerIn>& triggers) {
    count = from.event_number;
    triggers.clear();
    decoder_.setEventsStreamHandleCallback(
        [&count](Event2D* first, Event2D* last) { count += static_cast<uint64_t>(last - first); });
    decoder_.setTriggerInCallback([&triggers](EventTriggerIn t) { triggers.push_back(t); });
    decoder_.setState(from.decoder_state);
    bool ok = true;
    for (uint64_t pos = from.position; pos < file_size_;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kReadChunkBytes, file_size_ - pos));
        if (!readAt(pos, n)) {
            ZV_LOG(LOG_WARNING, "Bookmark file check failed: read error at byte %llu",
                   (unsigned long long)pos);
            ok = false;
            break;
        }
        decoder_.decode(read_buffer_.data(), read_buffer_.data() + n);
        pos += n;
    }
    // The callbacks refer to this call's locals.
    decoder_.setEventsStreamHandleCallback(nullptr);
    decoder_.setTriggerInCallback(nullptr);
    return ok;
}

bool RawFileReader::readAt(uint64_t pos, size_t n) {
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(pos));
    in_.read(reinterpret_cast<char*>(read_buffer_.data()), static_cast<std::streamsize>(n));
    stream_pos_ = kNoLimit;
    return static_cast<size_t>(in_.gcount()) == n;
}

// ---- cursor ----

bool RawFileReader::readChunk() {
    if (file_pos_ >= file_size_) return false;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kReadChunkBytes, file_size_ - file_pos_));
    if (stream_pos_ != file_pos_) {
        in_.clear();
        in_.seekg(static_cast<std::streamoff>(file_pos_));
    }
    in_.read(reinterpret_cast<char*>(read_buffer_.data()), static_cast<std::streamsize>(n));
    const size_t got = static_cast<size_t>(in_.gcount());
    if (got != n) {
        ZV_LOG(LOG_ERROR, "Read error in raw file %s at byte %llu", path_.c_str(),
               (unsigned long long)file_pos_);
        file_pos_ = file_size_;
        stream_pos_ = kNoLimit;
        data_lost_ = true;
        return false;
    }
    decoder_.decode(read_buffer_.data(), read_buffer_.data() + n);
    file_pos_ += n;
    stream_pos_ = file_pos_;
    return true;
}

void RawFileReader::placeCursor(uint64_t position, const EVT3Decoder::State& state, uint64_t event_number,
                                uint64_t trigger_number) {
    file_pos_ = position;
    stream_pos_ = kNoLimit;  // the stream may have been used for anything since
    data_lost_ = false;
    decoder_.setState(state);
    current_event_ = event_number;
    next_trigger_ = trigger_number;
    decoded_.clear();
    carried_.clear();
    carried_pos_ = 0;
    count_only_ = false;
    list_triggers_from_ = 0;
}

void RawFileReader::placeCursorAt(const Bookmark& mark) {
    placeCursor(mark.position, mark.decoder_state, mark.event_number, mark.trigger_number);
}

bool RawFileReader::seekTimeLocked(uint64_t timestamp) {
    if (bookmarks_.empty()) return false;
    if (timestamp > end_timestamp_) {
        current_timestamp_ = saturatingAdd(end_timestamp_, 1);
        return false;
    }
    if (timestamp < start_timestamp_) {
        current_timestamp_ = start_timestamp_ - 1;
        return false;
    }
    auto it = std::prev(bookmarks_.upper_bound(timestamp));
    // A bookmark's key is the stream time at its offset: the word that brought the time there, and
    // events at exactly that time, may lie before it. Only the first bookmark, where decoding starts,
    // is a landing point of its own time.
    if (it->first == timestamp && it != bookmarks_.begin()) --it;
    const Bookmark& mark = it->second;
    if (it->first == timestamp || std::next(it) == bookmarks_.end()) {
        placeCursorAt(mark);
        current_timestamp_ = timestamp;
        return true;
    }
    // Find the word that first brings the time to `timestamp`, decoding (counting only) up to it.
    const Bookmark& next = std::next(it)->second;
    placeCursorAt(mark);
    count_only_ = true;
    list_triggers_from_ = kNoLimit;
    decoded_total_ = 0;
    EVT3Decoder::State scan = mark.decoder_state;
    bool found = false;
    while (file_pos_ < next.position) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kReadChunkBytes, next.position - file_pos_));
        if (!readAt(file_pos_, n)) break;
        const size_t hit = scanToTime(read_buffer_.data(), n / 2, scan, timestamp);
        const size_t bytes = hit < n / 2 ? 2 * hit : n;
        decoder_.decode(read_buffer_.data(), read_buffer_.data() + bytes);
        file_pos_ += bytes;
        if (hit < n / 2) {
            found = true;
            break;
        }
    }
    const uint64_t counted = decoded_total_;
    if (found) {
        placeCursor(file_pos_, decoder_.getState(), mark.event_number + counted, next_trigger_);
    } else {
        placeCursorAt(next);
    }
    current_timestamp_ = timestamp;
    return true;
}

bool RawFileReader::seekEventLocked(uint64_t n) {
    if (bookmarks_.empty()) return false;
    if (n > max_events_) {
        current_event_ = saturatingAdd(max_events_, 1);
        current_timestamp_ = saturatingAdd(end_timestamp_, 1);
        return false;
    }
    auto index = std::prev(event_number_index_.upper_bound(n));
    const auto it = bookmarks_.find(index->second);
    const Bookmark& mark = it->second;
    placeCursorAt(mark);
    if (mark.event_number == n) {
        current_timestamp_ = it->first;
        return true;
    }
    // Decode from the bookmark; event n lands in the carried events.
    decoded_total_ = mark.event_number;
    list_triggers_from_ = n;
    while (decoded_total_ < n) {
        decoded_.clear();
        if (!readChunk()) break;
        if (decoded_total_ > n) {
            const uint64_t chunk_first = decoded_total_ - decoded_.size();
            carried_.swap(decoded_);
            carried_pos_ = static_cast<size_t>(n - chunk_first);
        }
    }
    decoded_.clear();
    list_triggers_from_ = 0;
    current_event_ = std::min<uint64_t>(n, decoded_total_);
    current_timestamp_ =
        carried_pos_ < carried_.size() ? carried_[carried_pos_].timestamp : timeOf(decoder_.getState());
    return true;
}

void RawFileReader::takeCarried(size_t count, std::vector<Event2D>& out) {
    const size_t k = std::min(count, carried_.size() - carried_pos_);
    out.insert(out.end(), carried_.begin() + static_cast<std::ptrdiff_t>(carried_pos_),
               carried_.begin() + static_cast<std::ptrdiff_t>(carried_pos_ + k));
    carried_pos_ += k;
    if (carried_pos_ == carried_.size()) {
        carried_.clear();
        carried_pos_ = 0;
    }
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::readEventsLocked(uint64_t n) {
    std::vector<Event2D>& out = *output_;
    out.clear();
    if (n == 0 || !loaded_) return output_;
    if (saturatingAdd(current_event_, n) > max_events_) {
        ZV_LOG(LOG_WARNING, "Requested number of events exceeds total number of events.");
        n = current_event_ < max_events_ ? max_events_ - current_event_ : 0;
    }
    takeCarried(static_cast<size_t>(std::min<uint64_t>(n, carried_.size())), out);
    bool ran_out = false;
    while (out.size() < n) {
        decoded_.clear();
        if (!readChunk()) {
            ran_out = true;
            break;
        }
        const uint64_t need = n - out.size();
        if (decoded_.size() > need) {
            out.insert(out.end(), decoded_.begin(), decoded_.begin() + static_cast<std::ptrdiff_t>(need));
            carried_.swap(decoded_);
            carried_pos_ = static_cast<size_t>(need);
        } else {
            out.insert(out.end(), decoded_.begin(), decoded_.end());
        }
    }
    decoded_.clear();
    if (!out.empty()) current_timestamp_ = saturatingAdd(out.back().timestamp, 1);
    current_event_ += out.size();
    if (current_event_ >= max_events_) {
        // Every event has been handed out. The stream time at the end of the data may lie beyond
        // the last event: stand beyond the end, so that a loop of reads ends, after decoding the rest
        // of the data for the triggers that follow the last event.
        while (readChunk()) decoded_.clear();
        carried_.clear();
        carried_pos_ = 0;
        current_timestamp_ = saturatingAdd(end_timestamp_, 1);
    } else if (ran_out) {
        // The data ended before the events that the index counts (n never asks for more).
        standAfterLostData();
    }
    return output_;
}

void RawFileReader::standAfterLostData() {
    // A read error has been logged where it happened.
    if (!data_lost_ && !data_loss_reported_) {
        data_loss_reported_ = true;
        ZV_LOG(LOG_ERROR,
               "The raw file %s holds less data than its index: reading ends after %llu of %llu events.",
               path_.c_str(), (unsigned long long)current_event_, (unsigned long long)max_events_);
    }
    carried_.clear();
    carried_pos_ = 0;
    current_timestamp_ = saturatingAdd(end_timestamp_, 1);
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::readTimeLocked(uint64_t us) {
    if (!loaded_) return std::make_shared<std::vector<Event2D>>();
    uint64_t until = saturatingAdd(current_timestamp_, us);
    if (until < start_timestamp_) {
        ZV_LOG(LOG_WARNING, "Requested interval is before start timestamp.");
        current_timestamp_ = until;
        current_event_ = 0;
        return std::make_shared<std::vector<Event2D>>();
    }
    if (current_timestamp_ > end_timestamp_) {
        ZV_LOG(LOG_WARNING, "Current read pos exceeds end timestamp.");
        current_event_ = max_events_;
        return std::make_shared<std::vector<Event2D>>();
    }
    // The window that reaches past the end takes everything left, so that no event is lost to
    // timestamps that step back near the end of the stream.
    bool to_end = false;
    if (until > end_timestamp_) {
        ZV_LOG(LOG_WARNING, "Requested interval exceeds end timestamp.");
        until = kNoLimit;
        to_end = true;
    }
    current_timestamp_ = saturatingAdd(current_timestamp_, us);
    std::vector<Event2D>& out = *output_;
    out.clear();
    auto split = [&](std::vector<Event2D>& from, size_t begin) -> bool {
        if (to_end || from.size() == begin || from.back().timestamp < until) return false;
        const Event2D* first = from.data() + begin;
        const Event2D* cut = binarySearchTimestamp(until, first, from.data() + from.size());
        out.insert(out.end(), first, cut);
        return true;
    };
    if (carried_pos_ < carried_.size()) {
        if (split(carried_, carried_pos_)) {
            const size_t taken =
                static_cast<size_t>(binarySearchTimestamp(until, carried_.data() + carried_pos_,
                                                          carried_.data() + carried_.size()) -
                                    (carried_.data() + carried_pos_));
            carried_pos_ += taken;
            current_event_ += out.size();
            return output_;
        }
        takeCarried(carried_.size(), out);
    }
    bool lost = false;
    for (;;) {
        decoded_.clear();
        if (!readChunk()) {
            lost = data_lost_;
            break;
        }
        const size_t before = out.size();
        if (split(decoded_, 0)) {
            carried_.swap(decoded_);
            carried_pos_ = out.size() - before;
            break;
        }
        out.insert(out.end(), decoded_.begin(), decoded_.end());
    }
    decoded_.clear();
    current_event_ += out.size();
    // After a read error nothing more comes: the cursor stands beyond the end.
    if (lost) standAfterLostData();
    return output_;
}

// ---- public operations ----

bool RawFileReader::getStartTimeStamp(uint64_t& timestamp) {
    timestamp = start_timestamp_;
    return true;
}

bool RawFileReader::getEndTimeStamp(uint64_t& timestamp) {
    timestamp = end_timestamp_;
    return true;
}

bool RawFileReader::getMaxEvents(uint64_t& events) {
    events = max_events_;
    return true;
}

bool RawFileReader::reachedEndOfEvents() {
    std::lock_guard<std::mutex> lock(read_mutex_);
    return current_timestamp_ > end_timestamp_;
}

bool RawFileReader::seekTime(uint64_t timestamp) {
    std::lock_guard<std::mutex> lock(read_mutex_);
    return loaded_ && seekTimeLocked(timestamp);
}

bool RawFileReader::seekNEvents(uint64_t n) {
    std::lock_guard<std::mutex> lock(read_mutex_);
    return loaded_ && seekEventLocked(n);
}

uint64_t RawFileReader::getCurrentPosTimeStamp() {
    std::lock_guard<std::mutex> lock(read_mutex_);
    return current_timestamp_;
}

uint64_t RawFileReader::getCurrentPosEventNum() {
    std::lock_guard<std::mutex> lock(read_mutex_);
    return current_event_;
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNEvents(uint64_t n) {
    std::lock_guard<std::mutex> lock(read_mutex_);
    return readEventsLocked(n);
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNEventsGivenStartTimeStamp(uint64_t timestamp,
                                                                                   uint64_t n) {
    std::lock_guard<std::mutex> lock(read_mutex_);
    if (!loaded_ || !seekTimeLocked(timestamp)) return std::make_shared<std::vector<Event2D>>();
    return readEventsLocked(n);
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNEventsGivenStartEvent(uint64_t start, uint64_t n) {
    std::lock_guard<std::mutex> lock(read_mutex_);
    if (!loaded_ || !seekEventLocked(start)) return std::make_shared<std::vector<Event2D>>();
    return readEventsLocked(n);
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNTimeEvents(uint64_t us) {
    std::lock_guard<std::mutex> lock(read_mutex_);
    return readTimeLocked(us);
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNTimeEventsGivenStartTimeStamp(uint64_t timestamp,
                                                                                       uint64_t us) {
    std::lock_guard<std::mutex> lock(read_mutex_);
    if (!loaded_ || !seekTimeLocked(timestamp)) return std::make_shared<std::vector<Event2D>>();
    return readTimeLocked(us);
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNTimeEventsGivenStartEvent(uint64_t start,
                                                                                   uint64_t us) {
    std::lock_guard<std::mutex> lock(read_mutex_);
    if (!loaded_ || !seekEventLocked(start)) return std::make_shared<std::vector<Event2D>>();
    return readTimeLocked(us);
}

// A fresh decode of the cut file starts from its header time with no row and no vector base. The
// state at the cut is re-established so that every word after it decodes as in the recording:
// - at the very start of a stream without time base nothing is decoded before the first TIME_HIGH,
//   so the cut starts at that word;
// - the time comes from the header: the requested start when the first word of the cut (a time
//   word, since a seek lands on the word that reaches the time) makes both decodes agree, else the
//   exact stream time at the cut;
// - ADDR_Y and VECT_BASE_X words (plus empty vectors for a base beyond their 11 bits) restore the
//   row and the vector base without producing events;
// - a TIME_HIGH and a TIME_LOW word of the header time come first of all, for readers that ignore
//   the header.
bool RawFileReader::planCutStart(uint64_t offset, uint64_t end_offset, const EVT3Decoder::State& state,
                                 uint64_t requested_start, CutStart& cut) {
    EVT3Decoder::State at = state;
    if (!at.time_known) {
        bool found = false;
        for (uint64_t pos = offset; pos + 1 < end_offset && !found;) {
            const size_t n =
                static_cast<size_t>(std::min<uint64_t>(kReadChunkBytes, end_offset - pos)) & ~size_t(1);
            if (!readAt(pos, n)) return false;
            for (size_t i = 0; i + 1 < n; i += 2) {
                const uint32_t w = loadWord(read_buffer_.data() + i);
                if ((w >> 12) == 0x8) {
                    offset = pos + i;
                    at = EVT3Decoder::State{};
                    at.time_known = true;
                    at.time_high = w & 0xFFF;
                    found = true;
                    break;
                }
            }
            pos += n;
        }
        if (!found) return false;
    }
    cut.offset = offset;

    std::vector<uint8_t>& words = cut.prologue;
    words.clear();
    auto put = [&words](uint32_t w) {
        words.push_back(static_cast<uint8_t>(w & 0xFF));
        words.push_back(static_cast<uint8_t>(w >> 8));
    };
    if (at.row_known) put(0x0000u | (at.row & 0x7FF));
    if (at.base_known) {
        const uint32_t steps = at.base_x > 0x7FF ? (at.base_x - 0x7FF + 11) / 12 : 0;
        put(0x3000u | ((at.vector_polarity & 1) << 11) | (at.base_x - 12 * steps));
        for (uint32_t i = 0; i < steps; ++i) put(0x4000u);  // empty VECT_12: advances the base by 12
    }

    // Check both candidate header times by decoding the first word both ways.
    uint8_t first[2] = {0, 0};
    const bool have_first = offset + 2 <= end_offset && readAt(offset, 2);
    if (have_first) std::copy_n(read_buffer_.data(), 2, first);
    const bool first_is_time =
        have_first && ((loadWord(first) >> 12) == 0x8 || (loadWord(first) >> 12) == 0x6);
    auto agrees = [&](uint64_t header_time) {
        EVT3Decoder original(1280, 720, false);
        EVT3Decoder fresh(1280, 720, false);
        original.setState(at);
        fresh.setTimeBase(header_time);
        if (!words.empty()) fresh.decode(words.data(), words.data() + words.size());
        if (fresh.getState() == original.getState()) return true;
        if (!first_is_time) return false;
        original.decode(first, first + 2);
        fresh.decode(first, first + 2);
        return fresh.getState() == original.getState();
    };
    if (agrees(requested_start)) {
        cut.header_time = requested_start;
    } else {
        cut.header_time = timeOf(at);
        if (!agrees(cut.header_time)) {
            ZV_LOG(LOG_WARNING, "The decoder state at the cut could not be re-established exactly.");
        }
    }
    // The payload begins with the header time as a TIME_HIGH and a TIME_LOW word. A decoder that
    // starts from the header time reads them without any change of state; one that ignores the
    // header and drops the words before the first TIME_HIGH (as other tools do) starts its time
    // there, modulo 2^24 us, and so sees every event of the cut.
    const uint32_t time_words[2] = {0x8000u | static_cast<uint32_t>((cut.header_time >> 12) & 0xFFF),
                                    0x6000u | static_cast<uint32_t>(cut.header_time & 0xFFF)};
    std::vector<uint8_t> front;
    for (const uint32_t w : time_words) {
        front.push_back(static_cast<uint8_t>(w & 0xFF));
        front.push_back(static_cast<uint8_t>(w >> 8));
    }
    words.insert(words.begin(), front.begin(), front.end());
    return true;
}

const char* RawFileReader::copyRange(uint64_t from, uint64_t to, std::ofstream& out) {
    std::vector<char> piece(static_cast<size_t>(std::min<uint64_t>(kCopyPieceBytes, to - from)));
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(from));
    stream_pos_ = kNoLimit;
    const uint64_t total = to - from;
    for (uint64_t pos = from; pos < to;) {
        const auto n = static_cast<std::streamsize>(std::min<uint64_t>(piece.size(), to - pos));
        in_.read(piece.data(), n);
        if (in_.gcount() != n) return "Failed to read the expected number of bytes from the input file.";
        out.write(piece.data(), n);
        if (!out) return "Failed to write the expected number of bytes to the output file.";
        pos += static_cast<uint64_t>(n);
        if (progress_) progress_(pos - from, total);
    }
    out.flush();
    if (!out) return "Failed to write the expected number of bytes to the output file.";
    return nullptr;
}

bool RawFileReader::isRecordingItself(const std::string& path) const {
    std::error_code ec;
    return std::filesystem::equivalent(path, path_, ec) && !ec;
}

namespace {

// Removes what a failed cut or export left behind; only a regular file is ever removed (the output
// may be a device or a pipe).
void removePartialOutput(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ec))) {
        std::filesystem::remove(path, ec);
    }
}

}  // namespace

bool RawFileReader::extractEventData(uint64_t start_us, uint64_t end_us, const std::string& path) {
    std::lock_guard<std::mutex> lock(read_mutex_);
    if (!loaded_) {
        ZV_LOG(LOG_ERROR, "extractEventData: no recording loaded.");
        return false;
    }
    if (!seekTimeLocked(end_us)) {
        ZV_LOG(LOG_ERROR, "No end timestamp found.");
        return false;
    }
    // A cut from an earlier time to the end timestamp (the stream time at the end of the data) takes
    // everything up to the end of the data, the events at exactly that time included. A cut from the
    // end timestamp to itself is empty like any other cut from a time to the same time.
    const uint64_t end_offset =
        start_us < end_us && end_us == end_timestamp_ ? bookmarks_.rbegin()->second.position : file_pos_;
    if (!seekTimeLocked(start_us)) {
        ZV_LOG(LOG_ERROR, "No start timestamp found.");
        return false;
    }
    const uint64_t start_offset = file_pos_;
    const EVT3Decoder::State state = decoder_.getState();
    ZV_LOG(LOG_INFO, "extract event start time: %llu, end time: %llu", (unsigned long long)start_us,
           (unsigned long long)end_us);
    if (start_us > end_us || end_offset < start_offset) {
        ZV_LOG(LOG_ERROR, "Start time must be less than or equal to end time.");
        return false;
    }
    CutStart cut;
    if (end_offset == start_offset || !planCutStart(start_offset, end_offset, state, start_us, cut) ||
        cut.offset >= end_offset) {
        ZV_LOG(LOG_ERROR, "There is no data in the interval.");
        return false;
    }

    if (isRecordingItself(path)) {
        ZV_LOG(LOG_ERROR, "The output file is the recording itself: %s.", path.c_str());
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        ZV_LOG(LOG_ERROR, "Failed to open output file: %s.", path.c_str());
        return false;
    }
    // A cut that fails part way is removed: no half-written recording is left behind.
    errno = 0;  // so that a reason below names the error of this file only
    auto abandon = [&](const char* reason) {
        const int error = errno;
        out.close();
        removePartialOutput(path);
        if (error != 0) {
            ZV_LOG(LOG_ERROR, "%s (%s: %s)", reason, path.c_str(), std::strerror(error));
        } else {
            ZV_LOG(LOG_ERROR, "%s (%s)", reason, path.c_str());
        }
        return false;
    };
    DvsFileInfo info = header_.info;
    info.dvs_start_timestamp = cut.header_time;
    const std::string header = generateDvsFileHeader(info);
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    out.write(reinterpret_cast<const char*>(cut.prologue.data()),
              static_cast<std::streamsize>(cut.prologue.size()));
    if (!out) return abandon("Failed to write the expected number of bytes to the output file.");
    if (const char* reason = copyRange(cut.offset, end_offset, out)) return abandon(reason);
    out.close();
    if (out.fail()) return abandon("Failed to write the expected number of bytes to the output file.");
    return true;
}

bool RawFileReader::exportEventDataToVideo(uint64_t start_us, uint64_t end_us, const std::string& path) {
    ZV_LOG(LOG_INFO, "Exporting event data to video...");
    // The whole export holds the read lock: no other read can move the cursor between its periods.
    std::lock_guard<std::mutex> lock(read_mutex_);
    if (!loaded_) {
        ZV_LOG(LOG_ERROR, "exportEventDataToVideo: no recording loaded.");
        return false;
    }
    if (start_us > end_us) {
        ZV_LOG(LOG_ERROR, "Start time must be less than or equal to end time.");
        return false;
    }
    if (start_us > end_timestamp_) {
        ZV_LOG(LOG_ERROR, "No start timestamp found.");
        return false;
    }
    // A range that begins before the recording begins with the recording: the periods are counted
    // from the recording's start.
    const uint64_t from = std::max(start_us, start_timestamp_);
    if (from >= end_us) {
        ZV_LOG(LOG_ERROR, "There is no data in the interval.");
        return false;
    }
    if (isRecordingItself(path)) {
        ZV_LOG(LOG_ERROR, "The output file is the recording itself: %s.", path.c_str());
        return false;
    }
    const int width = getWidth();
    const int height = getHeight();
    video_converter_ = std::make_unique<DataToVideoConverter>();
    if (video_converter_->setConverterFrameSize(height, width, height, width) != 0 ||
        video_converter_->setConverterFmt(DataToVideoConverter::kPixFmtBgr24,
                                          DataToVideoConverter::kPixFmtYuv420p) != 0 ||
        video_converter_->initVideoConverter() != 0) {
        ZV_LOG(LOG_ERROR,
               "Video converter initialization failed, please confirm that the input file is correct.");
        video_converter_.reset();
        return false;
    }
    // The converter logs why an output cannot be opened.
    if (video_converter_->setOutputFile(path) != 0) {
        removePartialOutput(path);
        return false;
    }
    const uint64_t span = end_us - from;
    if (!renderVideo(from, end_us, span, path)) {
        // A video that fails part way is removed, like a failed cut.
        removePartialOutput(path);
        return false;
    }
    if (progress_) progress_(span, span);
    return true;
}

bool RawFileReader::renderVideo(uint64_t from, uint64_t end_us, uint64_t span, const std::string& path) {
    if (!seekTimeLocked(from)) {
        ZV_LOG(LOG_ERROR, "No start timestamp found.");
        video_converter_->flushAndCloseVideo();
        return false;
    }
    const size_t w = static_cast<size_t>(getWidth());
    const size_t h = static_cast<size_t>(getHeight());
    std::vector<uint8_t> image(w * h * 3);
    constexpr uint64_t kPeriod = 1'000'000 / kExportFrameRate;
    uint64_t frames = 0;
    bool written = true;
    for (uint64_t t = from; t < end_us; t = saturatingAdd(t, kPeriod)) {
        // Past the end of the recording every period is empty: no more frames can come.
        if (current_timestamp_ > end_timestamp_) break;
        const auto events = readTimeLocked(kPeriod);
        if (events && !events->empty()) {
            std::fill(image.begin(), image.end(), uint8_t{112});
            for (const Event2D& e : *events) {
                if (e.x >= w || e.y >= h) continue;
                const uint8_t value = e.polarity == 1 ? 255 : 0;
                uint8_t* px = image.data() + 3 * (size_t(e.y) * w + e.x);
                px[0] = value;
                px[1] = value;
                px[2] = value;
            }
            if (video_converter_->rgbToVideo(image.data(), -1) != 0) {
                ZV_LOG(LOG_ERROR, "Failed to write a video frame to %s.", path.c_str());
                written = false;
                break;
            }
            ++frames;
        }
        if (progress_) progress_(std::min(span, saturatingAdd(t, kPeriod) - from), span);
    }
    if (video_converter_->flushAndCloseVideo() != 0 && written) {
        ZV_LOG(LOG_ERROR, "Failed to complete the video file %s.", path.c_str());
        written = false;
    }
    if (written && frames == 0) {
        ZV_LOG(LOG_ERROR, "There is no data in the interval.");
        written = false;
    }
    return written;
}

uint32_t RawFileReader::addTriggerInCallback(std::function<void(const EventTriggerIn&)> callback) {
    std::lock_guard<std::mutex> lock(callback_mutex_);
    const uint32_t id = next_callback_id_++;
    trigger_callbacks_.emplace(id, std::move(callback));
    return id;
}

bool RawFileReader::removeTriggerInCallback(uint32_t id) {
    std::lock_guard<std::mutex> lock(callback_mutex_);
    return trigger_callbacks_.erase(id) > 0;
}

int RawFileReader::getWidth() {
    return header_.info.width;
}

int RawFileReader::getHeight() {
    return header_.info.height;
}

bool RawFileReader::getFileInfo(DvsFileInfo& info) {
    info = header_.info;
    return true;
}

std::vector<EventTriggerIn> RawFileReader::getTriggerList() {
    std::lock_guard<std::mutex> lock(trigger_mutex_);
    std::vector<EventTriggerIn> list;
    list.reserve(trigger_list_.size());
    for (const auto& [number, trigger] : trigger_list_) list.push_back(trigger);
    return list;
}

void RawFileReader::clearTriggerList() {
    std::lock_guard<std::mutex> lock(trigger_mutex_);
    trigger_list_.clear();
}

std::vector<EventTriggerIn> RawFileReader::getTriggerListForBookmark(uint64_t timestamp) const {
    const auto it = bookmarks_.find(timestamp);
    return it == bookmarks_.end() ? std::vector<EventTriggerIn>{} : it->second.triggers;
}

}  // namespace zelvan
