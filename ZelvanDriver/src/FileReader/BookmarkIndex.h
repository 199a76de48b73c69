// The bookmark index of a raw recording: built by decoding the payload once, saved beside the
// recording (layout in BookmarkFile.h) and loaded again while it still matches the recording.
#pragma once

#include <algorithm>
#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <vector>

#include "zelvan/EVT3Decoder.h"
#include "zelvan/RawFileReader.h"

namespace zelvan::detail {

// Tells a loading reader's progress callback how far the scans of the recording have come: done is a
// byte offset in the recording, total its size. Reports come at most once per
// RawFileReader::kLoadProgressBytes of scanning and never go backwards (a scan that starts again from
// an earlier offset reports the furthest offset reached until it has passed it). Once the callback
// has asked to stop, every later report answers false without calling it.
class LoadProgress {
public:
    LoadProgress(const RawFileReader::ProgressCallback& callback, uint64_t total)
        : callback_(callback), total_(total) {}

    // A scan has reached byte `done`. False when the callback has asked to stop.
    [[nodiscard]] bool reached(uint64_t done) {
        if (cancelled_) return false;
        if (!callback_) return true;
        if (done < scan_mark_) scan_mark_ = done;  // a new scan from an earlier offset
        if (done - scan_mark_ < RawFileReader::kLoadProgressBytes) return true;
        scan_mark_ = done;
        return report(done);
    }
    // The whole recording has been taken in: done == total. False when the callback asks to stop.
    [[nodiscard]] bool finished() { return !cancelled_ && (!callback_ || report(total_)); }
    bool cancelled() const { return cancelled_; }

private:
    bool report(uint64_t done) {
        reported_ = std::min(std::max(done, reported_), total_);
        cancelled_ = !callback_(reported_, total_);
        return !cancelled_;
    }

    const RawFileReader::ProgressCallback& callback_;
    const uint64_t total_;
    uint64_t reported_ = 0;   // the last done handed to the callback
    uint64_t scan_mark_ = 0;  // offset of the last report (or the start) of the current scan
    bool cancelled_ = false;
};

// Bookmarks about every RawFileReader::bookmark_period_us of stream time, keyed by the stream time at
// their offset. The first stands where decoding starts, the final one at the end of the data (keyed
// above every other bookmark). Each holds the number of events and triggers in the file before it and
// the decoder state there, so that decoding resumes exactly at any bookmark.
//
// Used by one reader, under its read lock; the index decodes with a decoder of its own.
class BookmarkIndex {
public:
    using Bookmark = RawFileReader::Bookmark;
    using Map = std::map<uint64_t, Bookmark>;

    // The recording an index is made for. Building and loading read `in` wherever they need to and
    // leave its position unspecified.
    struct Recording {
        std::istream& in;
        uint64_t file_size = 0;
        PayloadStart start;  // where decoding begins and from which time
        int width = 0;
        int height = 0;
    };

    BookmarkIndex();

    // Decodes the whole payload into a new index (empty for a recording without events), telling
    // `progress` about the bytes decoded. False, with an empty index, on a read error (its reason in
    // `error`) or when `progress` asks to stop (progress.cancelled(), `error` untouched).
    [[nodiscard]] bool build(const Recording& recording, LoadProgress& progress, std::string& error);

    // Takes the index from the side file at `path` when the file matches the recording: its text part,
    // its records and its final bookmark, which is checked against the data after the bookmark before
    // it. A 1.0.0 file (no decoder states, 32-bit counts) is completed from the data, telling
    // `progress` about the bookmarks reached. False, after logging why, when the file cannot be used,
    // and without logging when `progress` asks to stop (progress.cancelled()); the index is then
    // unchanged.
    [[nodiscard]] bool load(const std::string& path, const Recording& recording, LoadProgress& progress);

    // Writes the index as the side file of the raw file at `raw_path`, through a temporary name and a
    // rename, so that no partial side file is ever found. Nothing is written when the raw file no
    // longer has the size indexed (a recorder still writes it, and writes its own index when done):
    // true then, with `saved` false. False, with the reason in `error`, when the write fails.
    [[nodiscard]] bool save(const std::string& raw_path, const Recording& recording, bool& saved,
                            std::string& error) const;

    // Forgets every bookmark.
    void clear() {
        marks_.clear();
        by_event_.clear();
    }

    const Map& bookmarks() const { return marks_; }
    bool empty() const { return marks_.empty(); }
    // The bookmark from which decoding reaches event `n` first: the last one with at most `n` events
    // before it. The index must not be empty.
    const Bookmark& forEvent(uint64_t n) const;
    // Triggers stored with the bookmark whose key is exactly `key`, otherwise none.
    std::vector<EventTriggerIn> triggersAt(uint64_t key) const;

private:
    // Fills the event-number lookup and each bookmark's trigger count from the bookmarks.
    void number();
    [[nodiscard]] bool completeV1(const Recording& recording, Map& marks, LoadProgress& progress);
    [[nodiscard]] bool checkFinal(const Recording& recording, const Map& marks);
    // Decodes from `from` to the end of the data: `count` ends as the number of events in the file
    // before the end, `triggers` holds the triggers met, the decoder stands at the end.
    [[nodiscard]] bool decodeTail(const Recording& recording, const Bookmark& from, uint64_t& count,
                                  std::vector<EventTriggerIn>& triggers);
    // Reads `n` bytes at `pos` into the buffer.
    [[nodiscard]] bool readAt(std::istream& in, uint64_t pos, size_t n);

    Map marks_;
    std::map<uint64_t, uint64_t> by_event_;  // event number -> bookmark key (the last one)
    EVT3Decoder decoder_;
    std::vector<uint8_t> buffer_;
};

}  // namespace zelvan::detail
