#include "FileReader/IndexBuilder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>

#include "FileReader/OutputFile.h"
#include "FileReader/StreamTime.h"

namespace zelvan::detail {

BookmarkBuilder::BookmarkBuilder(const PayloadStart& start)
    : start_(start),
      decoder_(1280, 720),
      pos_(start.offset),
      next_boundary_(start.offset + RawFileReader::kReadChunkBytes),
      checked_(start.offset) {
    decoder_.setEventsStreamHandleCallback(
        [this](Event2D* first, Event2D* last) { count_ += static_cast<uint64_t>(last - first); });
    decoder_.setTriggerInCallback([this](EventTriggerIn t) { pending_.push_back(t); });
    // Without a time base decoding starts fresh and the first bookmark gets the time of the first
    // TIME_HIGH word.
    have_first_ = start.has_time_base;
    if (have_first_) {
        decoder_.setTimeBase(start.time_base);
        add(start.time_base, start.offset, decoder_.getState());
    } else {
        decoder_.resetTimeBase();
    }
}

void BookmarkBuilder::add(uint64_t key, uint64_t position, const EVT3Decoder::State& state) {
    RawFileReader::Bookmark b;
    b.position = position;
    b.timestamp = key;
    b.event_number = count_;
    b.triggers.swap(pending_);
    b.decoder_state = state;
    marks_.emplace_hint(marks_.end(), key, std::move(b));
    last_ = key;
}

void BookmarkBuilder::feed(const uint8_t* data, size_t size) {
    while (size > 0) {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(size, next_boundary_ - pos_));
        decodePiece(data, take);
        pos_ += take;
        data += take;
        size -= take;
        if (pos_ == next_boundary_) {
            chunkEnded();
            next_boundary_ += RawFileReader::kReadChunkBytes;
        }
    }
}

void BookmarkBuilder::decodePiece(const uint8_t* data, size_t size) {
    if (!have_first_ && !first_time_high_ && size > 0) {
        auto look = [this](uint32_t w) {
            if ((w >> 12) == 0x8) first_time_high_ = uint64_t(w & 0xFFF) << 12;
            return first_time_high_.has_value();
        };
        size_t i = 0;
        bool found = false;
        if (odd_) {
            found = look(odd_byte_ | (uint32_t(data[0]) << 8));
            odd_ = false;
            i = 1;
        }
        for (; !found && i + 1 < size; i += 2) found = look(loadWord(data + i));
        if (!found && i < size) {
            odd_ = true;
            odd_byte_ = data[i];
        }
    }
    decoder_.decode(data, data + size);
}

// The reader's rule at the end of each read chunk: a bookmark once the stream time has moved on by a
// bookmark period since the last one.
void BookmarkBuilder::chunkEnded() {
    checked_ = pos_;
    const EVT3Decoder::State state = decoder_.getState();
    if (!state.time_known) return;
    if (!have_first_) {
        RawFileReader::Bookmark b;
        b.position = start_.offset;
        b.timestamp = first_time_high_.value_or(0);
        last_ = b.timestamp;
        marks_.emplace(b.timestamp, std::move(b));
        have_first_ = true;
    }
    const uint64_t t = timeOf(state);
    if (t >= saturatingAdd(last_, RawFileReader::bookmark_period_us)) add(t, pos_, state);
}

BookmarkMap BookmarkBuilder::finish() {
    if (pos_ != checked_) chunkEnded();  // the last, partial read chunk
    if (count_ == 0) return {};          // no events: no index
    // The final bookmark stands at the end of the data; its key is the end of the stream time.
    if (marks_.rbegin()->second.position != pos_) {
        const EVT3Decoder::State state = decoder_.getState();
        add(std::max(timeOf(state), saturatingAdd(last_, 1)), pos_, state);
    }
    return std::move(marks_);
}

RecordingIndexer::RecordingIndexer(uint64_t header_time) : header_time_(header_time) {
    start_.has_time_base = true;
    start_.time_base = header_time;
    builder_ = std::make_unique<BookmarkBuilder>(start_);
}

void RecordingIndexer::feed(const uint8_t* data, size_t size) {
    if (!builder_ || size == 0) return;
    // The index must never take the recording down with it: without memory it is dropped, and the
    // reader builds one when it first opens the file.
    try {
        feedPiece(data, size);
    } catch (const std::bad_alloc&) {
        builder_.reset();
        error_ = "Out of memory while indexing the recording, the index was dropped";
    }
}

void RecordingIndexer::feedPiece(const uint8_t* data, size_t size) {
    const uint64_t piece_start = payload_bytes_;
    payload_bytes_ += size;
    if (deciding_) {
        // findPayloadStart: the header's time holds while the first TIME_HIGH word carries its
        // TIME_HIGH or the next one; otherwise decoding starts at that word.
        const uint64_t header_time = header_time_;
        const uint32_t header_high = static_cast<uint32_t>((header_time >> 12) & 0xFFF);
        // Returns true once decided; `restart` set when decoding starts again at the word.
        auto decide = [&](uint32_t w, uint64_t word_offset, bool& restart) {
            if ((w >> 12) != 0x8) return false;
            deciding_ = false;
            const uint32_t value = w & 0xFFF;
            if (value == header_high || value == ((header_high + 1) & 0xFFF)) return true;
            const uint64_t wraps = (header_time >> 24) + (header_high >= value + 2048 ? 1 : 0);
            start_.offset = word_offset;
            start_.time_base = (wraps << 24) + (uint64_t(value) << 12);
            start_.header_time_ignored = true;
            builder_ = std::make_unique<BookmarkBuilder>(start_);
            restart = true;
            return true;
        };
        bool restart = false;
        size_t i = 0;
        if (odd_) {
            odd_ = false;
            if (decide(odd_byte_ | (uint32_t(data[0]) << 8), piece_start - 1, restart)) {
                if (restart) builder_->feed(&odd_byte_, 1);
                builder_->feed(data, size);
                return;
            }
            i = 1;
        }
        for (; i + 1 < size; i += 2) {
            if (decide(loadWord(data + i), piece_start + i, restart)) {
                if (restart) {
                    builder_->feed(data + i, size - i);
                } else {
                    builder_->feed(data, size);
                }
                return;
            }
        }
        if (i < size) {
            odd_ = true;
            odd_byte_ = data[i];
        }
    }
    builder_->feed(data, size);
}

std::vector<uint8_t> RecordingIndexer::finish(const std::string& header_text) {
    if (!builder_) return {};
    try {
        return finishIndex(header_text);
    } catch (const std::bad_alloc&) {
        builder_.reset();
        error_ = "Out of memory while indexing the recording, the index was dropped";
        return {};
    }
}

std::vector<uint8_t> RecordingIndexer::finishIndex(const std::string& header_text) {
    BookmarkMap marks = builder_->finish();
    builder_.reset();
    if (marks.empty()) return {};
    RawFileHeader header;
    std::string error;
    std::istringstream in(header_text);
    if (!readRawFileHeader(in, header, error) || !header.has_dvs_start_timestamp ||
        header.info.dvs_start_timestamp != header_time_ || header.payload_offset != header_text.size()) {
        return {};
    }
    // Bookmarks stand at the same distances from where decoding starts: only their offsets move.
    const uint64_t shift = header.payload_offset;
    BookmarkMap shifted;
    for (auto& [key, b] : marks) {
        b.position += shift;
        shifted.emplace_hint(shifted.end(), key, std::move(b));
    }
    const BookmarkFileContext context{
        shift + payload_bytes_, shift + start_.offset, header.info.width, header.info.height, true,
        start_.time_base};
    return serializeBookmarks(shifted, context);
}

bool removeSideFile(const std::string& raw_path, std::string& error) {
    const std::string path = RawFileReader::bookmarkPathFor(raw_path);
    std::error_code ec;
    std::filesystem::remove(path, ec);
    // A path through something that is not a folder holds no side file either, nor does a name too
    // long to be one.
    if (!ec || ec == std::errc::not_a_directory || ec == std::errc::filename_too_long) return true;
    error = "Cannot remove the old index " + path + " beside the recording: " + ec.message();
    return false;
}

RecordingName makeWayForRecording(const std::string& raw_path, std::string& error, bool* made) {
    namespace fs = std::filesystem;
    if (made != nullptr) *made = false;
    std::error_code ec;
    // Through a symbolic link, the file it names.
    const fs::file_status status = fs::status(raw_path, ec);
    if (fs::is_directory(status)) {
        error = "Cannot open recording file " + raw_path + ": " + std::strerror(EISDIR);
        return RecordingName::CannotOpen;
    }
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        // Opening a pipe here would meet its reader and end its stream before the recording starts.
        return removeSideFile(raw_path, error) ? RecordingName::Ready : RecordingName::IndexStays;
    }
    // Made here only when this call created it (not another writer meanwhile); through a symbolic link
    // to nothing, the file the link names.
    int fd = ::open(raw_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_CLOEXEC, 0666);
    bool new_file = fd >= 0;
    if (fd < 0 && errno == EEXIST) {
        const bool dangling = !fs::exists(fs::status(raw_path, ec));
        fd = ::open(raw_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | (dangling ? O_CREAT : 0), 0666);
        new_file = dangling && fd >= 0;
    }
    if (fd < 0) {
        error = "Cannot open recording file " + raw_path + ": " + std::strerror(errno);
        return RecordingName::CannotOpen;
    }
    ::close(fd);
    if (removeSideFile(raw_path, error)) {
        if (made != nullptr) *made = new_file;
        return RecordingName::Ready;
    }
    if (new_file) removePartialOutput(raw_path);
    return RecordingName::IndexStays;
}

bool writeSideFile(const std::string& raw_path, const std::vector<uint8_t>& bytes, std::string& error,
                   bool keep_existing) {
    const std::string path = RawFileReader::bookmarkPathFor(raw_path);
    // A temporary name of this writer's own, created afresh: two processes indexing one recording
    // never write into each other's file, and nothing someone placed beside the recording (a link
    // to have another file overwritten) is ever written through.
    std::string part = path + ".part-XXXXXX";
    const int fd = ::mkostemp(part.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "Cannot create the index " + path + ": " + std::strerror(errno);
    } else {
        // mkostemp creates the file for its owner alone; the index may be read by whoever may read
        // the recording.
        if (struct stat st{}; ::stat(raw_path.c_str(), &st) == 0) ::fchmod(fd, st.st_mode & 0666);
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error = "Write error in the index " + path + ": " + std::strerror(n < 0 ? errno : ENOSPC);
                break;
            }
            done += static_cast<size_t>(n);
        }
        if (::close(fd) != 0 && error.empty())
            error = "Write error in the index " + path + ": " + std::strerror(errno);
    }
    std::error_code ec;
    if (error.empty()) {
        std::filesystem::rename(part, path, ec);
        if (ec) error = "Cannot save the index " + path + ": " + ec.message();
    }
    if (error.empty()) return true;
    if (fd >= 0) std::filesystem::remove(part, ec);
    if (!keep_existing) std::filesystem::remove(path, ec);
    return false;
}

}  // namespace zelvan::detail
