// Cuts of a raw recording: where a cut starts and what it needs in front of the copied bytes, and the
// copy itself into a new raw file, with its bookmark index beside it.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "FileReader/BookmarkIndex.h"
#include "FileReader/IndexBuilder.h"
#include "FileReader/OutputFile.h"
#include "FileReader/StreamTime.h"
#include "zelvan/FileHeader.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileReader.h"

namespace zelvan {

namespace {

using detail::loadWord;
using detail::timeOf;

// Reads `n` bytes at `pos` of `in` into `buffer`.
bool readAt(std::istream& in, uint64_t pos, size_t n, std::vector<uint8_t>& buffer) {
    if (buffer.size() < n) buffer.resize(n);
    in.clear();
    in.seekg(static_cast<std::streamoff>(pos));
    in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(n));
    return static_cast<size_t>(in.gcount()) == n;
}

// Where and how a cut begins: the first copied byte, the time of the new header, and the words that
// come before the copied bytes.
struct CutStart {
    uint64_t offset = 0;
    uint64_t header_time = 0;
    std::vector<uint8_t> prologue;
};

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
// `state` is the decoder state at `offset`; false when no event can follow in [offset, end_offset).
bool planCutStart(std::istream& in, std::vector<uint8_t>& buffer, uint64_t offset, uint64_t end_offset,
                  const EVT3Decoder::State& state, uint64_t requested_start, CutStart& cut) {
    EVT3Decoder::State at = state;
    if (!at.time_known) {
        bool found = false;
        for (uint64_t pos = offset; pos + 1 < end_offset && !found;) {
            const size_t n =
                static_cast<size_t>(std::min<uint64_t>(RawFileReader::kReadChunkBytes, end_offset - pos)) &
                ~size_t(1);
            if (!readAt(in, pos, n, buffer)) return false;
            for (size_t i = 0; i + 1 < n; i += 2) {
                const uint32_t w = loadWord(buffer.data() + i);
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
    const bool have_first = offset + 2 <= end_offset && readAt(in, offset, 2, buffer);
    if (have_first) std::copy_n(buffer.data(), 2, first);
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

constexpr const char* kShortRead = "Failed to read the expected number of bytes from the input file.";
constexpr const char* kShortWrite = "Failed to write the expected number of bytes to the output file.";

// Why a copy stopped: a read of the recording or a write of the cut failed, or the progress callback
// asked to stop.
struct CopyFailure {
    ReaderError code = ReaderError::None;
    const char* reason = nullptr;
};

// Copies [from, to) of the recording `in` to `out` in pieces of RawFileReader::kCopyPieceBytes, feeding
// each piece to `indexer` and telling `progress` (when set) after each; stops when it answers false.
CopyFailure copyRange(std::istream& in, uint64_t from, uint64_t to, std::ofstream& out,
                      detail::RecordingIndexer& indexer, const RawFileReader::ProgressCallback& progress) {
    std::vector<char> piece(
        static_cast<size_t>(std::min<uint64_t>(RawFileReader::kCopyPieceBytes, to - from)));
    in.clear();
    in.seekg(static_cast<std::streamoff>(from));
    const uint64_t total = to - from;
    for (uint64_t pos = from; pos < to;) {
        const auto n = static_cast<std::streamsize>(std::min<uint64_t>(piece.size(), to - pos));
        in.read(piece.data(), n);
        if (in.gcount() != n) return {ReaderError::ReadError, kShortRead};
        out.write(piece.data(), n);
        if (!out) return {ReaderError::CannotWrite, kShortWrite};
        indexer.feed(reinterpret_cast<const uint8_t*>(piece.data()), static_cast<size_t>(n));
        pos += static_cast<uint64_t>(n);
        if (progress && !progress(pos - from, total)) return {ReaderError::Cancelled, nullptr};
    }
    out.flush();
    if (!out) return {ReaderError::CannotWrite, kShortWrite};
    return {};
}

// True when the cut that `cut` begins and [from, to) of `in` continues holds an event: a silent stretch
// of a recording holds time words only, and no reader opens a file of them. Decodes up to the first
// event (or the end of the range).
bool holdsAnEvent(std::istream& in, const CutStart& cut, uint64_t from, uint64_t to, uint16_t width,
                  uint16_t height, bool& read_failed) {
    EVT3Decoder decoder(width, height);
    decoder.setTimeBase(cut.header_time);
    bool any = false;
    decoder.setEventsStreamHandleCallback(
        [&any](Event2D* first, Event2D* last) { any = any || first != last; });
    decoder.decode(cut.prologue.data(), cut.prologue.data() + cut.prologue.size());
    std::vector<char> piece(static_cast<size_t>(std::min<uint64_t>(64 * 1024, to - from)));
    in.clear();
    in.seekg(static_cast<std::streamoff>(from));
    for (uint64_t pos = from; pos < to && !any;) {
        const auto n = static_cast<std::streamsize>(std::min<uint64_t>(piece.size(), to - pos));
        in.read(piece.data(), n);
        if (in.gcount() != n) {
            read_failed = true;
            return false;
        }
        const auto* bytes = reinterpret_cast<const uint8_t*>(piece.data());
        decoder.decode(bytes, bytes + n);
        pos += static_cast<uint64_t>(n);
    }
    return any;
}

// True when `path` names a regular file or nothing yet.
bool isFileOrNothing(const std::string& path) {
    std::error_code ec;
    const auto type = std::filesystem::status(path, ec).type();
    return type == std::filesystem::file_type::regular || type == std::filesystem::file_type::not_found;
}

// True when `a` and `b` name the same place, whether it exists or not.
bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec_a, ec_b;
    const auto canonical_a = std::filesystem::weakly_canonical(a, ec_a);
    const auto canonical_b = std::filesystem::weakly_canonical(b, ec_b);
    return !ec_a && !ec_b && canonical_a == canonical_b;
}

}  // namespace

bool RawFileReader::cutLocked(uint64_t start_us, uint64_t end_us, const std::string& path) {
    if (!seekTimeLocked(end_us)) return fail(ReaderError::OutOfRange, "No end timestamp found.");
    // A cut from an earlier time to the end timestamp (the stream time at the end of the data) takes
    // everything up to the end of the data, the events at exactly that time included. A cut from the
    // end timestamp to itself is empty like any other cut from a time to the same time.
    const uint64_t end_offset = start_us < end_us && end_us == end_timestamp_
                                    ? index_->bookmarks().rbegin()->second.position
                                    : file_pos_;
    if (!seekTimeLocked(start_us)) return fail(ReaderError::OutOfRange, "No start timestamp found.");
    const uint64_t start_offset = file_pos_;
    const EVT3Decoder::State state = decoder_.getState();
    ZV_LOG(LOG_INFO, "extract event start time: %llu, end time: %llu", (unsigned long long)start_us,
           (unsigned long long)end_us);
    if (start_us > end_us || end_offset < start_offset) {
        return fail(ReaderError::InvalidRange, "Start time must be less than or equal to end time.");
    }
    // Planning and copying read the stream wherever they need to: the cursor seeks before its next read.
    stream_pos_ = detail::kNoLimit;
    CutStart cut;
    if (end_offset == start_offset ||
        !planCutStart(in_, read_buffer_, start_offset, end_offset, state, start_us, cut) ||
        cut.offset >= end_offset) {
        return fail(ReaderError::EmptyRange, "There is no data in the interval.");
    }

    if (isRecordingItself(path)) {
        return fail(ReaderError::OutputIsRecording, "The output file is the recording itself: " + path + ".");
    }
    // Before the output is touched: a range of time words alone is as empty as no range.
    bool read_failed = false;
    if (!holdsAnEvent(in_, cut, cut.offset, end_offset, header_.info.width, header_.info.height,
                      read_failed)) {
        if (read_failed) return fail(ReaderError::ReadError, kShortRead);
        return fail(ReaderError::EmptyRange, "There is no data in the interval.");
    }
    // The cut's index goes beside a cut written into a file of its own: not beside a device or a pipe,
    // and not where it would take the place of the recording's own index (two names can share one
    // index name). An index left beside an earlier file of the cut's name must never be taken for its.
    const bool indexed = isFileOrNothing(path) && !sameFile(bookmarkPathFor(path), bookmark_path_);
    // An earlier file of the cut's name, and its index, stay until the cut is complete.
    detail::OutputReplacement output(path);
    if (indexed && !output.replaces()) {
        // The output is opened, not yet emptied, before that index goes: an output that cannot be written
        // leaves the index, and an index that cannot go leaves an earlier file of the cut's name.
        std::string error;
        switch (detail::makeWayForRecording(path, error)) {
            case detail::RecordingName::Ready:
                break;
            case detail::RecordingName::CannotOpen:
                return fail(ReaderError::CannotCreateOutput, "Failed to open output file: " + path + ".");
            case detail::RecordingName::IndexStays:
                return fail(ReaderError::CannotCreateOutput, error + ".");
        }
    }
    std::ofstream out(output.writePath(), std::ios::binary | std::ios::trunc);
    if (!out) return fail(ReaderError::CannotCreateOutput, "Failed to open output file: " + path + ".");
    // A cut that fails part way is removed: no half-written recording is left behind.
    errno = 0;  // so that a reason below names the error of this file only
    auto abandon = [&](ReaderError code, const char* reason) {
        const int error = errno;
        out.close();
        output.abandon();
        std::string message = std::string(reason) + " (" + path;
        if (error != 0) message += std::string(": ") + std::strerror(error);
        return fail(code, message + ")");
    };
    DvsFileInfo info = header_.info;
    info.dvs_start_timestamp = cut.header_time;
    const std::string header = generateDvsFileHeader(info);
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    out.write(reinterpret_cast<const char*>(cut.prologue.data()),
              static_cast<std::streamsize>(cut.prologue.size()));
    if (!out) return abandon(ReaderError::CannotWrite, kShortWrite);
    detail::RecordingIndexer indexer(cut.header_time);
    indexer.feed(cut.prologue.data(), cut.prologue.size());
    if (const CopyFailure copy = copyRange(in_, cut.offset, end_offset, out, indexer, progress_);
        copy.code == ReaderError::Cancelled) {
        out.close();
        output.abandon();
        return fail(ReaderError::Cancelled,
                    "The cut was cancelled: the progress callback asked to stop (" + path + ").",
                    Report::Info);
    } else if (copy.code != ReaderError::None) {
        return abandon(copy.code, copy.reason);
    }
    out.close();
    if (out.fail()) return abandon(ReaderError::CannotWrite, kShortWrite);
    // The earlier file's index goes before the cut takes its place; an index that cannot go leaves
    // the earlier file with it.
    if (std::string error; output.replaces() && indexed && !detail::removeSideFile(path, error)) {
        output.abandon();
        return fail(ReaderError::CannotCreateOutput, error + ".");
    }
    if (std::string error; !output.commit(error)) return fail(ReaderError::CannotWrite, error + ".");
    const std::vector<uint8_t> index = indexer.finish(header);
    std::string index_error = indexer.error();
    // The cut's index goes beside it, so that opening it needs no scan. Without it (no memory while
    // building it, a side file that cannot be written) the cut is still complete and succeeds, with the
    // reason kept as the last error: a reader that opens the cut builds the index itself.
    if (!indexed) return true;
    const bool index_written = !index.empty() && detail::writeSideFile(path, index, index_error);
    if (!index_written && !index_error.empty()) {
        fail(ReaderError::CannotWriteIndex, index_error + "; the cut " + path + " is complete without it.",
             Report::Warning);
    }
    return true;
}

}  // namespace zelvan
