// zelvan-raw: scripted access to raw event recordings.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "zelvan/Decoder.h"
#include "zelvan/DvsCameraManager.h"
#include "zelvan/EVT3Encoder.h"
#include "zelvan/FileHeader.h"
#include "zelvan/FusionCamera.h"
#include "zelvan/Logger.h"
#include "zelvan/Mp4FileReader.h"
#include "zelvan/RawFileHeader.h"
#include "zelvan/RawFileReader.h"
#include "zelvan/SyntheticScene.h"
#include "zelvan/TimeUtils.h"

namespace {

// One command's section of the usage text: its synopsis lines and what it does.
struct CommandHelp {
    const char* name;
    const char* text;
};

const CommandHelp kCommands[] = {
    {"info", R"(  zelvan-raw info [--json] FILE
      Prints "key: value" lines about a raw event file:
        file, format, width, height, serial_number (when the header has one),
        date (when the header has one), dvs_start_timestamp (when present),
        aps_start_timestamp (when present: a fusion recording, the event time of its video's start),
        payload_offset, payload_bytes, events, on_events, triggers,
        first_timestamp and last_timestamp (us, of CD events; absent when there are none);
        then, from the file reader's bookmark index (absent when the file has no events):
        start_timestamp, end_timestamp (us), max_events, bookmarks.
      Reading the file through the index writes the index file beside it (NAME.zvmark.tmp).
      With --json, the same keys and values as one JSON object on one line, in the same order:
      file, format, serial_number and date are strings, every other value is a number. Nothing is
      printed when the index cannot be built.
)"},
    {"dump", R"(  zelvan-raw dump [--from US] [--to US] FILE
      Prints one line "x,y,p,t" per CD event in stream order (decimal, no spaces, no heading).
      With --from and/or --to, only the events with from <= t < to, found through the index.
  zelvan-raw dump --triggers FILE
      Prints one line "id,p,t" per trigger event in stream order.
)"},
    {"stats", R"(  zelvan-raw stats [--bin US] FILE
      A quick look at a recording, read through the decoder (once for the totals, then once per
      1048576 bins). More than 10000000 bins are refused (status 1: use a larger US). First CSV lines: the heading
      "bin_start_us,events,on_events,rate_ev_per_s,on_share", then one line per bin of US
      microseconds (default 1000000, at least 1, at most 1000000000000) from the bin of the earliest
      CD event to the bin of the latest, empty bins included. A bin starts at a multiple of US
      (stream time) and counts the CD events with start <= t < start + US; rate_ev_per_s is
      events * 1000000 / US rounded down, on_share is on_events / events with 4 decimals (0.0000 for
      an empty bin). Then "key: value" lines of the totals:
        events, on_events, on_share (as above), triggers,
        duration_us (latest minus earliest CD event time; 0 without events),
        bin_us (US), bins (the number of bin lines).
)"},
    {"generate",
     R"(  zelvan-raw generate OUT.raw [--seconds S] [--rate EV_PER_S] [--width W] [--height H] [--seed N]
      Writes a synthetic recording of a moving scene (defaults: 2 s, 1000000 ev/s, 1280 x 720;
      at most 86400 s, 100000000 ev/s, 2048 x 2048).
)"},
    {"cut", R"(  zelvan-raw cut FILE START_US END_US OUT.raw
      Cuts the events from START_US to END_US (us, stream time) out of FILE into a new raw file.
      The copy begins at the first word of the stream that reaches START_US and ends before the
      one that reaches END_US (or at the end of the data when END_US is the recording's end and
      START_US lies before it), so OUT.raw decodes to exactly those events of FILE; its header has
      "% dvs_start_timestamp START_US" and its payload begins with a TIME_HIGH and a TIME_LOW word
      of that time, so that readers which ignore the header see every event too (their times are
      START_US modulo 2^24 us on). A range that holds no data (START_US = END_US included) is
      refused. A progress line (loading FILE, then the cut) goes to stderr.
      A cut that cannot be written completely is removed; the reason is one line on stderr and the
      exit status is 1. Interrupted (SIGINT, SIGTERM), the cut stops, is removed, and the tool
      ends by that signal.
)"},
    {"to-video", R"(  zelvan-raw to-video FILE START_US END_US OUT.mp4
      Renders the events from START_US to END_US into an H.264 MP4 video: one 30 fps frame per
      33333 us period that holds events (periods without events add no frame), grey background,
      ON events white, OFF events black, at the sensor's size. A START_US before the recording's
      start is moved to it and the periods count from there; a range whose periods hold no event
      of the recording is refused (the last period may reach up to 33333 us past END_US). A
      progress line (loading FILE, then the video) goes to stderr.
      A video that cannot be written completely is removed; the reason is one line on stderr and
      the exit status is 1. Interrupted (SIGINT, SIGTERM), the export stops, the video is removed,
      and the tool ends by that signal.
)"},
    {"list", R"(  zelvan-raw list
      Lists the cameras found (simulated ones on machines without camera hardware), one per line:
      "serial<TAB>product<TAB>manufacturer<TAB>USB|ETH<TAB>vid:pid<TAB>camera IP" (the IP only for Ethernet cameras).
)"},
    {"record", R"(  zelvan-raw record [--config CONFIG.json] SERIAL SECONDS FILE
      Opens the camera SERIAL ("-" for the first camera found), applies the camera configuration
      file CONFIG.json when given, streams the camera and records SECONDS (1 to 86400) seconds of
      its raw event stream into FILE. When stderr is a terminal, one line there shows the seconds
      recorded and the event rate of the last second, rewritten once a second. At the end, stderr
      gets "zelvan-raw: recorded N events from SERIAL into FILE" and the line of the losses:
      "zelvan-raw: B bytes written; lost on the way: L device buffers, D bytes in the recorder"
      (L: raw buffers dropped before the camera loop took them, D: bytes the recorder dropped). A
      recording that could not be written completely (a full disk, a missing folder) gives one line
      on stderr with the reason and exit status 1.
      On a fusion camera (product Tandra) FILE is the base name of the recording (a trailing ".raw"
      is dropped): both streams are recorded into FILE.raw (events, its header starting with
      "% aps_start_timestamp N", the event time of the first frame), FILE.mp4 (the frames, time 0
      at that first frame) and, when the camera's calibration can be read, FILE.json; stderr tells
      the events and frames recorded, then "zelvan-raw: B bytes written; lost on the way: F frames,
      R exposure records unpaired" (frames and exposure records that found no partner).
)"},
};

const char* const kNotes = R"(
Options may come anywhere on the command line, before or after the other arguments; "--" ends the
options (for a FILE whose name begins with "-").
The payload after the header is decoded as EVT 3.0. When the header has "% dvs_start_timestamp",
decoding starts from that time; otherwise events count from the first TIME_HIGH word. A header time
that disagrees with the stream (its first TIME_HIGH word is neither the header time's TIME_HIGH nor
the next one) is not used: decoding starts at the first TIME_HIGH word, keeping the header's count
of 2^24 us wrap-arounds, and a warning goes to stderr.
A file that is missing, unreadable or not an EVT 3.0 raw file, output that cannot be written, and a
camera or recording that fails give one line on stderr and exit status 1. Wrong usage (an unknown
command or option, a missing or extra argument, a number that does not parse or is out of range)
gives one line on stderr and exit status 2.
)";

// The whole usage text, or one command's section of it.
void printUsage(const std::string& command) {
    std::fputs("Usage:\n", stdout);
    for (const auto& c : kCommands) {
        if (command.empty() || command == c.name) std::fputs(c.text, stdout);
    }
    if (command.empty()) {
        std::fputs(
            "  zelvan-raw --help\n"
            "      Prints this text (so does \"zelvan-raw help\"); \"zelvan-raw COMMAND --help\" or\n"
            "      \"zelvan-raw help COMMAND\" prints the section of one command.\n",
            stdout);
    }
    std::fputs(kNotes, stdout);
}

// Wrong use of the tool: one line on stderr naming the command and where its usage is, status 2.
int usageError(const std::string& command, const std::string& message) {
    const std::string who = command.empty() ? "zelvan-raw" : "zelvan-raw " + command;
    std::fprintf(stderr, "%s: %s; run '%s --help'\n", who.c_str(), message.c_str(), who.c_str());
    return 2;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "zelvan-raw: %s\n", message.c_str());
    return 1;
}

// Applies a configuration file to an opened camera. What a load that succeeds skipped ("Tool not
// found: ...") is told on stderr as warnings, and the run goes on; a load that fails is one line naming
// the first value refused, or the reason.
template <typename Camera>
bool applyConfiguration(Camera& camera, const std::string& path, std::string& failure) {
    bool applied = false;
    std::vector<zelvan::RecordingLogSink::Line> lines;
    {
        zelvan::ScopedLogCapture capture(zelvan::LOG_WARNING);
        applied = camera.loadCameraConfigParams(path);
        // Only the loader's own lines: the camera's threads may log meanwhile.
        for (auto& line : capture.lines())
            if (line.file == "CameraConfigFile.cpp") lines.push_back(std::move(line));
    }
    if (!applied) {
        failure = "cannot apply the configuration file \"" + path +
                  "\": " + zelvan::configErrorText(camera.lastConfigError());
        // The line of the value that decided the outcome: the one that threw, else the first refused.
        const char* const cause = camera.lastConfigError() == zelvan::ConfigError::ToolFailed
                                      ? "Failed to set "
                                      : "Value refused: ";
        for (const auto& line : lines) {
            if (line.text.rfind(cause, 0) == 0) {
                failure += " (" + line.text + ")";
                break;
            }
        }
        return false;
    }
    for (const auto& line : lines) {
        if (line.level == zelvan::LOG_WARNING)
            std::fprintf(stderr, "zelvan-raw: warning: %s: %s\n", path.c_str(), line.text.c_str());
    }
    return true;
}

// Removes what a command that failed left at `path`, when that is a file of its own (not a device).
void removeRegularFile(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ec)))
        std::filesystem::remove(path, ec);
}

// Exit status of a command that printed its result: 1 when any of it could not be written.
int outputStatus() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) return fail("cannot write the output");
    return 0;
}

// The reader's reason for its last failure, or `fallback` when it gives none.
std::string reasonOf(const zelvan::RawFileReader& reader, const std::string& fallback) {
    const std::string reason = reader.lastErrorMessage();
    return reason.empty() ? fallback : reason;
}

// Buffered text output of decimal numbers.
class Out {
public:
    explicit Out(FILE* f) : f_(f) {}
    ~Out() { flush(); }
    void number(uint64_t v) {
        reserve(24);
        const auto r = std::to_chars(buf_ + n_, buf_ + sizeof buf_, v);
        n_ = static_cast<size_t>(r.ptr - buf_);
    }
    void ch(char c) {
        reserve(1);
        buf_[n_++] = c;
    }
    void flush() {
        if (n_ > 0) std::fwrite(buf_, 1, n_, f_);
        n_ = 0;
    }

private:
    void reserve(size_t k) {
        if (n_ + k > sizeof buf_) flush();
    }
    FILE* f_;
    char buf_[1 << 16];
    size_t n_ = 0;
};

struct Payload {
    zelvan::RawFileHeader header;
    std::ifstream in;
};

bool openRecording(const std::string& path, Payload& p, std::string& error) {
    p.in.open(path, std::ios::binary);
    if (!p.in) {
        error = "cannot open \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    if (!zelvan::readRawFileHeader(p.in, p.header, error)) {
        error = "\"" + path + "\" is not a readable raw file: " + error;
        return false;
    }
    p.in.seekg(static_cast<std::streamoff>(p.header.payload_offset));
    return true;
}

// Where and from which time the payload is decoded; warns on stderr when the header's time is not
// used. False on a read error.
bool findStart(Payload& p, zelvan::PayloadStart& start, uint64_t& file_size, bool warn = true) {
    p.in.clear();  // after an earlier pass read up to the end
    p.in.seekg(0, std::ios::end);
    const auto end = p.in.tellg();
    if (end < 0) return false;
    file_size = static_cast<uint64_t>(end);
    if (!zelvan::findPayloadStart(p.in, p.header, file_size, start)) return false;
    if (warn && start.header_time_ignored) {
        std::fprintf(stderr,
                     "zelvan-raw: warning: the header's dvs_start_timestamp %llu disagrees with the stream; "
                     "times are taken from the stream (%llu us at byte %llu)\n",
                     static_cast<unsigned long long>(p.header.info.dvs_start_timestamp),
                     static_cast<unsigned long long>(start.time_base),
                     static_cast<unsigned long long>(start.offset));
    }
    return true;
}

// Decodes the whole payload through `decoder`, from where and from the time the reader's rules give
// (a header time that disagrees with the stream is not used; `warn` says so on stderr); returns false
// on a read error.
bool decodePayload(Payload& p, zelvan::Decoder& decoder, uint64_t& payload_bytes, bool warn = true) {
    zelvan::PayloadStart start;
    uint64_t file_size = 0;
    if (!findStart(p, start, file_size, warn)) return false;
    if (start.has_time_base) decoder.setTimeBase(start.time_base);
    p.in.clear();
    p.in.seekg(static_cast<std::streamoff>(start.offset));
    std::vector<uint8_t> chunk(1 << 20);
    while (p.in) {
        p.in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
        const auto got = static_cast<size_t>(p.in.gcount());
        if (got == 0) break;
        decoder.decode(chunk.data(), chunk.data() + got);
    }
    payload_bytes = file_size - std::min(file_size, p.header.payload_offset);
    return !p.in.bad();
}

// One "key: value" line of info: a text or a number.
struct InfoField {
    std::string key;
    bool is_text = false;
    std::string text;
    uint64_t number = 0;
};

class InfoFields {
public:
    void text(const char* key, const std::string& value) { fields_.push_back({key, true, value, 0}); }
    void number(const char* key, uint64_t value) { fields_.push_back({key, false, {}, value}); }
    // The lines of the fields from `from` on.
    void print(size_t from) const {
        for (size_t i = from; i < fields_.size(); ++i) {
            const InfoField& f = fields_[i];
            if (f.is_text)
                std::printf("%s: %s\n", f.key.c_str(), f.text.c_str());
            else
                std::printf("%s: %llu\n", f.key.c_str(), static_cast<unsigned long long>(f.number));
        }
    }
    // All fields as one JSON object on one line; bytes that are not UTF-8 (a file name, a header's
    // serial number) become U+FFFD.
    void printJson() const {
        nlohmann::ordered_json object = nlohmann::ordered_json::object();
        for (const InfoField& f : fields_) {
            if (f.is_text)
                object[f.key] = f.text;
            else
                object[f.key] = f.number;
        }
        const std::string text =
            object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        std::printf("%s\n", text.c_str());
    }
    size_t size() const { return fields_.size(); }

private:
    std::vector<InfoField> fields_;
};

int cmdInfo(const std::string& path, bool json) {
    Payload p;
    std::string error;
    if (!openRecording(path, p, error)) return fail(error);
    auto decoder = zelvan::DecoderFactory::createUniqueDecoder(p.header.formatText());
    if (!decoder) return fail("no decoder for \"" + p.header.formatText() + "\"");

    uint64_t events = 0, on_events = 0, triggers = 0, first_t = 0, last_t = 0;
    decoder->setEventsStreamHandleCallback([&](zelvan::Event2D* b, zelvan::Event2D* e) {
        if (events == 0) first_t = b->timestamp;
        events += static_cast<uint64_t>(e - b);
        for (auto* it = b; it != e; ++it) on_events += it->polarity;
        last_t = e[-1].timestamp;
    });
    decoder->setTriggerInCallback([&](zelvan::EventTriggerIn) { ++triggers; });
    uint64_t payload_bytes = 0;
    if (!decodePayload(p, *decoder, payload_bytes)) return fail("read error in \"" + path + "\"");

    const auto& info = p.header.info;
    InfoFields fields;
    fields.text("file", path);
    fields.text("format", p.header.formatText());
    fields.number("width", info.width);
    fields.number("height", info.height);
    if (!info.serial_number.empty()) fields.text("serial_number", info.serial_number);
    for (const auto& [key, value] : p.header.lines) {
        if (key == "date" || key == "Date") {
            fields.text("date", zelvan::timePointToString(info.date));
            break;
        }
    }
    if (p.header.has_dvs_start_timestamp) fields.number("dvs_start_timestamp", info.dvs_start_timestamp);
    if (p.header.has_aps_start_timestamp) fields.number("aps_start_timestamp", info.aps_start_timestamp);
    fields.number("payload_offset", p.header.payload_offset);
    fields.number("payload_bytes", payload_bytes);
    fields.number("events", events);
    fields.number("on_events", on_events);
    fields.number("triggers", triggers);
    if (events > 0) {
        fields.number("first_timestamp", first_t);
        fields.number("last_timestamp", last_t);
    }
    // The plain lines of the decode come out before the index is built, as they always did.
    if (!json) fields.print(0);
    const size_t decoded = fields.size();
    zelvan::RawFileReader reader(path);
    if (events > 0) {
        if (!reader.loadFile()) {
            std::fflush(stdout);
            return fail(reasonOf(reader, "cannot index \"" + path + "\""));
        }
        uint64_t start = 0, end = 0, max = 0;
        reader.getStartTimeStamp(start);
        reader.getEndTimeStamp(end);
        reader.getMaxEvents(max);
        fields.number("start_timestamp", start);
        fields.number("end_timestamp", end);
        fields.number("max_events", max);
        fields.number("bookmarks", reader.getAllBookmarks().size());
    }
    if (json)
        fields.printJson();
    else
        fields.print(decoded);
    return outputStatus();
}

// "0.1234": part / whole with 4 decimals, rounded half up; "0.0000" when whole is 0.
std::string share(uint64_t part, uint64_t whole) {
    const uint64_t e4 = whole == 0 ? 0 : (part * 10'000 + whole / 2) / whole;
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%04llu", static_cast<unsigned long long>(e4 / 10'000),
                  static_cast<unsigned long long>(e4 % 10'000));
    return text;
}

constexpr uint64_t kMaxBinUs = 1'000'000'000'000;

// Past this many bins stats refuses: a damaged stream whose time runs far ahead, or tiny bins over a
// long recording, would print rows without end.
constexpr uint64_t kMaxStatsBins = 10'000'000;
// Bins counted per pass over the payload: the counts of a window take 16 bytes a bin.
constexpr uint64_t kStatsWindowBins = uint64_t{1} << 20;
// Rows between checks of the output, so that a broken output stops the printing.
constexpr uint64_t kRowsPerOutputCheck = 4096;

int cmdStats(const std::string& path, uint64_t bin_us) {
    Payload p;
    std::string error;
    if (!openRecording(path, p, error)) return fail(error);
    const std::string format = p.header.formatText();
    auto decoder = zelvan::DecoderFactory::createUniqueDecoder(format);
    if (!decoder) return fail("no decoder for \"" + format + "\"");

    // First pass: the totals and the time span, which give the number of bins.
    uint64_t events = 0, on_events = 0, triggers = 0, earliest = UINT64_MAX, latest = 0;
    decoder->setEventsStreamHandleCallback([&](zelvan::Event2D* b, zelvan::Event2D* e) {
        for (auto* it = b; it != e; ++it) {
            const uint64_t t = it->timestamp;
            on_events += it->polarity;
            earliest = std::min(earliest, t);
            latest = std::max(latest, t);
        }
        events += static_cast<uint64_t>(e - b);
    });
    decoder->setTriggerInCallback([&](zelvan::EventTriggerIn) { ++triggers; });
    uint64_t payload_bytes = 0;
    if (!decodePayload(p, *decoder, payload_bytes)) return fail("read error in \"" + path + "\"");

    const uint64_t first_bin = events > 0 ? earliest / bin_us : 0;
    const uint64_t bin_count = events > 0 ? latest / bin_us - first_bin + 1 : 0;
    if (bin_count > kMaxStatsBins) {
        return fail(std::to_string(bin_count) + " bins of " + std::to_string(bin_us) +
                    " us; use a larger --bin (at most " + std::to_string(kMaxStatsBins) + " bins)");
    }

    uint64_t rows = 0;
    auto row = [&](uint64_t start, uint64_t n, uint64_t on) {
        // n * 1000000 / bin_us without overflow: bin_us <= 10^12 keeps the remainder's product below
        // 2^64.
        const uint64_t rate = n / bin_us * 1'000'000 + n % bin_us * 1'000'000 / bin_us;
        std::printf("%llu,%llu,%llu,%llu,%s\n", static_cast<unsigned long long>(start),
                    static_cast<unsigned long long>(n), static_cast<unsigned long long>(on),
                    static_cast<unsigned long long>(rate), share(on, n).c_str());
        ++rows;
        return rows % kRowsPerOutputCheck != 0 || !std::ferror(stdout);
    };
    std::printf("bin_start_us,events,on_events,rate_ev_per_s,on_share\n");
    // Then one pass per window of bins, each counting only the events that fall into it: the rows
    // come out in time order with bounded memory, whatever order the events come in.
    std::vector<uint64_t> counts, on_counts;
    for (uint64_t window = 0; window < bin_count; window += kStatsWindowBins) {
        const uint64_t size = std::min(kStatsWindowBins, bin_count - window);
        const uint64_t window_bin = first_bin + window;
        counts.assign(size, 0);
        on_counts.assign(size, 0);
        auto pass = zelvan::DecoderFactory::createUniqueDecoder(format);
        if (!pass) return fail("no decoder for \"" + format + "\"");
        pass->setEventsStreamHandleCallback([&](zelvan::Event2D* b, zelvan::Event2D* e) {
            for (auto* it = b; it != e; ++it) {
                // Bins below the window wrap around to large indexes and are skipped too.
                const uint64_t i = it->timestamp / bin_us - window_bin;
                if (i >= size) continue;
                ++counts[i];
                on_counts[i] += it->polarity;
            }
        });
        if (!decodePayload(p, *pass, payload_bytes, false)) return fail("read error in \"" + path + "\"");
        for (uint64_t i = 0; i < size; ++i) {
            if (!row((window_bin + i) * bin_us, counts[i], on_counts[i]))
                return fail("cannot write the output");
        }
    }
    std::printf("events: %llu\n", static_cast<unsigned long long>(events));
    std::printf("on_events: %llu\n", static_cast<unsigned long long>(on_events));
    std::printf("on_share: %s\n", share(on_events, events).c_str());
    std::printf("triggers: %llu\n", static_cast<unsigned long long>(triggers));
    std::printf("duration_us: %llu\n", static_cast<unsigned long long>(events > 0 ? latest - earliest : 0));
    std::printf("bin_us: %llu\n", static_cast<unsigned long long>(bin_us));
    std::printf("bins: %llu\n", static_cast<unsigned long long>(rows));
    return outputStatus();
}

void printEvents(Out& out, const zelvan::Event2D* b, const zelvan::Event2D* e) {
    for (auto* it = b; it != e; ++it) {
        out.number(it->x);
        out.ch(',');
        out.number(it->y);
        out.ch(',');
        out.number(it->polarity);
        out.ch(',');
        out.number(it->timestamp);
        out.ch('\n');
    }
}

// Events with from <= t < to, read window by window from the index.
int cmdDumpRange(const std::string& path, uint64_t from, uint64_t to) {
    Payload p;
    std::string error;
    if (!openRecording(path, p, error)) return fail(error);
    zelvan::PayloadStart payload_start;
    uint64_t file_size = 0;
    if (!findStart(p, payload_start, file_size)) return fail("read error in \"" + path + "\"");
    p.in.close();
    zelvan::RawFileReader reader(path);
    if (!reader.loadFile()) {
        // A file without events has nothing in any range; any other refusal is an error.
        if (reader.lastError() == zelvan::ReaderError::NoEvents) return 0;
        return fail(reasonOf(reader, "cannot index \"" + path + "\""));
    }
    // A reason left by a load that succeeded (an index that could not be saved beside the file) does
    // not spoil the dump.
    uint64_t start = 0, end = 0;
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    // The index covers [start, end] of stream time, but event times may step back below the start or
    // lie beyond the end (the stream time at the end of the data can be below its last events). Only
    // where reading begins and ends is kept inside the index; the events are chosen by the range asked
    // for. The last window reaches past the end and so takes every event that is left.
    const uint64_t seek_from = std::min(std::max(from, start), end);
    const uint64_t read_to = end < UINT64_MAX ? std::min(to, end + 1) : to;
    Out out(stdout);
    std::string read_error;
    if (from < to && seek_from < read_to && reader.seekTime(seek_from)) {
        constexpr uint64_t kWindowUs = 100'000;
        while (!reader.reachedEndOfEvents() && reader.getCurrentPosTimeStamp() < read_to) {
            const uint64_t step = std::min(kWindowUs, read_to - reader.getCurrentPosTimeStamp());
            const auto events = reader.getNTimeEvents(step);
            if (read_error.empty() && reader.lastError() != zelvan::ReaderError::None)
                read_error = reader.lastErrorMessage();
            for (const auto& e : *events)
                if (e.timestamp >= from && e.timestamp < to) printEvents(out, &e, &e + 1);
        }
    }
    out.flush();
    // A read error ends the reading early: what was printed is incomplete.
    if (!read_error.empty()) {
        std::fflush(stdout);
        return fail(read_error);
    }
    return outputStatus();
}

int cmdDump(const std::string& path, bool triggers_only) {
    Payload p;
    std::string error;
    if (!openRecording(path, p, error)) return fail(error);
    auto decoder = zelvan::DecoderFactory::createUniqueDecoder(p.header.formatText());
    if (!decoder) return fail("no decoder for \"" + p.header.formatText() + "\"");
    Out out(stdout);
    if (triggers_only) {
        decoder->setTriggerInCallback([&](zelvan::EventTriggerIn t) {
            out.number(static_cast<uint64_t>(t.id));
            out.ch(',');
            out.number(static_cast<uint64_t>(t.polarity));
            out.ch(',');
            out.number(t.timestamp);
            out.ch('\n');
        });
    } else {
        decoder->setEventsStreamHandleCallback(
            [&](zelvan::Event2D* b, zelvan::Event2D* e) { printEvents(out, b, e); });
    }
    uint64_t payload_bytes = 0;
    if (!decodePayload(p, *decoder, payload_bytes)) return fail("read error in \"" + path + "\"");
    out.flush();
    return outputStatus();
}

bool parseNumber(const char* text, uint64_t& out) {
    const char* end = text + std::strlen(text);
    const auto [ptr, ec] = std::from_chars(text, end, out);
    return ec == std::errc() && ptr == end;
}

struct GenerateOptions {
    uint64_t seconds = 2;
    uint64_t rate = 1'000'000;
    uint64_t width = 1280;
    uint64_t height = 720;
    uint64_t seed = 1;
};

int cmdGenerate(const std::string& path, const GenerateOptions& o) {
    const uint64_t seconds = o.seconds, rate = o.rate, width = o.width, height = o.height, seed = o.seed;
    zelvan::DvsFileInfo info;
    info.width = static_cast<uint16_t>(width);
    info.height = static_cast<uint16_t>(height);
    info.serial_number = "SIM00000";
    info.date = std::chrono::system_clock::now();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return fail("cannot create \"" + path + "\": " + std::strerror(errno));
    // A recording that cannot be written whole is removed: no shorter file is left to pass for it.
    auto abandon = [&out, &path] {
        const int error = errno;
        out.close();
        removeRegularFile(path);
        return fail("cannot write \"" + path + "\"" +
                    (error != 0 ? std::string(": ") + std::strerror(error) : ""));
    };
    errno = 0;
    const std::string header = zelvan::generateDvsFileHeader(info);
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    if (!out) return abandon();

    zelvan::SyntheticScene scene(info.width, info.height, rate, seed);
    zelvan::EVT3Encoder encoder(info.width);
    std::vector<zelvan::Event2D> events;
    std::vector<uint8_t> bytes;
    constexpr uint64_t kSliceUs = 10'000;
    for (uint64_t t = 0; t < seconds * 1'000'000; t += kSliceUs) {
        events.clear();
        bytes.clear();
        scene.generate(t, t + kSliceUs, events);
        encoder.advanceTime(t, bytes);
        encoder.encode(events.data(), events.data() + events.size(), bytes);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) return abandon();
    }
    out.close();
    if (!out) return abandon();
    return 0;
}

// "zelvan-raw: cut  42%" on stderr, rewritten in place while the work goes on. The stages of one
// piece of work (loading the recording, then cutting it) take turns on the same line.
class ProgressLine {
public:
    explicit ProgressLine(const char* what) : what_(what) {}
    // The work goes on as `what`, counted from its own start.
    void stage(const char* what) {
        what_ = what;
        percent_ = -1;
    }
    void update(uint64_t done, uint64_t total) {
        const int percent = zelvan::DvsFileReader::progressPercent(done, total);
        if (percent == percent_) return;
        percent_ = percent;
        char text[16];
        std::snprintf(text, sizeof text, " %3d%%", percent);
        show("zelvan-raw: " + std::string(what_) + text);
        std::fflush(stderr);
    }
    // Shows "zelvan-raw: TEXT" on the line.
    void note(const std::string& text) {
        show("zelvan-raw: " + text);
        std::fflush(stderr);
    }
    void finish() {
        if (width_ > 0) std::fputc('\n', stderr);
        width_ = 0;
        percent_ = -1;
    }
    // Ends the work with one line of explanation, written over the progress line when one is shown.
    int fail(const std::string& message) {
        show("zelvan-raw: " + message);
        std::fputc('\n', stderr);
        width_ = 0;
        percent_ = -1;
        return 1;
    }

private:
    // Writes `line` over what the progress line shows, blanking whatever of it is longer.
    void show(const std::string& line) {
        if (width_ > 0) std::fputc('\r', stderr);
        const size_t blank = width_ > line.size() ? width_ - line.size() : 0;
        std::fprintf(stderr, "%s%*s", line.c_str(), static_cast<int>(blank), "");
        width_ = std::max(width_, line.size());
    }

    const char* what_;
    int percent_ = -1;
    size_t width_ = 0;  // columns the progress line takes (0: none is shown)
};

// SIGINT or SIGTERM during a cut or an export: the number of the signal. The work stops at its next
// progress report, so that the reader removes what it wrote.
volatile std::sig_atomic_t g_interrupted = 0;

void noteInterrupt(int signal) { g_interrupted = signal; }

// Catches SIGINT and SIGTERM while it lives (a signal the tool was started with ignored, as a shell
// starts background jobs, stays ignored); other commands end on them as programs do.
class InterruptCatcher {
public:
    InterruptCatcher() {
        struct sigaction action {};
        action.sa_handler = noteInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, nullptr, &saved_int_);
        sigaction(SIGTERM, nullptr, &saved_term_);
        if (saved_int_.sa_handler != SIG_IGN) sigaction(SIGINT, &action, nullptr);
        if (saved_term_.sa_handler != SIG_IGN) sigaction(SIGTERM, &action, nullptr);
    }
    ~InterruptCatcher() {
        sigaction(SIGINT, &saved_int_, nullptr);
        sigaction(SIGTERM, &saved_term_, nullptr);
    }
    // Ends the process by `signal` as if it had not been caught, so that a shell running the tool in a
    // loop or a script stops too.
    [[noreturn]] static void dieOf(int signal) {
        std::fflush(stderr);
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, signal);
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
        std::raise(signal);
        std::_Exit(128 + signal);
    }
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;

private:
    struct sigaction saved_int_ {};
    struct sigaction saved_term_ {};
};

// Runs a cut or an export of [START_US, END_US] of FILE into OUT. A failure ends with one line on
// stderr that holds the reader's reason; an interrupted one ends the process by its signal.
int cmdCutOrExport(bool to_video, const std::string& path, uint64_t start, uint64_t end,
                   const std::string& out) {
    // The reader goes wherever the recording's index points: a device or a pipe holds no recording.
    if (std::error_code ec; std::filesystem::exists(path, ec) && !std::filesystem::is_regular_file(path, ec))
        return fail("\"" + path + "\" is not a regular file");
    Payload p;
    std::string error;
    if (!openRecording(path, p, error)) return fail(error);
    // The reader decodes from where findStart says; a header time it does not trust is reported here
    // as by info and dump.
    zelvan::PayloadStart payload_start;
    uint64_t file_size = 0;
    if (!findStart(p, payload_start, file_size)) return fail("read error in \"" + path + "\"");
    p.in.close();

    zelvan::RawFileReader reader(path);
    const InterruptCatcher interrupts;
    // The line shows the loading of the recording (the building of its index) first, then the work.
    ProgressLine progress("loading");
    auto report = [&reader, &progress, &out](const std::string& fallback) {
        if (const int signal = g_interrupted; signal != 0) {
            progress.fail(std::string("interrupted by ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") +
                          "; \"" + out + "\" was not written");
            InterruptCatcher::dieOf(signal);
        }
        return progress.fail(reasonOf(reader, fallback));
    };
    reader.setProgressCallback([&progress](uint64_t done, uint64_t total) {
        if (g_interrupted != 0) return false;
        progress.update(done, total);
        return true;
    });
    if (!reader.loadFile()) return report("\"" + path + "\" holds no events");
    if (to_video) {
        uint64_t last = 0;
        reader.getEndTimeStamp(last);
        if (start > end) return progress.fail("Start time must be less than or equal to end time.");
        if (start > last) {
            return progress.fail("START_US is after the end of the recording (" + std::to_string(last) +
                                 " us)");
        }
    }
    progress.stage(to_video ? "to-video" : "cut");
    bool ok = false;
    try {
        ok = to_video ? reader.exportEventDataToVideo(start, end, out)
                      : reader.extractEventData(start, end, out);
    } catch (const std::bad_alloc&) {
        // Failures come back as the result; only running out of memory throws.
        return progress.fail("out of memory; \"" + out + "\" was not written");
    } catch (const std::exception& e) {
        return progress.fail(e.what());
    }
    if (!ok) return report("cannot write \"" + out + "\"");
    progress.finish();
    // A cut is complete without its index (its readers build it), but the user hears why it is missing.
    if (reader.lastError() == zelvan::ReaderError::CannotWriteIndex)
        std::fprintf(stderr, "zelvan-raw: warning: %s\n", reader.lastErrorMessage().c_str());
    return 0;
}

const char* transportName(zelvan::INTERFACE_TYPE type) { return type == zelvan::ETH ? "ETH" : "USB"; }

int cmdList() {
    zelvan::DvsCameraManager manager;
    for (const auto& d : manager.getCameraDescs()) {
        std::printf("%s\t%s\t%s\t%s\t%04x:%04x\t%s\n", d.serial.c_str(), d.product.c_str(),
                    d.manufacturer.c_str(), transportName(d.interfaceType), d.vendorId, d.productId,
                    d.cameraIp.c_str());
    }
    return outputStatus();
}

// Why the camera refused to start a recording or could not complete it, in the recorder's own words
// where it has them.
std::string recordingFailure(const zelvan::DvsCamera& camera) {
    const zelvan::RecorderError reason = camera.lastRecordingError();
    const zelvan::ZvRecordingStatus status = camera.getRecordingStatus();
    std::string text = zelvan::recorderErrorText(reason);
    if (status.reason == reason && !status.error.empty()) text += " (" + status.error + ")";
    return text;
}

// Waits until `seconds` have passed or `stop_early` says so, polling every 100 ms.
template <typename StopEarly>
void recordFor(uint64_t seconds, StopEarly stop_early) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::mutex mutex;
    std::condition_variable cv;
    std::unique_lock<std::mutex> lock(mutex);
    while (std::chrono::steady_clock::now() < end && !stop_early()) {
        cv.wait_until(lock, std::min(end, std::chrono::steady_clock::now() + std::chrono::milliseconds(100)));
    }
}

// The progress of a recording: "zelvan-raw: recording 12/30 s, 1234567 ev/s" (the events of the
// last second), rewritten once a second, and only when stderr is a terminal. Its failures are
// written over that line.
class RecordingProgress {
public:
    explicit RecordingProgress(uint64_t seconds)
        : seconds_(seconds), live_(::isatty(STDERR_FILENO) == 1), line_("recording") {}
    // The camera's event callback counts here.
    void count(uint64_t events) { events_.fetch_add(events, std::memory_order_relaxed); }
    uint64_t events() const { return events_.load(std::memory_order_relaxed); }
    // The recording starts now.
    void start() {
        started_ = last_ = std::chrono::steady_clock::now();
        next_ = started_ + std::chrono::seconds(1);
        last_events_ = events();
    }
    // Called while the recording runs (every 100 ms or so): shows the line when a second has passed.
    void tick() {
        if (!live_) return;
        const auto now = std::chrono::steady_clock::now();
        // Due at start + k s; a late tick does not push the later ones back.
        if (now < next_) return;
        while (next_ <= now) next_ += std::chrono::seconds(1);
        const uint64_t n = events();
        const double span = std::chrono::duration<double>(now - last_).count();
        const auto rate = static_cast<unsigned long long>(static_cast<double>(n - last_events_) / span);
        const auto elapsed = static_cast<unsigned long long>(
            std::chrono::duration_cast<std::chrono::seconds>(now - started_).count());
        char text[96];
        std::snprintf(text, sizeof text, "recording %llu/%llu s, %llu ev/s", elapsed,
                      static_cast<unsigned long long>(seconds_), rate);
        line_.note(text);
        last_ = now;
        last_events_ = n;
    }
    // Ends the line (when one is shown) before the closing messages.
    void finish() { line_.finish(); }
    // One line of failure, over the progress line when one is shown; status 1.
    int fail(const std::string& message) { return line_.fail(message); }

private:
    const uint64_t seconds_;
    const bool live_;
    ProgressLine line_;
    std::atomic<uint64_t> events_{0};
    std::chrono::steady_clock::time_point started_{}, last_{}, next_{};
    uint64_t last_events_ = 0;
};

constexpr uint64_t kFirstFrameWaitSeconds = 5;

// Both streams of a fusion camera into BASE.raw, BASE.mp4 and (with a calibration) BASE.json.
int recordFusion(zelvan::DvsCameraManager& manager, const std::string& serial, uint64_t seconds,
                 const std::string& path, const std::string& config) {
    std::string base = path;
    if (base.size() > 4 && base.compare(base.size() - 4, 4, ".raw") == 0) base.resize(base.size() - 4);
    const std::filesystem::path base_path(base);
    const std::string folder = base_path.has_parent_path() ? base_path.parent_path().string() : ".";
    const std::string name = base_path.filename().string();
    if (name.empty()) return usageError("record", "FILE needs a file name");

    auto camera = manager.openFusionCamera(serial);
    if (!camera || !camera->isConnected()) return fail("cannot open camera \"" + serial + "\"");
    if (std::string failure; !config.empty() && !applyConfiguration(*camera, config, failure))
        return fail(failure);
    zelvan::CalibratorParameters calibration;
    const bool calibrated = camera->readCalibrationParam(calibration);
    if (camera->start(zelvan::DVS_AND_APS) != 0) return fail("cannot start camera \"" + serial + "\"");
    // The recording starts at a frame: the first one paired with its exposure is waited for.
    std::atomic<bool> framed{false};
    const unsigned frame_watch = camera->addApsFrameCallback([&](const zelvan::ApsFrame&) { framed = true; });
    recordFor(kFirstFrameWaitSeconds, [&] { return framed.load() || !camera->isConnected(); });
    camera->removeApsFrameCallback(frame_watch);
    if (!framed.load()) {
        camera->stop(zelvan::DVS_AND_APS);
        if (!camera->isConnected()) return fail("camera \"" + serial + "\" went away");
        return fail("camera \"" + serial + "\" sent no frame within " +
                    std::to_string(kFirstFrameWaitSeconds) + " s");
    }
    RecordingProgress progress(seconds);
    const unsigned event_watch =
        camera->addEventsStreamHandleCallback([&progress](zelvan::Event2D* first, zelvan::Event2D* last) {
            progress.count(static_cast<uint64_t>(last - first));
        });
    if (camera->startRecording(folder, name, zelvan::DVS_AND_APS) != 0) {
        camera->stop(zelvan::DVS_AND_APS);
        camera->removeEventsStreamHandleCallback(event_watch);
        return fail("cannot record into \"" + base + ".raw\" and \"" + base + ".mp4\"");
    }
    progress.start();
    recordFor(seconds, [&] {
        progress.tick();
        return !camera->isConnected();
    });
    const bool lost = !camera->isConnected();
    const bool complete = camera->stopRecording(zelvan::DVS_AND_APS) == 0;
    camera->stop(zelvan::DVS_AND_APS);
    camera->removeEventsStreamHandleCallback(event_watch);
    if (!complete)
        return progress.fail("recording \"" + base +
                             "\" is incomplete: data were lost on the way to the files");
    if (lost) return progress.fail("camera \"" + serial + "\" went away during the recording");
    progress.finish();
    // What the files hold, read back.
    Payload payload;
    std::string error;
    if (!openRecording(base + ".raw", payload, error)) return fail(error);
    auto decoder = zelvan::DecoderFactory::createUniqueDecoder(payload.header.formatText());
    if (!decoder) return fail("no decoder for \"" + payload.header.formatText() + "\"");
    uint64_t events = 0;
    decoder->setEventsStreamHandleCallback([&](zelvan::Event2D* first, zelvan::Event2D* last) {
        events += static_cast<uint64_t>(last - first);
    });
    uint64_t payload_bytes = 0;
    if (!decodePayload(payload, *decoder, payload_bytes)) return fail("read error in \"" + base + ".raw\"");
    zelvan::Mp4FileReader video(base + ".mp4");
    std::vector<uint64_t> times;
    if (!video.loadFile() || !video.getTimeStamps(times))
        return fail("cannot read \"" + base + ".mp4\" back");
    // Without the time of its first frame the video cannot be placed among the events.
    if (!payload.header.has_aps_start_timestamp || times.empty())
        return fail("recording \"" + base + "\" holds no frame: the frames stopped coming");
    const std::string json = calibrated ? ", " + base + ".json" : "";
    std::fprintf(stderr, "zelvan-raw: recorded %llu events and %zu frames from %s into %s.raw, %s.mp4%s\n",
                 static_cast<unsigned long long>(events), times.size(), serial.c_str(), base.c_str(),
                 base.c_str(), json.c_str());
    // Losses the camera counts: frames and exposure records that found no partner. Data dropped on
    // the way to the files make the recording fail above.
    std::error_code ec;
    const auto written = std::filesystem::file_size(base + ".raw", ec);
    std::fprintf(stderr,
                 "zelvan-raw: %llu bytes written; lost on the way: %llu frames, %llu exposure records "
                 "unpaired\n",
                 static_cast<unsigned long long>(ec ? 0 : written),
                 static_cast<unsigned long long>(camera->getUnpairedFrames()),
                 static_cast<unsigned long long>(camera->getUnpairedSyncRecords()));
    return 0;
}

int cmdRecord(const std::string& serial_arg, uint64_t seconds, const std::string& path,
              const std::string& config) {
    zelvan::DvsCameraManager manager;
    const auto cameras = manager.getCameraDescs();
    std::string serial = serial_arg;
    if (serial == "-") {
        if (cameras.empty()) return fail("no camera found");
        serial = cameras.front().serial;
    }
    for (const auto& d : cameras) {
        if (d.serial == serial && d.vendorId == 0x2207 && d.productId == 0x0006)
            return recordFusion(manager, serial, seconds, path, config);
    }
    auto camera = manager.openCamera(serial);
    if (!camera) return fail("cannot open camera \"" + serial + "\"");
    if (std::string failure; !config.empty() && !applyConfiguration(*camera, config, failure))
        return fail(failure);

    RecordingProgress progress(seconds);
    const unsigned event_watch =
        camera->addEventsStreamHandleCallback([&progress](zelvan::Event2D* first, zelvan::Event2D* last) {
            progress.count(static_cast<uint64_t>(last - first));
        });
    if (camera->startRecording(path) != 0) {
        camera->removeEventsStreamHandleCallback(event_watch);
        return fail("cannot record into \"" + path + "\": " + recordingFailure(*camera));
    }
    if (camera->start() != 0) {
        camera->stop();
        camera->removeEventsStreamHandleCallback(event_watch);
        camera->stopRecording();
        return fail("cannot start camera \"" + serial + "\"");
    }
    // Record for the requested time, or until the camera goes away.
    progress.start();
    recordFor(seconds, [&] {
        progress.tick();
        return !camera->isConnected() || camera->getRecordingStatus().failed;
    });
    const bool lost = !camera->isConnected();
    camera->stop();  // first, so that the file holds every event counted here
    camera->removeEventsStreamHandleCallback(event_watch);
    const bool complete = camera->stopRecording() == 0;
    const zelvan::ZvRecordingStatus status = camera->getRecordingStatus();
    if (!complete) {
        return progress.fail("recording \"" + path + "\" is incomplete: " + recordingFailure(*camera) + ", " +
                             std::to_string(status.bytesWritten) + " bytes written");
    }
    if (lost) return progress.fail("camera \"" + serial + "\" went away during the recording");
    progress.finish();
    const zelvan::ZvStreamCounters losses = camera->getStreamCounters();
    std::fprintf(stderr, "zelvan-raw: recorded %llu events from %s into %s\n",
                 static_cast<unsigned long long>(progress.events()), serial.c_str(), path.c_str());
    std::fprintf(
        stderr,
        "zelvan-raw: %llu bytes written; lost on the way: %llu device buffers, %llu bytes in the recorder\n",
        static_cast<unsigned long long>(status.bytesWritten),
        static_cast<unsigned long long>(losses.lostBuffers),
        static_cast<unsigned long long>(losses.recorderDroppedBytes));
    return 0;
}

// What the command line gave: the positional arguments and the options' values as typed; numbers are
// checked after parsing, so that each gets its own message.
struct Arguments {
    std::string file, out, serial, seconds, start, end;
    std::string config, from, to, bin;
    std::string gen_seconds, gen_rate, gen_width, gen_height, gen_seed;
    bool json = false;
    bool triggers = false;
};

// The words of the command line before its "--" (all of them without one).
std::vector<std::string> g_option_words;

// The first wrong use among what `command` was given: arguments it does not take and positional
// arguments that are missing. Empty when there is none.
std::string misuse(const CLI::App& command, std::initializer_list<const char*> positionals) {
    for (const std::string& extra : command.remaining()) {
        if (extra == "--") continue;  // the end of the options, kept by the parser among the extras
        // A word after "--" is an argument even when it looks like an option.
        const bool option_word =
            std::find(g_option_words.begin(), g_option_words.end(), extra) != g_option_words.end();
        if (option_word && extra.size() > 1 && extra[0] == '-')
            return "unknown option " + extra.substr(0, extra.find('='));
        return "unexpected argument \"" + extra + "\"";
    }
    for (const char* name : positionals) {
        if (command.count(name) == 0) return std::string("missing ") + name;
    }
    return {};
}

// `text` as a whole number from `min` to `max`.
bool numberIn(const std::string& text, uint64_t min, uint64_t max, uint64_t& out) {
    return parseNumber(text.c_str(), out) && out >= min && out <= max;
}

int runCommand(const CLI::App& command, const Arguments& a) {
    const std::string name = command.get_name();
    std::string wrong;
    if (name == "info") {
        if (!(wrong = misuse(command, {"FILE"})).empty()) return usageError(name, wrong);
        return cmdInfo(a.file, a.json);
    }
    if (name == "dump") {
        if (!(wrong = misuse(command, {"FILE"})).empty()) return usageError(name, wrong);
        const bool ranged = command.count("--from") > 0 || command.count("--to") > 0;
        if (a.triggers && ranged) return usageError(name, "--triggers takes no --from or --to");
        if (a.triggers) return cmdDump(a.file, true);
        if (!ranged) return cmdDump(a.file, false);
        uint64_t from = 0, to = UINT64_MAX;
        if (command.count("--from") > 0 && !parseNumber(a.from.c_str(), from))
            return usageError(name, "--from needs a whole number of microseconds");
        if (command.count("--to") > 0 && !parseNumber(a.to.c_str(), to))
            return usageError(name, "--to needs a whole number of microseconds");
        return cmdDumpRange(a.file, from, to);
    }
    if (name == "stats") {
        if (!(wrong = misuse(command, {"FILE"})).empty()) return usageError(name, wrong);
        uint64_t bin = 1'000'000;
        if (command.count("--bin") > 0 && !numberIn(a.bin, 1, kMaxBinUs, bin))
            return usageError(
                name, "--bin needs a whole number of microseconds from 1 to " + std::to_string(kMaxBinUs));
        return cmdStats(a.file, bin);
    }
    if (name == "generate") {
        if (!(wrong = misuse(command, {"OUT.raw"})).empty()) return usageError(name, wrong);
        GenerateOptions o;
        struct NumberOption {
            const char* option;
            const std::string* text;
            uint64_t* value;
            uint64_t min, max;
            const char* need;
        };
        const NumberOption numbers[] = {
            {"--seconds", &a.gen_seconds, &o.seconds, 0, 24 * 3600, "a whole number of seconds up to 86400"},
            {"--rate", &a.gen_rate, &o.rate, 0, 100'000'000,
             "a whole number of events per second up to 100000000"},
            {"--width", &a.gen_width, &o.width, 1, 2048, "a whole number from 1 to 2048"},
            {"--height", &a.gen_height, &o.height, 1, 2048, "a whole number from 1 to 2048"},
            {"--seed", &a.gen_seed, &o.seed, 0, UINT64_MAX, "a whole number"},
        };
        for (const NumberOption& n : numbers) {
            if (command.count(n.option) > 0 && !numberIn(*n.text, n.min, n.max, *n.value))
                return usageError(name, std::string(n.option) + " needs " + n.need);
        }
        return cmdGenerate(a.out, o);
    }
    if (name == "cut" || name == "to-video") {
        const char* out_name = name == "cut" ? "OUT.raw" : "OUT.mp4";
        wrong = misuse(command, {"FILE", "START_US", "END_US", out_name});
        if (!wrong.empty()) return usageError(name, wrong);
        uint64_t start = 0, end = 0;
        if (!parseNumber(a.start.c_str(), start) || !parseNumber(a.end.c_str(), end))
            return usageError(name, "START_US and END_US must be whole numbers of microseconds");
        return cmdCutOrExport(name == "to-video", a.file, start, end, a.out);
    }
    if (name == "list") {
        if (!(wrong = misuse(command, {})).empty()) return usageError(name, wrong);
        return cmdList();
    }
    // record
    wrong = misuse(command, {"SERIAL", "SECONDS", "FILE"});
    if (!wrong.empty()) return usageError(name, wrong);
    uint64_t seconds = 0;
    if (!numberIn(a.seconds, 1, 24 * 3600, seconds))
        return usageError(name, "SECONDS must be a whole number from 1 to 86400");
    if (command.count("--config") > 0 && a.config.empty())
        return usageError(name, "--config needs a file name");
    return cmdRecord(a.serial, seconds, a.file, a.config);
}

}  // namespace

int main(int argc, char** argv) {
    // Past a file-size limit a write fails with EFBIG and is reported like any other write error,
    // instead of the signal ending the tool without a word (and leaving a partial output behind).
    std::signal(SIGXFSZ, SIG_IGN);
    // The tool reports its own errors; the library's progress lines would only add noise.
    zelvan::Logger::Instance().setLevel(zelvan::LOG_ERROR + 1);
    if (argc < 2) return usageError("", "no command given");
    const std::string first = argv[1];
    const auto isCommand = [](const std::string& word) {
        return std::any_of(std::begin(kCommands), std::end(kCommands),
                           [&](const CommandHelp& c) { return word == c.name; });
    };
    if (first == "help") {
        // "help" or "help CMD": the whole usage text or that command's section.
        if (argc > 3) return usageError("", std::string("unexpected argument \"") + argv[3] + "\"");
        const std::string topic = argc == 3 ? argv[2] : "";
        if (!topic.empty() && !isCommand(topic)) return usageError("", "unknown command \"" + topic + "\"");
        printUsage(topic);
        return outputStatus();
    }
    // An option of some command given before the command.
    if (first.size() > 1 && first[0] == '-' && first != "-h" && first != "--help") {
        const std::string option = first.substr(0, first.find('='));
        for (const char* known : {"--json", "--triggers", "--from", "--to", "--bin", "--seconds", "--rate",
                                  "--width", "--height", "--seed", "--config"}) {
            if (option == known) return usageError("", "options go after the command: " + option);
        }
    }
    // A word where the command belongs that names none (options are left to the parser).
    if ((first.empty() || first[0] != '-') && !isCommand(first))
        return usageError("", "unknown command \"" + first + "\"");

    for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i) g_option_words.emplace_back(argv[i]);

    Arguments a;
    CLI::App app("scripted access to raw event recordings", "zelvan-raw");
    app.require_subcommand(1);
    app.allow_extras();
    auto command = [&app](const char* name) {
        CLI::App* c = app.add_subcommand(name);
        c->allow_extras();  // reported by misuse(), in the tool's own words
        return c;
    };
    CLI::App* info = command("info");
    info->add_flag("--json", a.json);
    info->add_option("FILE", a.file);
    CLI::App* dump = command("dump");
    dump->add_flag("--triggers", a.triggers);
    dump->add_option("--from", a.from);
    dump->add_option("--to", a.to);
    dump->add_option("FILE", a.file);
    CLI::App* stats = command("stats");
    stats->add_option("--bin", a.bin);
    stats->add_option("FILE", a.file);
    CLI::App* generate = command("generate");
    generate->add_option("--seconds", a.gen_seconds);
    generate->add_option("--rate", a.gen_rate);
    generate->add_option("--width", a.gen_width);
    generate->add_option("--height", a.gen_height);
    generate->add_option("--seed", a.gen_seed);
    generate->add_option("OUT.raw", a.out);
    for (const char* name : {"cut", "to-video"}) {
        CLI::App* c = command(name);
        c->add_option("FILE", a.file);
        c->add_option("START_US", a.start);
        c->add_option("END_US", a.end);
        c->add_option(std::string(name) == "cut" ? "OUT.raw" : "OUT.mp4", a.out);
    }
    command("list");
    CLI::App* record = command("record");
    record->add_option("--config", a.config);
    record->add_option("SERIAL", a.serial);
    record->add_option("SECONDS", a.seconds);
    record->add_option("FILE", a.file);

    // A repeated option or flag counts once: the last one given wins.
    for (CLI::App* c : app.get_subcommands([](CLI::App*) { return true; })) {
        for (CLI::Option* o : c->get_options()) {
            if (o->nonpositional()) o->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        }
    }

    // The command that was given, once parsing has met it.
    auto given = [&app]() -> const CLI::App* {
        const auto parsed = app.get_subcommands();
        return parsed.empty() ? nullptr : parsed.front();
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        const CLI::App* c = given();
        printUsage(c != nullptr && c->get_help_ptr()->count() > 0 ? c->get_name() : "");
        return outputStatus();
    } catch (const CLI::ArgumentMismatch& e) {
        // "--from: 1 required TEXT missing", "--from: At Most 1 required but received 2"
        const std::string message = e.what();
        const std::string option = message.substr(0, message.find(':'));
        const CLI::App* c = given();
        return usageError(c != nullptr ? c->get_name() : "",
                          option + (message.find("At Most") != std::string::npos ? " is given more than once"
                                                                                 : " needs a value"));
    } catch (const CLI::ParseError& e) {
        const CLI::App* c = given();
        std::string message = e.what();
        if (c == nullptr) message = app.remaining_size() > 0 ? misuse(app, {}) : "no command given";
        // CLI11's messages are one sentence; the line stays one line whatever it holds.
        std::replace(message.begin(), message.end(), '\n', ' ');
        return usageError(c != nullptr ? c->get_name() : "", message);
    }
    if (const std::string wrong = misuse(app, {}); !wrong.empty()) {
        const CLI::App* c = given();
        return usageError(c != nullptr ? c->get_name() : "", wrong);
    }
    const CLI::App* c = given();
    if (c == nullptr) return usageError("", "no command given");
    try {
        return runCommand(*c, a);
    } catch (const std::bad_alloc&) {
        // Stats of a long recording in tiny bins, say.
        std::fflush(stdout);
        return fail("out of memory");
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::string message = e.what();
        std::replace(message.begin(), message.end(), '\n', ' ');
        return fail(message.empty() ? "unexpected error" : message);
    }
}
