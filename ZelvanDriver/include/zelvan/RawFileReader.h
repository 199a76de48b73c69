// Reader of raw event files (text header + EVT 3.0 payload) with a bookmark index.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zelvan/DvsFileReader.h"
#include "zelvan/EVT3Decoder.h"
#include "zelvan/RawFileHeader.h"

namespace zelvan {

class DataToVideoConverter;
namespace detail {
class BookmarkIndex;
}

// Where the decoding of a recording's payload begins, and from which time.
struct PayloadStart {
    uint64_t offset = 0;               // file offset of the first word to decode
    bool has_time_base = false;        // decode from `time_base`; otherwise words before the first TIME_HIGH
    uint64_t time_base = 0;            // are dropped and time starts there
    bool header_time_ignored = false;  // the header's time disagreed with the stream
};

// Finds where and from which time the payload of a recording is decoded. The header's
// "% dvs_start_timestamp" gives the time base only while the stream agrees with it: the payload's
// first TIME_HIGH word carries the TIME_HIGH of the header time or the next one (mod 4096), or the
// payload has no TIME_HIGH word at all. A header that disagrees (a tool that copied a recording's
// header in front of bytes from the middle of its stream) is not trusted: decoding starts at the
// first TIME_HIGH word as in a fresh decoder, whose time keeps the header's wrap-arounds above
// 2^24 us (one more when that word lies at least 2048 steps below the header's TIME_HIGH, as a
// decoder counts a wrap-around), and one warning is logged. Files written by this system always
// agree. Reads `in` from the payload on; false on a read error.
[[nodiscard]] bool findPayloadStart(std::istream& in, const RawFileHeader& header, uint64_t file_size,
                                    PayloadStart& start);

// Loading decodes the whole payload once and keeps a bookmark about every 2 ms of event time; each
// bookmark holds everything needed to resume decoding there exactly (file offset at a word
// boundary, number of events before it, decoder state). The index is saved beside the recording
// (rec.raw -> rec.zvmark.tmp) and reused while it still matches the recording.
//
// Seeks and reads give exactly the events of a continuous decode of the file: seekTime(t) lands on
// the word that first brings the stream time to t or beyond (also when t is a bookmark's time: the
// events at exactly t may precede the bookmark, so the search starts at the bookmark before it),
// seekNEvents(n) lands on event n itself. Once a counted read has handed out the last event, the
// cursor stands beyond the end (reachedEndOfEvents), so a loop of reads ends on every file.
// All seeks and reads are serialised by one lock.
//
// Triggers met while decoding are listed once each, in stream order, however often the part of the
// file that holds them is read.
//
// A cut (extractEventData) copies the payload bytes between the two seek points unchanged (a cut from
// an earlier time to the end timestamp copies to the end of the data; a cut from a time to the same
// time is empty and refused, the end timestamp included). The new file's header carries the stream
// time at the cut as "% dvs_start_timestamp". Its payload begins with a TIME_HIGH and a TIME_LOW word
// of that time, then, when the stream had a row or vector base set before the cut, a few words that
// set them again (and produce no event), then the copied bytes. Decoding the new file from its header
// time gives exactly the events that decoding the recording gives between the two points; a reader
// that ignores the header and starts at the first TIME_HIGH sees the same events, with the cut's
// start time taken modulo 2^24 us.
//
// An export (exportEventDataToVideo) holds the read lock for its whole run, seeks to the later of its
// start and the recording's start and renders one period of event time after the other from there:
// the caller's thread reads and draws each frame (grey, in the encoder's 4:2:0 format), a thread of
// the export encodes it meanwhile, and is joined before the export returns, whatever its outcome.
// Every frame is a key frame.
// Cuts and exports report every failure (including write errors of their output) by returning false
// after logging the reason, and remove an output file they could not complete; they never remove
// anything but a regular file. Nothing here throws for a failure it reports: every reason comes back
// as the false (or empty) result and as lastError() with the logged line as lastErrorMessage().
class RawFileReader : public DvsFileReader {
public:
    struct Bookmark {
        uint64_t position = 0;                 // byte offset in the file where decoding resumes
        uint64_t timestamp = 0;                // stream time at that point (the map key)
        uint64_t event_number = 0;             // events in the file before this point
        std::vector<EventTriggerIn> triggers;  // triggers since the previous bookmark
        EVT3Decoder::State decoder_state;      // decoder state at `position`
        uint64_t trigger_number = 0;           // triggers in the file before this point (not stored)
    };

    static constexpr uint64_t bookmark_period_us = 2000;
    // Side-file layout written by this reader (64-bit event numbers, decoder state per bookmark).
    static constexpr const char* BOOKMARK_VERSION = "2.0.0";
    // Older layout (32-bit event numbers, no decoder state): still read when its counts fit.
    static constexpr const char* BOOKMARK_VERSION_V1 = "1.0.0";
    static constexpr size_t kReadChunkBytes = 131072;
    static constexpr uint64_t kMaxBookmarkFileBytes = 1'048'576'000;
    // Cuts copy in pieces of this size.
    static constexpr size_t kCopyPieceBytes = 1'048'576;
    // Frames per second of exported videos; one frame per period of event time that has events.
    static constexpr uint64_t kExportFrameRate = 30;
    // Exported frames are grey pictures drawn straight in the encoder's 4:2:0 format: the luma of
    // the background and of a pixel with an ON or an OFF event (what FFmpeg's scaler makes of BGR
    // grey 112, white and black in limited-range BT.601), and the chroma of every pixel (what it
    // makes of grey).
    static constexpr uint8_t kExportBackgroundLuma = 112;
    static constexpr uint8_t kExportOnLuma = 234;
    static constexpr uint8_t kExportOffLuma = 16;
    static constexpr uint8_t kExportChroma = 127;

    // Loading reports its scan of the recording at most once per this many bytes.
    static constexpr uint64_t kLoadProgressBytes = 1'048'576;

    // The progress callback (setProgressCallback) is called by three operations:
    // - loadFile: done = bytes of the recording scanned so far, total = the file size. While the index
    //   is built the callback hears about every kLoadProgressBytes scanned; reloading a side file of
    //   the older layout, which scans the data before each bookmark, reports the bookmark it has
    //   reached in the same way; once the index is complete, before it is saved, the callback hears
    //   done == total. A side file that fails its check after some progress was reported is followed
    //   by a build whose reports stay at that progress until the build has passed it.
    // - extractEventData: done = payload bytes of the recording copied so far, total = the bytes the
    //   cut copies (after each piece of kCopyPieceBytes; the last call has done == total).
    // - exportEventDataToVideo: done = us of event time rendered, from the later of the range's start
    //   and the recording's start, total = that span up to the earlier of the range's end and the
    //   recording's end (after each frame period; the last call, once the video is complete, has
    //   done == total).
    // A call only comes once the operation has got past its checks (the header is read, the range is
    // valid, the output is created). It is made on the caller's thread while the operation holds the
    // read lock (an export holds it for the whole video): the callback must not call the reader, not
    // even a getter that takes the lock, or it waits on itself for ever; only lastError() and
    // lastErrorMessage() (which take a lock of their own) may be called. Other threads that use the
    // reader meanwhile wait until the operation has ended. Setting the callback waits, as they do,
    // until a running operation has ended (so never set it from inside the callback).
    //
    // Returning false stops the operation, which returns false with lastError() ==
    // ReaderError::Cancelled and a message that says so (logged at the info level, as a cancel is no
    // error):
    // - loadFile leaves the reader unloaded and writes no side file (an existing one is left as it
    //   was); loadFile may be called again;
    // - a cut or an export removes its output file (only ever a regular file, as on any failure).
    using ProgressCallback = DvsFileReader::ProgressCallback;

    explicit RawFileReader(const std::string& path);
    ~RawFileReader() override;
    RawFileReader(const RawFileReader&) = delete;
    RawFileReader& operator=(const RawFileReader&) = delete;

    [[nodiscard]] bool loadFile() override;
    bool getStartTimeStamp(uint64_t& timestamp) override;
    bool getEndTimeStamp(uint64_t& timestamp) override;
    bool getMaxEvents(uint64_t& events) override;
    bool reachedEndOfEvents() override;
    bool seekTime(uint64_t timestamp) override;
    bool seekNEvents(uint64_t n) override;
    uint64_t getCurrentPosTimeStamp() override;
    uint64_t getCurrentPosEventNum() override;
    std::shared_ptr<std::vector<Event2D>> getNEvents(uint64_t n) override;
    std::shared_ptr<std::vector<Event2D>> getNEventsGivenStartTimeStamp(uint64_t timestamp,
                                                                        uint64_t n) override;
    std::shared_ptr<std::vector<Event2D>> getNEventsGivenStartEvent(uint64_t start, uint64_t n) override;
    std::shared_ptr<std::vector<Event2D>> getNTimeEvents(uint64_t us) override;
    std::shared_ptr<std::vector<Event2D>> getNTimeEventsGivenStartTimeStamp(uint64_t timestamp,
                                                                            uint64_t us) override;
    std::shared_ptr<std::vector<Event2D>> getNTimeEventsGivenStartEvent(uint64_t start, uint64_t us) override;
    [[nodiscard]] bool extractEventData(uint64_t start_us, uint64_t end_us, const std::string& path) override;
    [[nodiscard]] bool exportEventDataToVideo(uint64_t start_us, uint64_t end_us,
                                              const std::string& path) override;
    uint32_t addTriggerInCallback(std::function<void(const EventTriggerIn&)> callback) override;
    bool removeTriggerInCallback(uint32_t id) override;
    int getWidth() override;
    int getHeight() override;
    bool getFileInfo(DvsFileInfo& info) override;
    std::vector<EventTriggerIn> getTriggerList() override;
    void clearTriggerList() override;
    // Safe to call from any thread at any time, the progress callback included.
    ReaderError lastError() const override;
    std::string lastErrorMessage() const override;

    // Triggers stored with the bookmark whose key is exactly `timestamp`, otherwise none.
    std::vector<EventTriggerIn> getTriggerListForBookmark(uint64_t timestamp) const;
    const std::map<uint64_t, Bookmark>& getAllBookmarks() const;
    const std::string& getBookmarkFilePath() const { return bookmark_path_; }
    const RawFileHeader& getHeader() const { return header_; }

    // The side-file name for a recording: its last ".raw" replaced by ".zvmark.tmp".
    static std::string bookmarkPathFor(const std::string& raw_path);

    void setProgressCallback(ProgressCallback callback) override;

private:
    // Reads `n` bytes at `pos` into the read buffer.
    [[nodiscard]] bool readAt(uint64_t pos, size_t n);
    // True when `path` names the recording this reader reads (writing it would destroy the input).
    [[nodiscard]] bool isRecordingItself(const std::string& path) const;

    // How the line of a failure is logged: as an error, as a warning (the operation gets over it),
    // as information (the caller asked to stop), or not at all (it was logged where the failure arose,
    // or the failure is an answer, not an error).
    enum class Report : uint8_t { Error, Warning, Info, NotLogged };
    // Keeps the reason of the current operation's failure for lastError() and logs `message` with the
    // caller's position (filled in by the compiler: std::source_location is not available to clang
    // with this standard library). Returns false.
    bool fail(ReaderError code, std::string message, Report report = Report::Error,
              const char* file = __builtin_FILE(), int line = __builtin_LINE());
    void clearError();

    // Cut and export of a loaded recording, under the read lock (RawFileCut.cpp, RawFileExport.cpp).
    [[nodiscard]] bool cutLocked(uint64_t start_us, uint64_t end_us, const std::string& path);
    [[nodiscard]] bool exportLocked(uint64_t start_us, uint64_t end_us, const std::string& path);
    // Writes the video of [from, end_us) with the export's converter.
    [[nodiscard]] bool renderVideo(uint64_t from, uint64_t end_us, uint64_t span, const std::string& path);
    // Whether an export of [from, end_us) would hold a frame: reads its periods up to the first event.
    bool exportHoldsAFrame(uint64_t from, uint64_t end_us);
    // The failure of an export whose progress callback asked to stop. Returns false.
    bool failCancelledExport(const std::string& path);

    // All below run under read_mutex_.
    // The checks of the public seeks and reads: false, with the reason kept, when no recording is
    // loaded or the seek finds no place in it.
    [[nodiscard]] bool loadedOrFail();
    [[nodiscard]] bool seekTimeOrFail(uint64_t timestamp);
    [[nodiscard]] bool seekEventOrFail(uint64_t n);
    [[nodiscard]] bool readChunk();
    void placeCursor(uint64_t position, const EVT3Decoder::State& state, uint64_t event_number,
                     uint64_t trigger_number);
    void placeCursorAt(const Bookmark& mark);
    bool seekTimeLocked(uint64_t timestamp);
    bool seekEventLocked(uint64_t n);
    void takeCarried(size_t count, std::vector<Event2D>& out);
    std::shared_ptr<std::vector<Event2D>> readEventsLocked(uint64_t n);
    std::shared_ptr<std::vector<Event2D>> readTimeLocked(uint64_t us);
    // Where the events of a read go: runs [first, last) of them, in order, still in the reader's
    // buffers (valid until the call returns). Refers to the callable, which must outlive it.
    class EventRuns {
    public:
        template <typename F>
        explicit EventRuns(F& f)
            : target_(&f), call_([](void* t, const Event2D* first, const Event2D* last) {
                  (*static_cast<F*>(t))(first, last);
              }) {}
        void operator()(const Event2D* first, const Event2D* last) const { call_(target_, first, last); }

    private:
        void* target_;
        void (*call_)(void*, const Event2D*, const Event2D*);
    };
    // readTimeLocked without the copy: hands the events of the next `us` of stream time to `runs`
    // where they lie. Returns how many there were. `runs` must not throw: the cursor has moved on
    // before the events are handed out.
    uint64_t visitTimeLocked(uint64_t us, EventRuns runs);
    // No more data can be read (a read error, or data that ends before the events the index counts):
    // logs it once and places the cursor beyond the end.
    void standAfterLostData();

    std::string path_;
    std::string bookmark_path_;
    std::ifstream in_;
    uint64_t file_size_ = 0;
    RawFileHeader header_;
    PayloadStart data_start_;  // where decoding begins and from which time
    bool loaded_ = false;

    EVT3Decoder decoder_;
    std::vector<uint8_t> read_buffer_;

    std::unique_ptr<detail::BookmarkIndex> index_;
    uint64_t start_timestamp_ = 0;
    uint64_t end_timestamp_ = 0;
    uint64_t max_events_ = 0;

    // Cursor.
    std::mutex read_mutex_;
    uint64_t current_timestamp_ = 0;
    uint64_t current_event_ = 0;
    uint64_t file_pos_ = 0;    // next byte the decoder reads
    uint64_t stream_pos_ = 0;  // where the file stream stands (seek only when it differs)
    bool count_only_ = false;  // decode without keeping the events (seeking)
    std::vector<Event2D> decoded_;
    std::vector<Event2D> carried_;
    size_t carried_pos_ = 0;  // carried_[carried_pos_..] are still to be handed out
    std::shared_ptr<std::vector<Event2D>> output_;
    // Triggers are listed only once the cursor has passed this many events of the current decode
    // (seeks decode data that precedes the cursor and must not list its triggers).
    uint64_t decoded_total_ = 0;
    uint64_t list_triggers_from_ = 0;
    uint64_t next_trigger_ = 0;        // number in the file of the next trigger the decoder meets
    bool data_lost_ = false;           // a read of the recording failed since it was loaded
    bool data_loss_reported_ = false;  // standAfterLostData logged

    mutable std::mutex trigger_mutex_;
    std::map<uint64_t, EventTriggerIn> trigger_list_;  // by number in the file
    std::mutex callback_mutex_;
    std::map<uint32_t, std::function<void(const EventTriggerIn&)>> trigger_callbacks_;
    uint32_t next_callback_id_ = 0;

    ProgressCallback progress_;
    std::unique_ptr<DataToVideoConverter> video_converter_;  // of the last export

    mutable std::mutex error_mutex_;
    ReaderError error_ = ReaderError::None;
    std::string error_message_;
};

}  // namespace zelvan
