// Building a recording's bookmark index from its bytes as they come, in any pieces: the reader's
// build feeds the file in read chunks, the recorder the bytes it writes. Both give the same index,
// byte for byte, for the same file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FileReader/BookmarkFile.h"
#include "zelvan/EVT3Decoder.h"
#include "zelvan/RawFileHeader.h"
#include "zelvan/RawFileReader.h"

namespace zelvan::detail {

// The bookmarks of a payload whose start (offset, time base) is known, fed in order from that
// offset. A bookmark may stand only where a read chunk of RawFileReader::kReadChunkBytes (counted from
// the start) ends, so pieces are decoded up to those points whatever their own size. Allocates only
// for bookmarks and triggers, never per event.
class BookmarkBuilder {
public:
    explicit BookmarkBuilder(const PayloadStart& start);

    // The next `size` bytes of the payload.
    void feed(const uint8_t* data, size_t size);
    // The file offset after the bytes fed so far.
    uint64_t position() const { return pos_; }
    // Ends the payload where the bytes fed end and hands out the bookmarks: empty when the payload
    // holds no event. The builder is spent afterwards.
    BookmarkMap finish();

private:
    void decodePiece(const uint8_t* data, size_t size);
    void chunkEnded();
    void add(uint64_t key, uint64_t position, const EVT3Decoder::State& state);

    PayloadStart start_;
    EVT3Decoder decoder_;
    uint64_t pos_ = 0;
    uint64_t next_boundary_ = 0;
    uint64_t checked_ = 0;  // offset of the last chunk end whose bookmark rule ran
    uint64_t count_ = 0;
    std::vector<EventTriggerIn> pending_;
    BookmarkMap marks_;
    uint64_t last_ = 0;
    bool have_first_ = false;
    // Without a time base, the time of the payload's first TIME_HIGH word keys the first bookmark.
    std::optional<uint64_t> first_time_high_;
    bool odd_ = false;  // the bytes fed so far end inside a word
    uint8_t odd_byte_ = 0;
};

// The index of a recording that is being written, from its payload bytes in order. The header is
// needed only at the end (a cache file's bytes are written before the recording's header is known):
// offsets are counted from the start of the payload until then. Where decoding starts is decided as
// the reader decides it (findPayloadStart), from the first TIME_HIGH word of the payload; bytes
// before it are decoded on the header's time and dropped when the stream disagrees with it.
class RecordingIndexer {
public:
    // `header_time`: the "% dvs_start_timestamp" the header will carry.
    explicit RecordingIndexer(uint64_t header_time);
    RecordingIndexer(const RecordingIndexer&) = delete;
    RecordingIndexer& operator=(const RecordingIndexer&) = delete;

    void feed(const uint8_t* data, size_t size);
    // Payload bytes fed so far.
    uint64_t payloadBytes() const { return payload_bytes_; }
    // The side file (the reader's layout) of the file made of `header_text` and the payload fed so
    // far. Empty when that file holds no event (the reader keeps no index then) and when the header
    // does not parse to the time given at construction (nothing is vouched for then). The indexer is
    // spent afterwards.
    std::vector<uint8_t> finish(const std::string& header_text);
    // Why the index was dropped (memory ran out while building it); empty otherwise. finish()
    // returns nothing then.
    const std::string& error() const { return error_; }

private:
    void feedPiece(const uint8_t* data, size_t size);
    std::vector<uint8_t> finishIndex(const std::string& header_text);

    std::string error_;
    uint64_t header_time_;
    uint64_t payload_bytes_ = 0;
    std::unique_ptr<BookmarkBuilder> builder_;
    PayloadStart start_;    // offsets counted from the start of the payload
    bool deciding_ = true;  // the first TIME_HIGH word has not been seen yet
    bool odd_ = false;
    uint8_t odd_byte_ = 0;
};

// Removes the side file beside `raw_path` left by an earlier file of that name, before a new recording
// replaces it. False, with the reason in `error`, when one exists and cannot be removed.
[[nodiscard]] bool removeSideFile(const std::string& raw_path, std::string& error);

// Makes way for a new recording under `raw_path` before anything of an earlier file is touched: a file
// of that name is opened for writing without being emptied (made when it is not there; `made` says so),
// then the side file of an earlier file of that name is removed. A name that is not a file (a pipe, a
// device) is not opened: the recording's own opening decides. When either fails, the reason is in
// `error`; an earlier file keeps its content and a file made here is removed again.
enum class RecordingName { Ready, CannotOpen, IndexStays };
[[nodiscard]] RecordingName makeWayForRecording(const std::string& raw_path, std::string& error,
                                                bool* made = nullptr);

// Writes `bytes` as the side file beside `raw_path`, through a temporary name and a rename, so that no
// partial side file is ever found under the reader's name. False, with the reason in `error` and
// neither name left behind, when that fails; `keep_existing` leaves what stands under the side file's
// name alone then (only the temporary name is removed).
[[nodiscard]] bool writeSideFile(const std::string& raw_path, const std::vector<uint8_t>& bytes,
                                 std::string& error, bool keep_existing = false);

}  // namespace zelvan::detail
