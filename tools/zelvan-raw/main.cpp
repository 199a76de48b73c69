// zelvan-raw: scripted access to raw event recordings.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

const char* const kUsage = R"(Usage:
  zelvan-raw info FILE
      Prints "key: value" lines about a raw event file:
        file, format, width, height, serial_number (when the header has one),
        date (when the header has one), dvs_start_timestamp (when present),
        aps_start_timestamp (when present: a fusion recording, the event time of its video's start),
        payload_offset, payload_bytes, events, on_events, triggers,
        first_timestamp and last_timestamp (us, of CD events; absent when there are none);
        then, from the file reader's bookmark index (absent when the file has no events):
        start_timestamp, end_timestamp (us), max_events, bookmarks.
      Reading the file through the index writes the index file beside it (NAME.zvmark.tmp).
  zelvan-raw dump [--from US] [--to US] FILE
      Prints one line "x,y,p,t" per CD event in stream order (decimal, no spaces, no heading).
      With --from and/or --to, only the events with from <= t < to, found through the index.
  zelvan-raw dump --triggers FILE
      Prints one line "id,p,t" per trigger event in stream order.
  zelvan-raw generate OUT.raw [--seconds S] [--rate EV_PER_S] [--width W] [--height H] [--seed N]
      Writes a synthetic recording of a moving scene (defaults: 2 s, 1000000 ev/s, 1280 x 720).
  zelvan-raw cut FILE START_US END_US OUT.raw
      Cuts the events from START_US to END_US (us, stream time) out of FILE into a new raw file.
      The copy begins at the first word of the stream that reaches START_US and ends before the
      one that reaches END_US (or at the end of the data when END_US is the recording's end and
      START_US lies before it), so OUT.raw decodes to exactly those events of FILE; its header has
      "% dvs_start_timestamp START_US" and its payload begins with a TIME_HIGH and a TIME_LOW word
      of that time, so that readers which ignore the header see every event too (their times are
      START_US modulo 2^24 us on). A range that holds no data (START_US = END_US included) is
      refused. A progress line (loading FILE, then the cut) goes to stderr.
  zelvan-raw to-video FILE START_US END_US OUT.mp4
      Renders the events from START_US to END_US into an H.264 MP4 video: one 30 fps frame per
      33333 us period that holds events (periods without events add no frame), grey background,
      ON events white, OFF events black, at the sensor's size. A START_US before the recording's
      start is moved to it and the periods count from there; a range without any event of the
      recording is refused. A progress line (loading FILE, then the video) goes to stderr.
      A cut or video that cannot be written completely is removed; the reason is one line on stderr
      and the exit status is 1.
  zelvan-raw list
      Lists the cameras found (simulated ones on machines without camera hardware), one per line:
      "serial<TAB>product<TAB>manufacturer<TAB>USB|ETH<TAB>vid:pid<TAB>camera IP" (the IP only for Ethernet cameras).
  zelvan-raw record [--config CONFIG.json] SERIAL SECONDS FILE
      Opens the camera SERIAL ("-" for the first camera found), applies the camera configuration
      file CONFIG.json when given, streams the camera and records SECONDS seconds of its raw event
      stream into FILE; prints the number of events, the bytes written and the data lost on the
      way (device buffers the camera could not take, bytes the recorder dropped) on stderr. A
      recording that could not be written completely (a full disk, a missing folder) gives one line
      on stderr with the reason and exit status 1.
      On a fusion camera (product Tandra) FILE is the base name of the recording (a trailing ".raw"
      is dropped): both streams are recorded into FILE.raw (events, its header starting with
      "% aps_start_timestamp N", the event time of the first frame), FILE.mp4 (the frames, time 0
      at that first frame) and, when the camera's calibration can be read, FILE.json; stderr tells
      the events and frames recorded.
  zelvan-raw --help
      Prints this text.

The payload after the header is decoded as EVT 3.0. When the header has "% dvs_start_timestamp",
decoding starts from that time; otherwise events count from the first TIME_HIGH word. A header time
that disagrees with the stream (its first TIME_HIGH word is neither the header time's TIME_HIGH nor
the next one) is not used: decoding starts at the first TIME_HIGH word, keeping the header's count
of 2^24 us wrap-arounds, and a warning goes to stderr.
A file that is missing, unreadable or not an EVT 3.0 raw file, or output that cannot be written,
gives one line on stderr and exit status 1; wrong usage gives exit status 2.
)";

int usageError(const std::string& message) {
    std::fprintf(stderr, "zelvan-raw: %s (see zelvan-raw --help)\n", message.c_str());
    return 2;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "zelvan-raw: %s\n", message.c_str());
    return 1;
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
bool findStart(Payload& p, zelvan::PayloadStart& start, uint64_t& file_size) {
    p.in.seekg(0, std::ios::end);
    const auto end = p.in.tellg();
    if (end < 0) return false;
    file_size = static_cast<uint64_t>(end);
    if (!zelvan::findPayloadStart(p.in, p.header, file_size, start)) return false;
    if (start.header_time_ignored) {
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
// (a header time that disagrees with the stream is not used); returns false on a read error.
bool decodePayload(Payload& p, zelvan::Decoder& decoder, uint64_t& payload_bytes) {
    zelvan::PayloadStart start;
    uint64_t file_size = 0;
    if (!findStart(p, start, file_size)) return false;
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

int cmdInfo(const std::string& path) {
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
    std::printf("file: %s\n", path.c_str());
    std::printf("format: %s\n", p.header.formatText().c_str());
    std::printf("width: %u\n", info.width);
    std::printf("height: %u\n", info.height);
    if (!info.serial_number.empty()) std::printf("serial_number: %s\n", info.serial_number.c_str());
    for (const auto& [key, value] : p.header.lines) {
        if (key == "date" || key == "Date") {
            std::printf("date: %s\n", zelvan::timePointToString(info.date).c_str());
            break;
        }
    }
    if (p.header.has_dvs_start_timestamp) {
        std::printf("dvs_start_timestamp: %llu\n", static_cast<unsigned long long>(info.dvs_start_timestamp));
    }
    if (p.header.has_aps_start_timestamp) {
        std::printf("aps_start_timestamp: %llu\n", static_cast<unsigned long long>(info.aps_start_timestamp));
    }
    std::printf("payload_offset: %llu\n", static_cast<unsigned long long>(p.header.payload_offset));
    std::printf("payload_bytes: %llu\n", static_cast<unsigned long long>(payload_bytes));
    std::printf("events: %llu\n", static_cast<unsigned long long>(events));
    std::printf("on_events: %llu\n", static_cast<unsigned long long>(on_events));
    std::printf("triggers: %llu\n", static_cast<unsigned long long>(triggers));
    if (events > 0) {
        std::printf("first_timestamp: %llu\n", static_cast<unsigned long long>(first_t));
        std::printf("last_timestamp: %llu\n", static_cast<unsigned long long>(last_t));
    }
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
        std::printf("start_timestamp: %llu\n", static_cast<unsigned long long>(start));
        std::printf("end_timestamp: %llu\n", static_cast<unsigned long long>(end));
        std::printf("max_events: %llu\n", static_cast<unsigned long long>(max));
        std::printf("bookmarks: %llu\n", static_cast<unsigned long long>(reader.getAllBookmarks().size()));
    }
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

int cmdGenerate(int argc, char** argv) {
    std::string path;
    uint64_t seconds = 2, rate = 1'000'000, width = 1280, height = 720, seed = 1;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](uint64_t& v) {
            if (i + 1 >= argc || !parseNumber(argv[i + 1], v)) return false;
            ++i;
            return true;
        };
        if (a == "--seconds") {
            if (!value(seconds)) return usageError("--seconds needs a whole number");
        } else if (a == "--rate") {
            if (!value(rate)) return usageError("--rate needs a whole number");
        } else if (a == "--width") {
            if (!value(width) || width == 0 || width > 2048) return usageError("--width needs 1..2048");
        } else if (a == "--height") {
            if (!value(height) || height == 0 || height > 2048) return usageError("--height needs 1..2048");
        } else if (a == "--seed") {
            if (!value(seed)) return usageError("--seed needs a whole number");
        } else if (!a.empty() && a[0] == '-') {
            return usageError("unknown option " + a);
        } else if (path.empty()) {
            path = a;
        } else {
            return usageError("more than one output file given");
        }
    }
    if (path.empty()) return usageError("generate needs an output file");

    zelvan::DvsFileInfo info;
    info.width = static_cast<uint16_t>(width);
    info.height = static_cast<uint16_t>(height);
    info.serial_number = "SIM00000";
    info.date = std::chrono::system_clock::now();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return fail("cannot create \"" + path + "\": " + std::strerror(errno));
    const std::string header = zelvan::generateDvsFileHeader(info);
    out.write(header.data(), static_cast<std::streamsize>(header.size()));

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
    }
    out.flush();
    if (!out) return fail("cannot write \"" + path + "\"");
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

// Runs a cut or an export of [START_US, END_US] of FILE into OUT. A failure ends with one line on
// stderr that holds the reader's reason.
int cmdCutOrExport(bool to_video, char** args) {
    const std::string path = args[0];
    const std::string out = args[3];
    uint64_t start = 0, end = 0;
    if (!parseNumber(args[1], start) || !parseNumber(args[2], end))
        return usageError("START_US and END_US must be whole numbers of microseconds");
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
    // The line shows the loading of the recording (the building of its index) first, then the work.
    ProgressLine progress("loading");
    auto report = [&reader, &progress](const std::string& fallback) {
        return progress.fail(reasonOf(reader, fallback));
    };
    reader.setProgressCallback([&progress](uint64_t done, uint64_t total) {
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
    } catch (const std::exception& e) {
        // Failures come back as the result; only running out of memory throws.
        return progress.fail(e.what());
    }
    if (!ok) return report("cannot write \"" + out + "\"");
    progress.finish();
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
    return 0;
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

constexpr uint64_t kFirstFrameWaitSeconds = 5;

// Both streams of a fusion camera into BASE.raw, BASE.mp4 and (with a calibration) BASE.json.
int recordFusion(zelvan::DvsCameraManager& manager, const std::string& serial, uint64_t seconds,
                 const std::string& path, const std::string& config) {
    std::string base = path;
    if (base.size() > 4 && base.compare(base.size() - 4, 4, ".raw") == 0) base.resize(base.size() - 4);
    const std::filesystem::path base_path(base);
    const std::string folder = base_path.has_parent_path() ? base_path.parent_path().string() : ".";
    const std::string name = base_path.filename().string();
    if (name.empty()) return usageError("record needs a file name");

    auto camera = manager.openFusionCamera(serial);
    if (!camera || !camera->isConnected()) return fail("cannot open camera \"" + serial + "\"");
    if (!config.empty() && !camera->loadCameraConfigParams(config)) {
        return fail("cannot apply the configuration file \"" + config +
                    "\": " + zelvan::configErrorText(camera->lastConfigError()));
    }
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
    if (camera->startRecording(folder, name, zelvan::DVS_AND_APS) != 0) {
        camera->stop(zelvan::DVS_AND_APS);
        return fail("cannot record into \"" + base + ".raw\" and \"" + base + ".mp4\"");
    }
    recordFor(seconds, [&] { return !camera->isConnected(); });
    const bool lost = !camera->isConnected();
    const bool complete = camera->stopRecording(zelvan::DVS_AND_APS) == 0;
    camera->stop(zelvan::DVS_AND_APS);
    if (!complete)
        return fail("recording \"" + base + "\" is incomplete: data were lost on the way to the files");
    if (lost) return fail("camera \"" + serial + "\" went away during the recording");
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
    return 0;
}

int cmdRecord(const std::string& serial_arg, const std::string& seconds_text, const std::string& path,
              const std::string& config) {
    uint64_t seconds = 0;
    if (!parseNumber(seconds_text.c_str(), seconds) || seconds == 0 || seconds > 24 * 3600) {
        return usageError("record needs a whole number of seconds from 1 to 86400");
    }
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
    if (!config.empty() && !camera->loadCameraConfigParams(config)) {
        return fail("cannot apply the configuration file \"" + config +
                    "\": " + zelvan::configErrorText(camera->lastConfigError()));
    }

    std::atomic<uint64_t> events{0};
    camera->addEventsStreamHandleCallback([&](zelvan::Event2D* first, zelvan::Event2D* last) {
        events.fetch_add(static_cast<uint64_t>(last - first), std::memory_order_relaxed);
    });
    if (camera->startRecording(path) != 0) {
        return fail("cannot record into \"" + path + "\": " + recordingFailure(*camera));
    }
    if (camera->start() != 0) {
        camera->stopRecording();
        return fail("cannot start camera \"" + serial + "\"");
    }
    // Record for the requested time, or until the camera goes away.
    recordFor(seconds, [&] { return !camera->isConnected() || camera->getRecordingStatus().failed; });
    const bool lost = !camera->isConnected();
    camera->stop();  // first, so that the file holds every event counted here
    const bool complete = camera->stopRecording() == 0;
    const zelvan::ZvRecordingStatus status = camera->getRecordingStatus();
    if (!complete) {
        return fail("recording \"" + path + "\" is incomplete: " + recordingFailure(*camera) + ", " +
                    std::to_string(status.bytesWritten) + " bytes written");
    }
    if (lost) return fail("camera \"" + serial + "\" went away during the recording");
    const zelvan::ZvStreamCounters losses = camera->getStreamCounters();
    std::fprintf(stderr, "zelvan-raw: recorded %llu events from %s into %s\n",
                 static_cast<unsigned long long>(events.load()), serial.c_str(), path.c_str());
    std::fprintf(
        stderr,
        "zelvan-raw: %llu bytes written; lost on the way: %llu device buffers, %llu bytes in the recorder\n",
        static_cast<unsigned long long>(status.bytesWritten),
        static_cast<unsigned long long>(losses.lostBuffers),
        static_cast<unsigned long long>(losses.recorderDroppedBytes));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // The tool reports its own errors; the library's progress lines would only add noise.
    zelvan::Logger::Instance().setLevel(zelvan::LOG_ERROR + 1);
    if (argc < 2) return usageError("no command given");
    const std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (cmd == "info") {
        if (argc != 3) return usageError("info needs exactly one file");
        return cmdInfo(argv[2]);
    }
    if (cmd == "dump") {
        if (argc == 3) return cmdDump(argv[2], false);
        if (argc == 4 && std::string(argv[2]) == "--triggers") return cmdDump(argv[3], true);
        uint64_t from = 0, to = UINT64_MAX;
        bool ranged = false;
        int i = 2;
        for (; i + 1 < argc; i += 2) {
            const std::string a = argv[i];
            if (a != "--from" && a != "--to") break;
            if (!parseNumber(argv[i + 1], a == "--from" ? from : to))
                return usageError(a + " needs a whole number of microseconds");
            ranged = true;
        }
        if (!ranged || i != argc - 1)
            return usageError("dump needs [--triggers] FILE or [--from US] [--to US] FILE");
        return cmdDumpRange(argv[i], from, to);
    }
    if (cmd == "generate") return cmdGenerate(argc, argv);
    if (cmd == "cut" || cmd == "to-video") {
        if (argc != 6) return usageError(cmd + " needs FILE START_US END_US OUT");
        return cmdCutOrExport(cmd == "to-video", argv + 2);
    }
    if (cmd == "list") {
        if (argc != 2) return usageError("list takes no arguments");
        return cmdList();
    }
    if (cmd == "record") {
        if (argc == 7 && std::string(argv[2]) == "--config")
            return cmdRecord(argv[4], argv[5], argv[6], argv[3]);
        if (argc != 5) return usageError("record needs [--config CONFIG.json] SERIAL SECONDS FILE");
        return cmdRecord(argv[2], argv[3], argv[4], "");
    }
    return usageError("unknown command \"" + cmd + "\"");
}
