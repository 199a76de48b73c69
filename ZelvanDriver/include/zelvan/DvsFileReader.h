// Random access to recorded event files by time and by event count.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zelvan/Types.h"

namespace zelvan {

// Why the last operation of a file reader failed. Each value names one way in which the recording,
// the request or the output did not allow the work; the accompanying message (lastErrorMessage) gives
// the details in words.
enum class ReaderError : uint8_t {
    None,                // no failure
    NotLoaded,           // no recording is loaded (loadFile has not succeeded)
    CannotOpen,          // the recording cannot be opened for reading
    NotRawFile,          // its header is rejected: not a raw file, or an event format other than EVT 3.0
    ReadError,           // reading the recording failed, or it holds less data than its index counts
    NoEvents,            // the recording holds no event
    CorruptIndex,        // the index saved beside the recording did not match it and was built again
    CannotWriteIndex,    // the index could not be saved beside the recording
    OutOfRange,          // a time or an event number outside the recording
    InvalidRange,        // a range whose start lies after its end
    EmptyRange,          // a range that holds no data of the recording
    OutputIsRecording,   // the output would overwrite the recording being read
    CannotCreateOutput,  // the output file cannot be created
    CannotWrite,         // the output could not be written completely (what was written is removed)
    CannotEncode,        // the video encoder cannot be set up for the recording, or refused its frames
    Cancelled,           // the progress callback asked to stop
};

// A cursor over one recording. Create it with createFileReader, call loadFile, then seek and read.
// Every event-returning operation hands out the reader's one result vector (cleared and refilled by
// each read); a caller that keeps events across reads copies them.
class DvsFileReader {
public:
    // A reader for `path` when its name ends in ".raw" (case-sensitive, after the last '.'),
    // otherwise nullptr. The file is not opened here.
    static std::unique_ptr<DvsFileReader> createFileReader(const std::string& path);

    // Progress of a long operation of the reader, asked whether to go on. `done` and `total` are in the
    // operation's own unit (see setProgressCallback); done <= total, and done never decreases during
    // one operation. Returning true lets the operation go on; returning false asks it to stop: it
    // then fails with ReaderError::Cancelled, leaving nothing of its work behind.
    using ProgressCallback = std::function<bool(uint64_t done, uint64_t total)>;
    // `done` of `total` in whole percent, 0 to 100 (100 for a total of 0), without overflow for any
    // value.
    static int progressPercent(uint64_t done, uint64_t total) {
        if (total == 0 || done >= total) return 100;
        constexpr uint64_t kLimit = UINT64_MAX / 100;
        // done < total here, so neither form reaches 100.
        return static_cast<int>(total <= kLimit ? done * 100 / total : done / (total / 100 + 1));
    }

    virtual ~DvsFileReader() = default;

    // Opens the file and builds (or reloads) its index. Must succeed before anything else is used;
    // after a failure (a cancelled load included) it may be called again.
    [[nodiscard]] virtual bool loadFile() = 0;

    virtual bool getStartTimeStamp(uint64_t& timestamp) = 0;
    virtual bool getEndTimeStamp(uint64_t& timestamp) = 0;
    virtual bool getMaxEvents(uint64_t& events) = 0;
    // True once the cursor stands beyond the end timestamp.
    virtual bool reachedEndOfEvents() = 0;

    // Positions the cursor so that the next read starts no later than the first event whose
    // timestamp is at least `timestamp`. False outside [start, end].
    virtual bool seekTime(uint64_t timestamp) = 0;
    // Positions the cursor at event number `n` (0 = first event). False beyond the last event.
    virtual bool seekNEvents(uint64_t n) = 0;

    virtual uint64_t getCurrentPosTimeStamp() = 0;
    virtual uint64_t getCurrentPosEventNum() = 0;

    // The next `n` events from the cursor (fewer at the end of the recording).
    virtual std::shared_ptr<std::vector<Event2D>> getNEvents(uint64_t n) = 0;
    virtual std::shared_ptr<std::vector<Event2D>> getNEventsGivenStartTimeStamp(uint64_t timestamp,
                                                                                uint64_t n) = 0;
    virtual std::shared_ptr<std::vector<Event2D>> getNEventsGivenStartEvent(uint64_t start, uint64_t n) = 0;
    // The events of the next `us` microseconds from the cursor.
    virtual std::shared_ptr<std::vector<Event2D>> getNTimeEvents(uint64_t us) = 0;
    virtual std::shared_ptr<std::vector<Event2D>> getNTimeEventsGivenStartTimeStamp(uint64_t timestamp,
                                                                                    uint64_t us) = 0;
    virtual std::shared_ptr<std::vector<Event2D>> getNTimeEventsGivenStartEvent(uint64_t start,
                                                                                uint64_t us) = 0;

    // Cuts [start_us, end_us] out into a new raw file. False, with the reason logged and kept for
    // lastError(), when the range is outside the recording or empty, or the file cannot be written
    // completely (a file that fails part way is removed). Readers that keep an index beside their
    // recordings (RawFileReader) write the cut's beside it; an index left there by an earlier file of
    // that name goes first. A cut whose index cannot be written still succeeds, with lastError()
    // CannotWriteIndex.
    [[nodiscard]] virtual bool extractEventData(uint64_t start_us, uint64_t end_us,
                                                const std::string& path) = 0;
    // Renders [start_us, end_us] into an MP4 video, one frame per 1/30 s period that holds events. A
    // start before the recording is moved to the recording's start and the periods are counted from
    // there. False, with the reason logged and kept for lastError(), when the range holds no event of
    // the recording (a start after its end included) or the video cannot be written completely (it
    // is then removed).
    [[nodiscard]] virtual bool exportEventDataToVideo(uint64_t start_us, uint64_t end_us,
                                                      const std::string& path) = 0;

    // Replaces the callback that hears about the progress of long operations (an empty one: none).
    // Which operations call it, with which units, is up to each reader (RawFileReader: loadFile,
    // extractEventData and exportEventDataToVideo). The callback runs on the thread that called the
    // operation, while the operation holds the reader's read lock: it must not call the reader (not
    // even a getter that takes the lock, or the operation waits on itself for ever) apart from
    // lastError() and lastErrorMessage(), and other threads' calls wait until the operation has
    // ended. Set it while no operation of this reader runs, never from inside the callback. A false
    // answer to any call, the last one (done == total) included, makes the operation stop and return
    // false with lastError() == ReaderError::Cancelled. A reader without long operations ignores it.
    virtual void setProgressCallback(ProgressCallback callback) { (void)callback; }

    // Registrations only: triggers met while reading are collected in the trigger list.
    virtual uint32_t addTriggerInCallback(std::function<void(const EventTriggerIn&)> callback) = 0;
    virtual bool removeTriggerInCallback(uint32_t id) = 0;

    virtual int getWidth() = 0;
    virtual int getHeight() = 0;
    // Copies the header's description of the recording.
    virtual bool getFileInfo(DvsFileInfo& info) {
        (void)info;
        return false;
    }
    // Triggers met while reading, in stream order; each trigger of the file is listed once, however
    // often the part of the file that holds it is read.
    virtual std::vector<EventTriggerIn> getTriggerList() { return {}; }
    // Empties the trigger list; reading a part of the file again lists its triggers again. A reader
    // without a trigger list has nothing to empty.
    virtual void clearTriggerList() {}

    // Why the last operation that can fail (loading, seeking, reading, cutting, exporting) failed; each
    // of them clears it when it starts. Read it after a false result, or after a read that gave fewer
    // events than asked for. After a true result it is None, or names a problem the operation got
    // over: an index that had to be built again or could not be saved (loadFile), data that could not
    // be read after the events handed out. A reader that gives no reasons answers None and an empty
    // message.
    virtual ReaderError lastError() const { return ReaderError::None; }
    // The same failure in words: the line that was logged for it, or for a failure that is an answer
    // rather than an error (a seek outside the recording) a line that was not logged.
    virtual std::string lastErrorMessage() const { return {}; }
};

}  // namespace zelvan
