// Cutting recordings into new raw files and exporting them to video, checked by decoding the
// results: a cut decodes to exactly the events of its range, a video shows them.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>

#include "IndexCheck.h"
#include "ProgressRecord.h"
#include "TestRecordings.h"
#include "VideoKeyFrames.h"
#include "VideoTestUtil.h"
#include "testing/ReferenceEvt3Decoder.h"
#include "zelvan/ApsFileReader.h"
#include "zelvan/EVT3Encoder.h"
#include "zelvan/FileHeader.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileReader.h"
#include "zelvan/SyntheticScene.h"

namespace fs = std::filesystem;
using namespace zelvan;
using zelvan::testing::grey;
using zelvan::testing::ProgressRecord;
using zelvan::testing::readBytes;
using zelvan::testing::TempDir;
using zelvan::testing::writeBytes;

namespace {

std::string headerFor(uint16_t width, uint16_t height, uint64_t t0, bool with_base) {
    if (!with_base) {
        return "% evt 3.0\n% format EVT3;height=" + std::to_string(height) +
               ";width=" + std::to_string(width) + "\n% end\n";
    }
    DvsFileInfo info;
    info.width = width;
    info.height = height;
    info.dvs_start_timestamp = t0;
    info.serial_number = "CUT-TEST";
    return generateDvsFileHeader(info);
}

// A synthetic recording of [t0, t0 + duration) us, cut into slices that each start with a time word.
void writeSynthetic(const std::string& path, uint64_t t0, uint64_t duration, uint64_t rate, bool with_base,
                    uint64_t seed = 1) {
    const std::string header = headerFor(1280, 720, t0, with_base);
    std::vector<uint8_t> bytes(header.begin(), header.end());
    SyntheticScene scene(1280, 720, rate, seed);
    EVT3Encoder encoder(1280);
    std::vector<Event2D> events;
    for (uint64_t t = t0; t < t0 + duration; t += 5000) {
        events.clear();
        scene.generate(t, t + 5000, events);
        encoder.advanceTime(t, bytes);
        encoder.encode(events.data(), events.data() + events.size(), bytes);
    }
    writeBytes(path, bytes);
}

// A recording of exactly these (time-ordered) events.
void writeEvents(const std::string& path, uint16_t width, uint16_t height, const std::vector<Event2D>& events,
                 uint64_t t0 = 0) {
    const std::string header = headerFor(width, height, t0, true);
    std::vector<uint8_t> bytes(header.begin(), header.end());
    EVT3Encoder encoder(width);
    encoder.advanceTime(t0, bytes);
    encoder.encode(events.data(), events.data() + events.size(), bytes);
    writeBytes(path, bytes);
}

std::vector<Event2D> decodeWhole(const std::string& path) {
    RawFileHeader header;
    std::string error;
    std::vector<Event2D> out;
    if (!readRawFileHeader(path, header, error)) return out;
    const auto bytes = readBytes(path);
    EVT3Decoder decoder(header.info.width, header.info.height);
    decoder.setEventsStreamHandleCallback([&](Event2D* b, Event2D* e) { out.insert(out.end(), b, e); });
    if (header.has_dvs_start_timestamp) decoder.setTimeBase(header.info.dvs_start_timestamp);
    decoder.decode(bytes.data() + header.payload_offset, bytes.data() + bytes.size());
    return out;
}

std::unique_ptr<RawFileReader> open(const std::string& path) {
    auto reader = std::make_unique<RawFileReader>(path);
    if (!reader->loadFile()) return nullptr;
    return reader;
}

// A reader that ignores the header and drops every word before the first TIME_HIGH, as other tools
// read raw files, sees every event of a cut, on the cut's start time modulo 2^24 us.
void checkPlainReaderSeesTheCut(const std::string& path, const std::vector<Event2D>& expected) {
    RawFileHeader header;
    std::string error;
    ASSERT_TRUE(readRawFileHeader(path, header, error)) << error;
    const auto bytes = readBytes(path);
    ASSERT_GE(bytes.size(), header.payload_offset + 4);
    // The payload begins with the TIME_HIGH and the TIME_LOW word of the header's time.
    const uint8_t* payload = bytes.data() + header.payload_offset;
    const uint64_t t = header.info.dvs_start_timestamp;
    EXPECT_EQ(uint32_t(payload[0]) | uint32_t(payload[1]) << 8, 0x8000u | ((t >> 12) & 0xFFF));
    EXPECT_EQ(uint32_t(payload[2]) | uint32_t(payload[3]) << 8, 0x6000u | (t & 0xFFF));
    std::vector<Event2D> seen;
    zelvan::testing::ReferenceEvt3Decoder plain;
    plain.on_events = [&seen](Event2D* b, Event2D* e) { seen.insert(seen.end(), b, e); };
    plain.decode(payload, bytes.data() + bytes.size());
    ASSERT_EQ(seen.size(), expected.size());
    const uint64_t epoch = (t >> 24) << 24;
    for (size_t i = 0; i < seen.size(); ++i) {
        Event2D e = seen[i];
        e.timestamp += epoch;
        ASSERT_EQ(e, expected[i]) << "event " << i;
    }
}

// Cuts [a, b] out of the recording at `path` and checks that the new file decodes, on its own and
// through the reader, to exactly the events the recording decodes to between the two seek points.
void checkCut(RawFileReader& reader, const std::vector<Event2D>& whole, uint64_t a, uint64_t b,
              const std::string& out_path) {
    SCOPED_TRACE("cut [" + std::to_string(a) + ", " + std::to_string(b) + "]");
    ASSERT_TRUE(reader.seekTime(a));
    const uint64_t first = reader.getCurrentPosEventNum();
    ASSERT_TRUE(reader.seekTime(b));
    uint64_t end = 0;
    reader.getEndTimeStamp(end);
    // A cut to the end timestamp holds the rest of the recording.
    const uint64_t last = b == end ? whole.size() : reader.getCurrentPosEventNum();
    ASSERT_LE(first, last);
    ASSERT_LE(last, whole.size());
    const bool cut = reader.extractEventData(a, b, out_path);
    if (a == b) {
        // A time to itself holds no data, the end timestamp included.
        EXPECT_FALSE(cut);
        return;
    }
    if (first == last) {
        // Possible only for a range without events; the file then may or may not exist.
        if (!cut) return;
    }
    ASSERT_TRUE(cut);
    EXPECT_EQ(reader.lastError(), ReaderError::None);
    const std::vector<Event2D> expected(whole.begin() + std::ptrdiff_t(first),
                                        whole.begin() + std::ptrdiff_t(last));
    const auto decoded = decodeWhole(out_path);
    ASSERT_EQ(decoded.size(), expected.size());
    EXPECT_TRUE(decoded == expected);
    checkPlainReaderSeesTheCut(out_path, expected);
    // The cut carries its own index, the one a reader builds for it (an index of an earlier cut of
    // that name is gone).
    if (!expected.empty()) zelvan::indexcheck::expectIndexAsReaderBuildsIt(out_path, 1);

    fs::remove(RawFileReader::bookmarkPathFor(out_path));
    auto again = open(out_path);
    if (expected.empty()) return;
    ASSERT_NE(again, nullptr);
    uint64_t max = 0;
    again->getMaxEvents(max);
    ASSERT_EQ(max, expected.size());
    const auto read = again->getNEvents(max);
    EXPECT_TRUE(*read == expected);
}

// ---- cut ----

TEST(ExtractEventData, EdgeCasesReportAndWriteNothing) {
    TempDir dir;
    writeSynthetic(dir / "rec.raw", 1000, 200'000, 3'000'000, true);
    ScopedLogCapture log;
    auto reader = open(dir / "rec.raw");
    ASSERT_NE(reader, nullptr);
    uint64_t start = 0, end = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    const auto& marks = reader->getAllBookmarks();
    ASSERT_GT(marks.size(), 3u);
    const uint64_t key = std::next(marks.begin(), 2)->first;

    log.clear();
    EXPECT_FALSE(reader->extractEventData(key, key, dir / "same.raw"));
    EXPECT_TRUE(log.contains(LOG_ERROR, "There is no data in the interval."));
    EXPECT_TRUE(log.contains(
        LOG_INFO, "extract event start time: " + std::to_string(key) + ", end time: " + std::to_string(key)));
    EXPECT_FALSE(fs::exists(dir / "same.raw"));

    // The end timestamp to itself is as empty as any other time to itself, and so is the start.
    for (const uint64_t t : {end, start}) {
        log.clear();
        EXPECT_FALSE(reader->extractEventData(t, t, dir / "same.raw")) << t;
        EXPECT_TRUE(log.contains(LOG_ERROR, "There is no data in the interval.")) << t;
        EXPECT_FALSE(fs::exists(dir / "same.raw")) << t;
    }

    {
        // A stretch of the recording without events holds time words only: no reader would open a cut
        // of it.
        std::vector<Event2D> events;
        for (uint64_t t = 100'000; t < 1'000'000; t += 1000) events.emplace_back(5, 5, 1, t);
        for (uint64_t t = 5'000'000; t < 5'500'000; t += 1000) events.emplace_back(6, 6, 0, t);
        writeEvents(dir / "gap.raw", 640, 480, events, 0);
        auto gap = open(dir / "gap.raw");
        ASSERT_NE(gap, nullptr);
        log.clear();
        EXPECT_FALSE(gap->extractEventData(2'000'000, 3'000'000, dir / "silent.raw"));
        EXPECT_EQ(gap->lastError(), ReaderError::EmptyRange);
        EXPECT_TRUE(log.contains(LOG_ERROR, "There is no data in the interval."));
        EXPECT_FALSE(fs::exists(dir / "silent.raw"));
        EXPECT_FALSE(fs::exists(RawFileReader::bookmarkPathFor(dir / "silent.raw")));
        // The refusal comes before the output is touched: an earlier file of the cut's name, with its
        // index, stays as it was.
        fs::copy_file(dir / "gap.raw", dir / "kept.raw");
        ASSERT_NE(open(dir / "kept.raw"), nullptr);
        const auto kept = readBytes(dir / "kept.raw");
        const auto kept_index = readBytes(RawFileReader::bookmarkPathFor(dir / "kept.raw"));
        ASSERT_FALSE(kept_index.empty());
        EXPECT_FALSE(gap->extractEventData(2'000'000, 3'000'000, dir / "kept.raw"));
        EXPECT_EQ(gap->lastError(), ReaderError::EmptyRange);
        EXPECT_TRUE(readBytes(dir / "kept.raw") == kept);
        EXPECT_TRUE(readBytes(RawFileReader::bookmarkPathFor(dir / "kept.raw")) == kept_index);
        // One event is enough.
        EXPECT_TRUE(gap->extractEventData(2'000'000, 5'000'001, dir / "one.raw")) << gap->lastErrorMessage();
        auto one = open(dir / "one.raw");
        ASSERT_NE(one, nullptr);
        uint64_t n = 0;
        one->getMaxEvents(n);
        EXPECT_EQ(n, 1u);
    }

    log.clear();
    EXPECT_FALSE(reader->extractEventData(start + 90'000, start + 10'000, dir / "reversed.raw"));
    EXPECT_TRUE(log.contains(LOG_ERROR, "Start time must be less than or equal to end time."));
    EXPECT_FALSE(fs::exists(dir / "reversed.raw"));

    log.clear();
    EXPECT_FALSE(reader->extractEventData(start, end + 1, dir / "beyond.raw"));
    EXPECT_TRUE(log.contains(LOG_ERROR, "No end timestamp found."));
    EXPECT_FALSE(fs::exists(dir / "beyond.raw"));

    log.clear();
    EXPECT_FALSE(reader->extractEventData(start - 1, end, dir / "before.raw"));
    EXPECT_TRUE(log.contains(LOG_ERROR, "No start timestamp found."));

    log.clear();
    const std::string bad = dir / "no-such-dir/out.raw";
    EXPECT_FALSE(reader->extractEventData(start, end, bad));
    EXPECT_TRUE(log.contains(LOG_ERROR, "Failed to open output file: " + bad + "."));

    // Writing over the recording itself would destroy what is being read.
    const auto size = fs::file_size(dir / "rec.raw");
    log.clear();
    EXPECT_FALSE(reader->extractEventData(start, end, dir / "rec.raw"));
    EXPECT_FALSE(reader->exportEventDataToVideo(start, end, dir / "./rec.raw"));
    EXPECT_EQ(log.count(LOG_ERROR, "The output file is the recording itself: " + (dir / "rec.raw") + "."),
              1u);
    EXPECT_EQ(fs::file_size(dir / "rec.raw"), size);

    // The reader stays usable: the whole recording is cut and the copy is complete.
    EXPECT_TRUE(reader->extractEventData(start, end, dir / "all.raw"));
    EXPECT_TRUE(decodeWhole(dir / "all.raw") == decodeWhole(dir / "rec.raw"));
}

TEST(ExtractEventData, FailuresNameTheirReason) {
    TempDir dir;
    writeSynthetic(dir / "rec.raw", 1000, 200'000, 1'000'000, true);
    ScopedLogCapture log;
    auto reader = open(dir / "rec.raw");
    ASSERT_NE(reader, nullptr);
    uint64_t start = 0, end = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    struct Case {
        const char* what;
        uint64_t from, to;
        std::string out;
        ReaderError reason;
        std::string message;
    };
    const std::string missing_dir = dir / "no-such-dir/out.raw";
    writeBytes(dir / "plain-file", {1, 2, 3});
    const std::string under_a_file = dir / "plain-file/out.raw";
    fs::create_directory(dir / "a-folder.raw");
    const std::string folder = dir / "a-folder.raw";
    const Case cases[] = {
        {"reversed", start + 90'000, start + 10'000, dir / "x.raw", ReaderError::InvalidRange,
         "Start time must be less than or equal to end time."},
        {"end beyond", start, end + 1, dir / "x.raw", ReaderError::OutOfRange, "No end timestamp found."},
        {"start before", start - 1, end, dir / "x.raw", ReaderError::OutOfRange, "No start timestamp found."},
        {"empty", start + 5000, start + 5000, dir / "x.raw", ReaderError::EmptyRange,
         "There is no data in the interval."},
        {"missing folder", start, end, missing_dir, ReaderError::CannotCreateOutput,
         "Failed to open output file: " + missing_dir + "."},
        {"folder that is a file", start, end, under_a_file, ReaderError::CannotCreateOutput,
         "Failed to open output file: " + under_a_file + "."},
        {"output is a folder", start, end, folder, ReaderError::CannotCreateOutput,
         "Failed to open output file: " + folder + "."},
        {"the recording itself", start, end, dir / "rec.raw", ReaderError::OutputIsRecording,
         "The output file is the recording itself: " + (dir / "rec.raw") + "."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log.clear();
        EXPECT_FALSE(reader->extractEventData(c.from, c.to, c.out));
        EXPECT_EQ(reader->lastError(), c.reason);
        EXPECT_EQ(reader->lastErrorMessage(), c.message);
        EXPECT_TRUE(log.contains(LOG_ERROR, c.message));
    }
    EXPECT_FALSE(fs::exists(dir / "x.raw"));
    EXPECT_TRUE(fs::is_directory(folder));
    // A cut that succeeds leaves no reason behind.
    EXPECT_TRUE(reader->extractEventData(start, end, dir / "all.raw"));
    EXPECT_EQ(reader->lastError(), ReaderError::None);
    EXPECT_EQ(reader->lastErrorMessage(), "");
}

TEST(ExtractEventData, HeaderCarriesTheStartAndTheRecordingsDescription) {
    TempDir dir;
    writeSynthetic(dir / "rec.raw", 5000, 100'000, 500'000, true);
    auto reader = open(dir / "rec.raw");
    ASSERT_NE(reader, nullptr);
    std::vector<uint64_t> progress;
    uint64_t copied = 0;
    reader->setProgressCallback([&](uint64_t done, uint64_t total) {
        EXPECT_LE(done, total);
        progress.push_back(done);
        copied = total;
        return true;
    });
    ASSERT_TRUE(reader->extractEventData(30'017, 71'003, dir / "cut.raw"));
    ASSERT_FALSE(progress.empty());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));

    RawFileHeader header;
    std::string error;
    ASSERT_TRUE(readRawFileHeader(dir / "cut.raw", header, error)) << error;
    EXPECT_TRUE(header.has_dvs_start_timestamp);
    EXPECT_EQ(header.info.dvs_start_timestamp, 30'017u);
    EXPECT_EQ(header.info.serial_number, "CUT-TEST");
    EXPECT_EQ(header.info.width, 1280);
    EXPECT_EQ(header.info.height, 720);
    // A time-ordered recording cut at two times holds exactly the events between them.
    const auto events = decodeWhole(dir / "cut.raw");
    ASSERT_FALSE(events.empty());
    for (const Event2D& e : events) {
        ASSERT_GE(e.timestamp, 30'017u);
        ASSERT_LT(e.timestamp, 71'003u);
    }
    const auto whole = decodeWhole(dir / "rec.raw");
    EXPECT_EQ(
        size_t(std::count_if(whole.begin(), whole.end(),
                             [](const Event2D& e) { return e.timestamp >= 30'017 && e.timestamp < 71'003; })),
        events.size());
    EXPECT_EQ(progress.back(), copied);
    // The payload is the copied bytes, after the time words and at most a few words that restore
    // the row and base.
    const uint64_t payload = fs::file_size(dir / "cut.raw") - header.payload_offset;
    EXPECT_GE(payload, copied + 4);
    EXPECT_LE(payload, copied + 12);
}

TEST(ExtractEventData, CutsDecodeExactlyToTheirRange) {
    TempDir dir;
    std::mt19937_64 rng(11);
    struct Case {
        const char* name;
        uint64_t t0, duration, rate;
        bool base;
    };
    // Across a 24-bit wrap-around, without a time base, and dense (a bookmark every read chunk).
    for (const Case& c : {Case{"wrap.raw", (uint64_t(1) << 24) - 300'000, 900'000, 300'000, true},
                          Case{"fresh.raw", 2'000'000, 400'000, 400'000, false},
                          Case{"dense.raw", 77, 150'000, 20'000'000, true}}) {
        SCOPED_TRACE(c.name);
        writeSynthetic(dir / c.name, c.t0, c.duration, c.rate, c.base, rng());
        const auto whole = decodeWhole(dir / c.name);
        auto reader = open(dir / c.name);
        ASSERT_NE(reader, nullptr);
        uint64_t start = 0, end = 0;
        reader->getStartTimeStamp(start);
        reader->getEndTimeStamp(end);
        checkCut(*reader, whole, start, end, dir / "cut.raw");
        const uint64_t key = std::next(reader->getAllBookmarks().begin(), 3)->first;
        checkCut(*reader, whole, key, end, dir / "cut.raw");
        checkCut(*reader, whole, start, key, dir / "cut.raw");
        for (int i = 0; i < 12; ++i) {
            uint64_t a = start + rng() % (end - start + 1);
            uint64_t b = start + rng() % (end - start + 1);
            if (a > b) std::swap(a, b);
            checkCut(*reader, whole, a, b, dir / "cut.raw");
        }
    }
}

// Real recordings carry vector words, monitoring words and time steps that synthetic ones do not:
// cuts that begin inside vector groups and after sparse rows must still resume exactly.
TEST(ExtractEventData, RealRecordingsCutExactly) {
    const auto recordings = testdata::evt3Recordings();
    if (recordings.empty()) GTEST_SKIP() << "no test data folder at " << ZELVAN_TESTDATA_DIR;
    TempDir dir;
    std::mt19937_64 rng(5);
    int checked = 0;
    ScopedLogCapture quiet(LOG_ERROR);
    for (const auto& recording : recordings) {
        SCOPED_TRACE(recording.filename().string());
        const std::string copy = testdata::copyInto(dir, recording);
        const auto whole = decodeWhole(copy);
        auto reader = open(copy);
        ASSERT_NE(reader, nullptr);
        uint64_t start = 0, end = 0;
        reader->getStartTimeStamp(start);
        reader->getEndTimeStamp(end);
        checkCut(*reader, whole, start, end, dir / "cut.raw");
        // The events at the end timestamp follow the word that reaches it: the end to itself still
        // holds nothing and writes nothing.
        EXPECT_FALSE(reader->extractEventData(end, end, dir / "none.raw"));
        EXPECT_FALSE(fs::exists(dir / "none.raw"));
        for (int i = 0; i < 25; ++i) {
            uint64_t a = start + rng() % (end - start + 1);
            uint64_t b = start + rng() % (end - start + 1);
            if (a > b) std::swap(a, b);
            checkCut(*reader, whole, a, b, dir / "cut.raw");
        }
        ++checked;
    }
    EXPECT_GE(checked, 5);
}

TEST(ExtractEventData, ACancelledCutIsRemovedAndTheReaderGoesOn) {
    TempDir dir;
    writeSynthetic(dir / "rec.raw", 0, 2'000'000, 1'000'000, true);
    ASSERT_GT(fs::file_size(dir / "rec.raw"), 3 * RawFileReader::kCopyPieceBytes);
    auto reader = open(dir / "rec.raw");
    ASSERT_NE(reader, nullptr);
    uint64_t start = 0, end = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    const std::string out = dir / "cut.raw";
    const std::string message = "The cut was cancelled: the progress callback asked to stop (" + out + ").";
    ScopedLogCapture log;
    ProgressRecord progress;
    reader->setProgressCallback(progress.callback());

    // Stopped after the second piece, and at the last one (everything copied, nothing kept).
    for (const bool at_end : {false, true}) {
        SCOPED_TRACE(at_end ? "at the end" : "after the second piece");
        progress.reset(at_end ? std::numeric_limits<size_t>::max() : 2);
        progress.stop_at_end = at_end;
        log.clear();
        EXPECT_FALSE(reader->extractEventData(start, end, out));
        EXPECT_EQ(reader->lastError(), ReaderError::Cancelled);
        EXPECT_EQ(reader->lastErrorMessage(), message);
        EXPECT_TRUE(log.contains(LOG_INFO, message));
        EXPECT_FALSE(log.containsSubstring(LOG_ERROR, ""));
        EXPECT_FALSE(fs::exists(out));
        ASSERT_FALSE(progress.calls.empty());
        if (at_end) {
            EXPECT_EQ(progress.calls.back().done, progress.calls.back().total);
        } else {
            ASSERT_EQ(progress.calls.size(), 2u);
            EXPECT_LT(progress.calls.back().done, progress.calls.back().total);
        }
    }

    // The reader goes on: the same cut, not stopped, is complete.
    progress.reset();
    ASSERT_TRUE(reader->extractEventData(start, end, out));
    EXPECT_EQ(reader->lastError(), ReaderError::None);
    ASSERT_GE(progress.calls.size(), 3u);
    EXPECT_EQ(progress.calls.back().done, progress.calls.back().total);
    EXPECT_EQ(decodeWhole(out).size(), decodeWhole(dir / "rec.raw").size());
}

// An index beside the cut's name, left by an earlier file, never stands beside the cut: it goes before
// the cut is written, also when the cut's own index then cannot be written (the cut succeeds and says
// so). One that cannot be removed refuses the cut and leaves the file of that name as it was.
// A cut and a video onto an earlier file whose name is as long as names go replace it; the cut has no
// index then (its name would be longer still) and says so, and succeeds.
TEST(ExtractEventData, ReplacesFilesWithTheLongestNames) {
    TempDir dir;
    writeSynthetic(dir / "rec.raw", 0, 600'000, 1'000'000, true);
    auto reader = open(dir / "rec.raw");
    ASSERT_NE(reader, nullptr);
    uint64_t start = 0, end = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    const long longest = ::pathconf((dir / ".").c_str(), _PC_NAME_MAX);
    ASSERT_GT(longest, 40);
    for (const bool video : {false, true}) {
        const std::string out = dir / std::string(static_cast<size_t>(longest), video ? 'v' : 'c');
        std::ofstream(out) << "earlier";
        const bool ok = video ? reader->exportEventDataToVideo(start, end, out)
                              : reader->extractEventData(start, start + (end - start) / 2, out);
        EXPECT_TRUE(ok) << reader->lastErrorMessage();
        EXPECT_GT(fs::file_size(out), 1000u) << "video " << video;
        if (!video) {
            EXPECT_EQ(reader->lastError(), ReaderError::CannotWriteIndex) << reader->lastErrorMessage();
            auto cut = open(out);
            ASSERT_NE(cut, nullptr);
        }
    }
}

TEST(ExtractEventData, AnIndexLeftUnderTheCutsNameIsNeverTakenForItsOwn) {
    TempDir dir;
    writeSynthetic(dir / "rec.raw", 0, 600'000, 1'000'000, true);
    auto reader = open(dir / "rec.raw");
    ASSERT_NE(reader, nullptr);
    uint64_t start = 0, end = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    // A name that leaves room for the cut's own temporary name and for its index's name, but not for
    // the index's temporary name: the index of a cut under it cannot be written.
    std::string out = dir / (std::string(235, 'c') + ".raw");
    fs::path side = RawFileReader::bookmarkPathFor(out);
    ScopedLogCapture log;

    // The earlier cut, of the first half, with its index (written under a shorter name).
    ASSERT_TRUE(reader->extractEventData(start, start + (end - start) / 2, dir / "cut.raw"));
    fs::rename(dir / "cut.raw", out);
    fs::rename(RawFileReader::bookmarkPathFor(dir / "cut.raw"), side);
    const auto earlier_index = readBytes(side);

    // The new cut's index cannot be written.
    ASSERT_TRUE(reader->extractEventData(start + (end - start) / 4, end, out));
    EXPECT_EQ(reader->lastError(), ReaderError::CannotWriteIndex);
    EXPECT_NE(reader->lastErrorMessage().find("the cut " + out + " is complete without it"),
              std::string::npos)
        << reader->lastErrorMessage();
    EXPECT_FALSE(fs::exists(side));
    EXPECT_TRUE(indexcheck::temporariesOf(side).empty());
    out = dir / "cut.raw";
    side = RawFileReader::bookmarkPathFor(out);
    fs::rename(dir / (std::string(235, 'c') + ".raw"), out);
    {
        // Opened, the cut is read whole through the index its reader builds.
        const auto events = decodeWhole(out);
        auto again = open(out);
        ASSERT_NE(again, nullptr);
        uint64_t max = 0;
        again->getMaxEvents(max);
        ASSERT_EQ(max, events.size());
        EXPECT_TRUE(*again->getNEvents(max) == events);
        EXPECT_NE(readBytes(side), earlier_index);
    }

    // A cut under a name whose index name is the recording's own ("rec" and "rec.raw" share
    // "rec.zvmark.tmp") goes without an index and leaves the recording's alone.
    const fs::path own_index = RawFileReader::bookmarkPathFor(dir / "rec.raw");
    ASSERT_TRUE(fs::exists(own_index));
    const auto own_index_bytes = readBytes(own_index);
    ASSERT_TRUE(reader->extractEventData(start, end, dir / "rec"));
    EXPECT_EQ(reader->lastError(), ReaderError::None);
    EXPECT_TRUE(readBytes(own_index) == own_index_bytes);
    // Nor does an index go beside a device.
    ASSERT_TRUE(reader->extractEventData(start, end, "/dev/null"));
    EXPECT_EQ(reader->lastError(), ReaderError::None);
    EXPECT_FALSE(fs::exists("/dev/null.zvmark.tmp"));

    // A side file that cannot be removed (a folder that holds something) refuses the cut.
    const auto cut_bytes = readBytes(out);
    fs::remove(side);
    fs::create_directories(side / "x");
    EXPECT_FALSE(reader->extractEventData(start, end, out));
    EXPECT_EQ(reader->lastError(), ReaderError::CannotCreateOutput);
    EXPECT_TRUE(readBytes(out) == cut_bytes);
}

// ---- export ----

std::unique_ptr<ApsFileReader> loadVideo(const std::string& path) {
    auto r = ApsFileReader::createFileReader(path);
    if (!r || !r->loadFile()) return nullptr;
    return r;
}

TEST(ExportEventDataToVideo, OneSecondGives31Frames) {
    TempDir dir;
    writeSynthetic(dir / "rec.raw", 0, 1'300'000, 300'000, true);
    auto reader = open(dir / "rec.raw");
    ASSERT_NE(reader, nullptr);
    ScopedLogCapture log;
    uint64_t last_done = 0, calls = 0;
    reader->setProgressCallback([&](uint64_t done, uint64_t total) {
        EXPECT_EQ(total, 1'000'000u);
        EXPECT_GE(done, last_done);
        last_done = done;
        ++calls;
        return true;
    });
    ASSERT_TRUE(reader->exportEventDataToVideo(100'000, 1'100'000, dir / "one.mp4"));
    EXPECT_TRUE(log.contains(LOG_INFO, "Exporting event data to video..."));
    EXPECT_EQ(last_done, 1'000'000u);
    EXPECT_GE(calls, 31u);
    auto video = loadVideo(dir / "one.mp4");
    ASSERT_NE(video, nullptr);
    std::vector<uint64_t> ts;
    video->getTimeStamps(ts);
    ASSERT_EQ(ts.size(), 31u);
    for (size_t i = 0; i < ts.size(); ++i) EXPECT_EQ(ts[i], 33'333u * i);
    EXPECT_EQ(video->getWidth(), 1280);
    EXPECT_EQ(video->getHeight(), 720);
}

TEST(ExportEventDataToVideo, EveryFrameIsAKeyFrame) {
    TempDir dir;
    writeSynthetic(dir / "rec.raw", 0, 1'300'000, 1'000'000, true);
    auto reader = open(dir / "rec.raw");
    ASSERT_NE(reader, nullptr);
    ASSERT_TRUE(reader->exportEventDataToVideo(0, 1'000'000, dir / "keys.mp4"));
    // Any frame decodes on its own: a player seeks to it at once.
    EXPECT_EQ(zelvan::testing::keyFrames(dir / "keys.mp4"), std::vector<bool>(31, true));
}

TEST(ExportEventDataToVideo, ProgressOfARangeBeyondTheRecordingCountsToTheRecordingsEnd) {
    TempDir dir;
    writeSynthetic(dir / "rec.raw", 0, 1'300'000, 300'000, true);
    auto reader = open(dir / "rec.raw");
    ASSERT_NE(reader, nullptr);
    uint64_t end = 0;
    ASSERT_TRUE(reader->getEndTimeStamp(end));
    ProgressRecord progress;
    reader->setProgressCallback(progress.callback());
    // Far beyond the end: the percentages still climb steadily instead of jumping from 0 to 100.
    ASSERT_TRUE(reader->exportEventDataToVideo(100'000, std::numeric_limits<uint64_t>::max(), dir / "v.mp4"));
    ASSERT_GE(progress.calls.size(), 3u);
    EXPECT_EQ(progress.calls.back().total, end + 1 - 100'000);
    EXPECT_EQ(progress.calls.back().done, progress.calls.back().total);
    const auto& before_last = progress.calls[progress.calls.size() - 2];
    EXPECT_GE(DvsFileReader::progressPercent(before_last.done, before_last.total), 90);
}

TEST(ReaderProgress, PercentagesNeverOverflow) {
    EXPECT_EQ(DvsFileReader::progressPercent(0, 0), 100);
    EXPECT_EQ(DvsFileReader::progressPercent(5, 0), 100);
    EXPECT_EQ(DvsFileReader::progressPercent(1, 3), 33);
    EXPECT_EQ(DvsFileReader::progressPercent(7, 5), 100);
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(DvsFileReader::progressPercent(kMax / 2, kMax), 49);
    EXPECT_EQ(DvsFileReader::progressPercent(kMax - 1, kMax), 99);
}

TEST(ExportEventDataToVideo, ACancelledExportIsRemovedAndTheReaderGoesOn) {
    TempDir dir;
    writeSynthetic(dir / "rec.raw", 0, 1'300'000, 300'000, true);
    auto reader = open(dir / "rec.raw");
    ASSERT_NE(reader, nullptr);
    const std::string out = dir / "rec.mp4";
    const std::string message =
        "The export was cancelled: the progress callback asked to stop (" + out + ").";
    ScopedLogCapture log;
    ProgressRecord progress;
    reader->setProgressCallback(progress.callback());

    // Stopped after the third frame period, and at the very end (the video was complete).
    for (const bool at_end : {false, true}) {
        SCOPED_TRACE(at_end ? "at the end" : "after the third period");
        progress.reset(at_end ? std::numeric_limits<size_t>::max() : 3);
        progress.stop_at_end = at_end;
        log.clear();
        EXPECT_FALSE(reader->exportEventDataToVideo(100'000, 1'100'000, out));
        EXPECT_EQ(reader->lastError(), ReaderError::Cancelled);
        EXPECT_EQ(reader->lastErrorMessage(), message);
        EXPECT_TRUE(log.contains(LOG_INFO, message));
        EXPECT_FALSE(log.containsSubstring(LOG_ERROR, ""));
        EXPECT_FALSE(fs::exists(out));
        ASSERT_FALSE(progress.calls.empty());
        EXPECT_EQ(progress.calls.back().total, 1'000'000u);
        if (at_end) {
            EXPECT_EQ(progress.calls.back().done, 1'000'000u);
        } else {
            ASSERT_EQ(progress.calls.size(), 3u);
            EXPECT_EQ(progress.calls.back().done, 3 * 33'333u);  // three periods of 1/30 s
        }
    }

    // The reader goes on: the same export, not stopped, gives the whole video.
    progress.reset();
    ASSERT_TRUE(reader->exportEventDataToVideo(100'000, 1'100'000, out));
    EXPECT_EQ(reader->lastError(), ReaderError::None);
    EXPECT_EQ(progress.calls.back().done, 1'000'000u);
    auto video = loadVideo(out);
    ASSERT_NE(video, nullptr);
    std::vector<uint64_t> ts;
    video->getTimeStamps(ts);
    EXPECT_EQ(ts.size(), 31u);
}

TEST(ExportEventDataToVideo, FramesShowOnEventsWhiteAndOffEventsBlack) {
    TempDir dir;
    constexpr uint16_t kW = 640, kH = 480;
    constexpr uint64_t kPeriod = 33'333;
    std::vector<Event2D> events;
    // Five periods; in period k a 6 x 6 block of ON events at (40 + 100k, 60) and of OFF events at
    // (300, 200 + 40k). An event beyond the sensor width must be ignored.
    for (uint16_t k = 0; k < 5; ++k) {
        const uint64_t t = 10'000 + k * kPeriod + 1000;
        for (uint16_t dy = 0; dy < 6; ++dy) {
            for (uint16_t dx = 0; dx < 6; ++dx)
                events.emplace_back(uint16_t(40 + 100 * k + dx), uint16_t(60 + dy), 1, t);
            for (uint16_t dx = 0; dx < 6; ++dx)
                events.emplace_back(uint16_t(300 + dx), uint16_t(200 + 40 * k + dy), 0, t + 5);
        }
        events.emplace_back(uint16_t(kW + 20), uint16_t(10), 1, t + 7);
    }
    events.emplace_back(uint16_t(1), uint16_t(1), 1,
                        10'000 + 7 * kPeriod);  // keeps the range inside the file
    writeEvents(dir / "blocks.raw", kW, kH, events, 10'000);
    auto reader = open(dir / "blocks.raw");
    ASSERT_NE(reader, nullptr);
    ASSERT_TRUE(reader->exportEventDataToVideo(10'000, 10'000 + 5 * kPeriod, dir / "blocks.mp4"));
    auto video = loadVideo(dir / "blocks.mp4");
    ASSERT_NE(video, nullptr);
    std::vector<uint64_t> ts;
    video->getTimeStamps(ts);
    ASSERT_EQ(ts.size(), 5u);
    for (int k = 0; k < 5; ++k) {
        SCOPED_TRACE("frame " + std::to_string(k));
        ApsFrame f;
        ASSERT_TRUE(video->getNFrame(k, f));
        ASSERT_EQ(f.width(), kW);
        ASSERT_EQ(f.height(), kH);
        EXPECT_GT(grey(f, 40 + 100 * k + 3, 63), 225);  // ON: white
        EXPECT_LT(grey(f, 303, 200 + 40 * k + 3), 30);  // OFF: black
        EXPECT_NEAR(grey(f, 600, 400), 112, 8);         // no event: grey
        if (k > 0) {
            // Each frame shows its own period only.
            EXPECT_NEAR(grey(f, 40 + 100 * (k - 1) + 3, 63), 112, 8);
            EXPECT_NEAR(grey(f, 303, 200 + 40 * (k - 1) + 3), 112, 8);
        }
    }
}

TEST(ExportEventDataToVideo, EveryFrameShowsExactlyTheEventsOfItsPeriod) {
    TempDir dir;
    constexpr uint64_t kPeriod = 33'333;
    // 2 Mev/s: each period spans several read chunks, and chunks end inside periods.
    writeSynthetic(dir / "busy.raw", 0, 400'000, 2'000'000, true);
    ASSERT_GT(fs::file_size(dir / "busy.raw"), 4 * RawFileReader::kReadChunkBytes);
    auto reader = open(dir / "busy.raw");
    ASSERT_NE(reader, nullptr);
    constexpr uint64_t kFrames = 9;
    ASSERT_TRUE(reader->exportEventDataToVideo(0, kFrames * kPeriod, dir / "busy.mp4"));
    auto video = loadVideo(dir / "busy.mp4");
    ASSERT_NE(video, nullptr);
    std::vector<uint64_t> ts;
    video->getTimeStamps(ts);
    ASSERT_EQ(ts.size(), kFrames);

    // The expected pictures, from the events of the whole file decoded at once: the last event of
    // the period at a pixel gives its colour.
    const std::vector<Event2D> all = decodeWhole(dir / "busy.raw");
    constexpr int kW = 1280, kH = 720;
    std::vector<int> expected(size_t(kW) * kH);
    for (uint64_t k = 0; k < kFrames; ++k) {
        SCOPED_TRACE("frame " + std::to_string(k));
        std::fill(expected.begin(), expected.end(), -1);
        size_t drawn = 0;
        for (const Event2D& e : all) {
            if (e.timestamp < k * kPeriod || e.timestamp >= (k + 1) * kPeriod) continue;
            expected[size_t(e.y) * kW + e.x] = e.polarity;
            ++drawn;
        }
        ASSERT_GT(drawn, 0u);
        ApsFrame f;
        ASSERT_TRUE(video->getNFrame(int(k), f));
        ASSERT_EQ(f.width(), kW);
        ASSERT_EQ(f.height(), kH);
        // The video is lossy: a pixel is told by the side of the grey it lies on.
        size_t wrong = 0;
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x) {
                const int want = expected[size_t(y) * kW + size_t(x)];
                const int g = grey(f, x, y);
                const bool ok = want == 1 ? g > 180 : want == 0 ? g < 60 : (g > 70 && g < 160);
                wrong += !ok;
            }
        }
        EXPECT_EQ(wrong, 0u);
    }
}

// Five periods of a recording that starts at 500 ms; in period k a 6 x 6 block of ON events at
// (40 + 100k, 60).
void writeLateBlocks(const std::string& path, uint64_t t0, uint64_t period) {
    std::vector<Event2D> events;
    for (uint16_t k = 0; k < 5; ++k) {
        const uint64_t t = t0 + k * period + 1000;
        for (uint16_t dy = 0; dy < 6; ++dy)
            for (uint16_t dx = 0; dx < 6; ++dx)
                events.emplace_back(uint16_t(40 + 100 * k + dx), uint16_t(60 + dy), 1, t);
    }
    events.emplace_back(uint16_t(1), uint16_t(1), 1, t0 + 7 * period);
    writeEvents(path, 640, 480, events, t0);
}

TEST(ExportEventDataToVideo, StartBeforeTheRecordingCountsPeriodsFromItsStart) {
    TempDir dir;
    constexpr uint64_t kT0 = 500'000, kPeriod = 33'333;
    writeLateBlocks(dir / "late.raw", kT0, kPeriod);
    auto reader = open(dir / "late.raw");
    ASSERT_NE(reader, nullptr);
    uint64_t start = 0;
    reader->getStartTimeStamp(start);
    ASSERT_EQ(start, kT0);
    // Wherever the cursor stood before, each frame shows its own period of [start, 0 + 3 periods).
    for (const int before : {0, 1, 2}) {
        SCOPED_TRACE("cursor " + std::to_string(before));
        if (before == 1) reader->getNEvents(50);
        if (before == 2) reader->seekTime(kT0 + 4 * kPeriod);
        const std::string out = dir / ("late" + std::to_string(before) + ".mp4");
        ASSERT_TRUE(reader->exportEventDataToVideo(0, kT0 + 3 * kPeriod, out));
        auto video = loadVideo(out);
        ASSERT_NE(video, nullptr);
        std::vector<uint64_t> ts;
        video->getTimeStamps(ts);
        ASSERT_EQ(ts.size(), 3u);
        for (int k = 0; k < 3; ++k) {
            SCOPED_TRACE("frame " + std::to_string(k));
            ApsFrame f;
            ASSERT_TRUE(video->getNFrame(k, f));
            for (int j = 0; j < 5; ++j) {
                if (j == k)
                    EXPECT_GT(grey(f, 40 + 100 * j + 3, 63), 225);
                else
                    EXPECT_NEAR(grey(f, 40 + 100 * j + 3, 63), 112, 8);
            }
        }
    }
    // A range that ends before the recording begins holds nothing.
    ScopedLogCapture log;
    EXPECT_FALSE(reader->exportEventDataToVideo(0, 200'000, dir / "before.mp4"));
    EXPECT_TRUE(log.contains(LOG_ERROR, "There is no data in the interval."));
    EXPECT_FALSE(fs::exists(dir / "before.mp4"));
}

TEST(ExportEventDataToVideo, SilentStretchesShortenTheVideo) {
    TempDir dir;
    constexpr uint64_t kPeriod = 33'333;
    // Events in 0..300 ms and 700..1000 ms, nothing in between.
    SyntheticScene scene(1280, 720, 200'000, 3);
    std::vector<Event2D> events, part;
    scene.generate(0, 300'000, events);
    scene.generate(300'000, 700'000, part);  // advances the scene, dropped
    part.clear();
    scene.generate(700'000, 1'100'000, part);
    events.insert(events.end(), part.begin(), part.end());
    writeEvents(dir / "gap.raw", 1280, 720, events, 0);
    auto reader = open(dir / "gap.raw");
    ASSERT_NE(reader, nullptr);
    ASSERT_TRUE(reader->exportEventDataToVideo(0, 1'000'000, dir / "gap.mp4"));

    // One frame per period that holds an event; the last period reaches past the range end.
    size_t expected = 0;
    for (uint64_t t = 0; t < 1'000'000; t += kPeriod) {
        expected += std::any_of(events.begin(), events.end(), [t](const Event2D& e) {
            return e.timestamp >= t && e.timestamp < t + kPeriod;
        });
    }
    ASSERT_LT(expected, 31u);
    auto video = loadVideo(dir / "gap.mp4");
    ASSERT_NE(video, nullptr);
    std::vector<uint64_t> ts;
    video->getTimeStamps(ts);
    EXPECT_EQ(ts.size(), expected);
    EXPECT_EQ(ts.back(), (expected - 1) * kPeriod);
}

TEST(ExportEventDataToVideo, FailuresAreReported) {
    TempDir dir;
    ScopedLogCapture log;
    // A sensor of odd width cannot be encoded as 4:2:0 H.264.
    std::vector<Event2D> events{{1, 1, 1, 100}, {2, 2, 0, 50'000}};
    writeEvents(dir / "odd.raw", 641, 480, events, 0);
    auto odd = open(dir / "odd.raw");
    ASSERT_NE(odd, nullptr);
    EXPECT_FALSE(odd->exportEventDataToVideo(0, 40'000, dir / "odd.mp4"));
    EXPECT_TRUE(log.contains(
        LOG_ERROR, "Video converter initialization failed, please confirm that the input file is correct."));

    // An output that cannot be created fails the export.
    writeSynthetic(dir / "rec.raw", 0, 200'000, 100'000, true);
    auto reader = open(dir / "rec.raw");
    ASSERT_NE(reader, nullptr);
    const std::string bad = dir / "no-such-dir/out.mp4";
    EXPECT_FALSE(reader->exportEventDataToVideo(0, 100'000, bad));
    EXPECT_TRUE(log.contains(LOG_ERROR, "Could not open output file: " + bad));
    EXPECT_FALSE(fs::exists(bad));
    // An output that cannot be opened is left as it was: a folder of that name keeps what it holds.
    fs::create_directories(dir / "clip.mp4/inside");
    EXPECT_FALSE(reader->exportEventDataToVideo(0, 100'000, dir / "clip.mp4"));
    EXPECT_EQ(reader->lastError(), ReaderError::CannotCreateOutput);
    EXPECT_TRUE(fs::is_directory(dir / "clip.mp4/inside"));
    {
        // A relative name with a colon is a file's name, not a protocol of the encoder's file layer.
        const fs::path cwd = fs::current_path();
        fs::current_path(dir.path());
        const std::string named = "nope:clip.mp4";
        const bool exported = reader->exportEventDataToVideo(0, 100'000, named);
        fs::current_path(cwd);
        EXPECT_TRUE(exported) << reader->lastErrorMessage();
        EXPECT_NE(loadVideo(dir / named), nullptr);
    }

    // Ranges that hold no period of the recording are refused.
    log.clear();
    EXPECT_FALSE(reader->exportEventDataToVideo(60'000, 50'000, dir / "reversed.mp4"));
    EXPECT_TRUE(log.contains(LOG_ERROR, "Start time must be less than or equal to end time."));
    uint64_t end = 0;
    reader->getEndTimeStamp(end);
    log.clear();
    EXPECT_FALSE(reader->exportEventDataToVideo(end + 1, end + 100'000, dir / "after.mp4"));
    EXPECT_TRUE(log.contains(LOG_ERROR, "No start timestamp found."));
    EXPECT_FALSE(fs::exists(dir / "reversed.mp4"));
    EXPECT_FALSE(fs::exists(dir / "after.mp4"));

    // A range past the end of the recording stops at the end instead of running on.
    log.clear();
    EXPECT_TRUE(reader->exportEventDataToVideo(150'000, ~uint64_t(0), dir / "tail.mp4"));
    auto tail = loadVideo(dir / "tail.mp4");
    ASSERT_NE(tail, nullptr);
    std::vector<uint64_t> ts;
    tail->getTimeStamps(ts);
    EXPECT_GE(ts.size(), 1u);
    EXPECT_LE(ts.size(), 3u);
    EXPECT_LE(log.count(LOG_WARNING, "Current read pos exceeds end timestamp."), 1u);
}

TEST(ExportEventDataToVideo, FailuresNameTheirReason) {
    TempDir dir;
    ScopedLogCapture log;
    // A sensor of odd width cannot be encoded.
    writeEvents(dir / "odd.raw", 641, 480, {{1, 1, 1, 100}, {2, 2, 0, 50'000}}, 0);
    auto odd = open(dir / "odd.raw");
    ASSERT_NE(odd, nullptr);
    EXPECT_FALSE(odd->exportEventDataToVideo(0, 40'000, dir / "odd.mp4"));
    EXPECT_EQ(odd->lastError(), ReaderError::CannotEncode);
    EXPECT_EQ(odd->lastErrorMessage(),
              "Video converter initialization failed, please confirm that the input file is correct.");
    EXPECT_FALSE(fs::exists(dir / "odd.mp4"));

    // Events from 500 ms on and a silent stretch from 600 ms to 900 ms.
    std::vector<Event2D> events;
    for (uint64_t t = 500'000; t < 600'000; t += 1000) events.emplace_back(uint16_t(t / 1000 % 640), 5, 1, t);
    events.emplace_back(7, 7, 0, 900'000);
    writeEvents(dir / "rec.raw", 640, 480, events, 500'000);
    auto reader = open(dir / "rec.raw");
    ASSERT_NE(reader, nullptr);
    const std::string missing_dir = dir / "no-such-dir/out.mp4";
    writeBytes(dir / "plain-file", {1, 2, 3});
    const std::string under_a_file = dir / "plain-file/out.mp4";
    struct Case {
        const char* what;
        uint64_t from, to;
        std::string out;
        ReaderError reason;
        std::string message;
    };
    const Case cases[] = {
        {"reversed", 560'000, 550'000, dir / "x.mp4", ReaderError::InvalidRange,
         "Start time must be less than or equal to end time."},
        {"after the end", 950'000, 990'000, dir / "x.mp4", ReaderError::OutOfRange,
         "No start timestamp found."},
        {"before the start", 0, 400'000, dir / "x.mp4", ReaderError::EmptyRange,
         "There is no data in the interval."},
        {"silent stretch", 650'000, 850'000, dir / "x.mp4", ReaderError::EmptyRange,
         "There is no data in the interval."},
        {"missing folder", 500'000, 600'000, missing_dir, ReaderError::CannotCreateOutput,
         "Could not open output file: " + missing_dir},
        {"folder that is a file", 500'000, 600'000, under_a_file, ReaderError::CannotCreateOutput,
         "Could not open output file: " + under_a_file},
        {"the recording itself", 500'000, 600'000, dir / "rec.raw", ReaderError::OutputIsRecording,
         "The output file is the recording itself: " + (dir / "rec.raw") + "."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log.clear();
        EXPECT_FALSE(reader->exportEventDataToVideo(c.from, c.to, c.out));
        EXPECT_EQ(reader->lastError(), c.reason);
        EXPECT_EQ(reader->lastErrorMessage(), c.message);
        // Logged once, by the reader or by its video converter.
        EXPECT_EQ(log.count(LOG_ERROR, c.message), 1u);
        EXPECT_FALSE(fs::exists(c.out) && c.out != dir / "rec.raw");
    }
    // A range whose periods hold no event is refused before the output is touched: an earlier file
    // stays. From 700 ms the sixth period ends at 899 998 us, just before the event at 900 ms.
    writeBytes(dir / "earlier.mp4", {4, 5, 6});
    for (const auto& [from, to] : {std::pair<uint64_t, uint64_t>{650'000, 850'000}, {700'000, 880'000}}) {
        EXPECT_FALSE(reader->exportEventDataToVideo(from, to, dir / "earlier.mp4"));
        EXPECT_EQ(reader->lastError(), ReaderError::EmptyRange);
        EXPECT_EQ(readBytes(dir / "earlier.mp4"), (std::vector<uint8_t>{4, 5, 6}));
    }
    // From 701 ms the last period reaches past the end of the range to that event: one frame.
    EXPECT_TRUE(reader->exportEventDataToVideo(701'000, 880'000, dir / "earlier.mp4"));
    EXPECT_EQ(zelvan::testing::keyFrames(dir / "earlier.mp4").size(), 1u);
    EXPECT_TRUE(reader->exportEventDataToVideo(500'000, 600'000, dir / "ok.mp4"));
    EXPECT_EQ(reader->lastError(), ReaderError::None);
}

// ---- a full disk ----

// Runs `work` in a child process whose files may not grow beyond `limit` bytes: a write past it
// fails with EFBIG (SIGXFSZ is ignored there, as a disk that is full fails the write). Returns the
// child's exit status, or -1 when it did not exit by itself (a crash, or the alarm that ends a child
// that hangs).
int runWithFileSizeLimit(rlim_t limit, const std::function<int()>& work) {
    const pid_t pid = fork();
    if (pid < 0) return -2;
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit r{limit, limit};
        if (setrlimit(RLIMIT_FSIZE, &r) != 0) _exit(90);
        alarm(120);
        _exit(work());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -3;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Exit codes of the children below.
constexpr int kReportedFailure = 0;  // the call returned false and logged why
constexpr int kClaimedSuccess = 1;
constexpr int kThrew = 2;
constexpr int kNoReason = 3;
constexpr int kCannotOpen = 4;

int cutOrExportInChild(const std::string& source, bool to_video, uint64_t start, uint64_t end,
                       const std::string& out, const std::string& reason) {
    try {
        ScopedLogCapture log(LOG_DETAIL);
        RawFileReader reader(source);
        if (!reader.loadFile()) return kCannotOpen;
        const bool ok = to_video ? reader.exportEventDataToVideo(start, end, out)
                                 : reader.extractEventData(start, end, out);
        if (ok) return kClaimedSuccess;
        return log.containsSubstring(LOG_ERROR, reason) ? kReportedFailure : kNoReason;
    } catch (...) {
        return kThrew;
    }
}

TEST(FullDisk, ACutThatCannotBeWrittenFailsAndLeavesNoBrokenFile) {
    TempDir dir;
    const std::string source = dir / "rec.raw";
    writeSynthetic(source, 0, 400'000, 1'000'000, true);
    ASSERT_NE(open(source), nullptr);  // the index beside the recording is written here, not in the child
    const auto size = fs::file_size(source);
    ASSERT_GT(size, 600'000u);
    uint64_t start = 0, end = 0;
    {
        auto reader = open(source);
        reader->getStartTimeStamp(start);
        reader->getEndTimeStamp(end);
    }
    // The limit falls in the copied bytes, and in the header.
    for (const rlim_t limit : {rlim_t(200'000), rlim_t(40)}) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        const std::string out = dir / "cut.raw";
        const int status = runWithFileSizeLimit(limit, [&] {
            return cutOrExportInChild(source, false, start, end, out,
                                      "Failed to write the expected number of bytes to the output file.");
        });
        EXPECT_EQ(status, kReportedFailure);
        // A cut that failed part way is removed, so no truncated recording is mistaken for a cut.
        EXPECT_FALSE(fs::exists(out));
        // The recording itself is untouched and still reads.
        EXPECT_EQ(fs::file_size(source), size);
    }
    // Without the limit the same cut succeeds and decodes to the whole recording.
    auto reader = open(source);
    ASSERT_NE(reader, nullptr);
    ASSERT_TRUE(reader->extractEventData(start, end, dir / "cut.raw"));
    EXPECT_TRUE(decodeWhole(dir / "cut.raw") == decodeWhole(source));
}

// The reason a cut or an export gives under a file size limit, from a child process: the reason's
// value, or kClaimedSuccess, kThrew or kCannotOpen as above.
int reasonInChild(const std::string& source, bool to_video, uint64_t start, uint64_t end,
                  const std::string& out) {
    try {
        ScopedLogCapture quiet(LOG_DETAIL);
        RawFileReader reader(source);
        if (!reader.loadFile()) return kCannotOpen;
        const bool ok = to_video ? reader.exportEventDataToVideo(start, end, out)
                                 : reader.extractEventData(start, end, out);
        return ok ? kClaimedSuccess : 10 + static_cast<int>(reader.lastError());
    } catch (...) {
        return kThrew;
    }
}

TEST(FullDisk, CutsAndExportsThatCannotBeWrittenSaySo) {
    TempDir dir;
    const std::string source = dir / "rec.raw";
    writeSynthetic(source, 0, 1'000'000, 300'000, true);
    ASSERT_NE(open(source), nullptr);  // the index is written here, not in the child
    const int cannot_write = 10 + static_cast<int>(ReaderError::CannotWrite);
    for (const bool to_video : {false, true}) {
        SCOPED_TRACE(to_video ? "export" : "cut");
        const std::string out = dir / (to_video ? "out.mp4" : "out.raw");
        for (const rlim_t limit : {rlim_t(60'000), rlim_t(100)}) {
            SCOPED_TRACE("limit " + std::to_string(limit));
            EXPECT_EQ(
                runWithFileSizeLimit(limit, [&] { return reasonInChild(source, to_video, 0, 999'000, out); }),
                cannot_write);
            EXPECT_FALSE(fs::exists(out));
        }
    }
}

// The message an export under a file size limit fails with, written by a child process to `message_file`.
int messageInChild(const std::string& source, uint64_t end, const std::string& out,
                   const std::string& message_file) {
    try {
        ScopedLogCapture quiet(LOG_DETAIL);
        RawFileReader reader(source);
        if (!reader.loadFile()) return kCannotOpen;
        const bool ok = reader.exportEventDataToVideo(0, end, out);
        std::ofstream(message_file) << reader.lastErrorMessage();
        return ok ? kClaimedSuccess : 10 + static_cast<int>(reader.lastError());
    } catch (...) {
        return kThrew;
    }
}

TEST(FullDisk, AFrameThatCannotBeWrittenEndsTheExportWithItsReason) {
    TempDir dir;
    const std::string source = dir / "rec.raw";
    writeSynthetic(source, 0, 1'000'000, 300'000, true);
    ASSERT_NE(open(source), nullptr);  // the index is written here, not in the child
    const std::string out = dir / "out.mp4";
    const std::string message_file = dir / "message.txt";
    // The limit falls in the first frames: the export stops there, while frames are still being
    // drawn, with the converter's reason.
    EXPECT_EQ(
        runWithFileSizeLimit(60'000, [&] { return messageInChild(source, 999'000, out, message_file); }),
        10 + static_cast<int>(ReaderError::CannotWrite));
    std::ifstream in(message_file);
    const std::string message((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(message, "Failed to write a video frame to " + out + ": Failed to write packet.");
    EXPECT_FALSE(fs::exists(out));
}

TEST(FullDisk, AnExportThatCannotBeWrittenFails) {
    TempDir dir;
    const std::string source = dir / "rec.raw";
    writeSynthetic(source, 0, 1'000'000, 300'000, true);
    ASSERT_NE(open(source), nullptr);
    // The limit falls in the frames, and in the container's header.
    for (const rlim_t limit : {rlim_t(60'000), rlim_t(100)}) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        const std::string out = dir / "out.mp4";
        const int status = runWithFileSizeLimit(
            limit, [&] { return cutOrExportInChild(source, true, 0, 1'000'000, out, ""); });
        EXPECT_EQ(status, kReportedFailure);
        EXPECT_FALSE(fs::exists(out));
    }
    auto reader = open(source);
    ASSERT_NE(reader, nullptr);
    ASSERT_TRUE(reader->exportEventDataToVideo(0, 1'000'000, dir / "out.mp4"));
    EXPECT_GT(fs::file_size(dir / "out.mp4"), 60'000u);
}

// ThreadSanitizer ends a child forked after the process has run threads (the exports' encoder): under
// it, the children of a full disk run only before the first export.
#if defined(__SANITIZE_THREAD__)
constexpr bool kForksAfterThreads = false;
#else
constexpr bool kForksAfterThreads = true;
#endif

// The names in a folder, sorted.
std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// A cut or an export onto an earlier file: it keeps that file (and a cut its index) whole until the new
// output is complete, through a full disk and a cancel, and then takes its place with its permissions.
TEST(FullDisk, ACutOrExportThatFailsKeepsTheEarlierFile) {
    TempDir dir;
    const std::string source = dir / "rec.raw";
    writeSynthetic(source, 0, 1'000'000, 300'000, true);
    ASSERT_NE(open(source), nullptr);  // the index is written here, not in the child
    for (const bool to_video : {false, true}) {
        SCOPED_TRACE(to_video ? "export" : "cut");
        const std::string out = dir / (to_video ? "out.mp4" : "out.raw");
        const fs::path side = RawFileReader::bookmarkPathFor(out);
        const std::string earlier = "an earlier file the user keeps";
        std::ofstream(out) << earlier;
        fs::permissions(out, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        if (!to_video) std::ofstream(side) << "its index";
        const auto names = namesIn(dir.path());
        auto unchanged = [&] {
            std::ifstream in(out);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), earlier);
            if (!to_video) {
                EXPECT_TRUE(fs::exists(side));
            }
            EXPECT_EQ(namesIn(dir.path()), names);  // nothing left beside it
        };

        // The disk fills in the middle of the output.
        EXPECT_EQ(
            runWithFileSizeLimit(60'000, [&] { return reasonInChild(source, to_video, 0, 999'000, out); }),
            10 + static_cast<int>(ReaderError::CannotWrite));
        unchanged();

        // Cancelled after its second progress report.
        auto reader = open(source);
        ASSERT_NE(reader, nullptr);
        ProgressRecord progress;
        progress.reset(2);
        reader->setProgressCallback(progress.callback());
        {
            ScopedLogCapture quiet;
            EXPECT_FALSE(to_video ? reader->exportEventDataToVideo(0, 999'000, out)
                                  : reader->extractEventData(0, 999'000, out));
        }
        EXPECT_EQ(reader->lastError(), ReaderError::Cancelled);
        unchanged();

        // Complete, it replaces the earlier file with the earlier file's permissions. What is logged
        // names the file the user chose, not the name it was written under first.
        reader->setProgressCallback(nullptr);
        {
            ScopedLogCapture log;
            ASSERT_TRUE(to_video ? reader->exportEventDataToVideo(0, 999'000, out)
                                 : reader->extractEventData(0, 999'000, out));
            if (to_video) {
                EXPECT_TRUE(log.contains(LOG_INFO, "Output file set to: " + out));
            }
            for (const auto& line : log.lines()) {
                EXPECT_EQ(line.text.find("zvpart"), std::string::npos) << line.text;
            }
        }
        EXPECT_GT(fs::file_size(out), 60'000u);
        EXPECT_EQ(fs::status(out).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        if (to_video) {
            EXPECT_NE(loadVideo(out), nullptr);
        } else {
            auto expected = decodeWhole(source);
            std::erase_if(expected, [](const Event2D& e) { return e.timestamp >= 999'000; });
            EXPECT_TRUE(decodeWhole(out) == expected);
            const auto index = readBytes(side);
            EXPECT_NE(std::string(index.begin(), index.end()), "its index");
        }
        EXPECT_EQ(namesIn(dir.path()), names);

        // The set-user bit does not come to the replacement.
        fs::permissions(out, fs::perms::set_uid, fs::perm_options::add);
        ASSERT_TRUE(to_video ? reader->exportEventDataToVideo(0, 500'000, out)
                             : reader->extractEventData(0, 500'000, out));
        EXPECT_EQ(fs::status(out).permissions() & (fs::perms::all | fs::perms::set_uid),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

        // A file with a second name keeps its inode, and so both names: the complete output is copied
        // into it, and a full disk leaves it whole.
        const std::string other = dir / "other-name";
        fs::create_hard_link(out, other);
        const auto before = readBytes(out);
        if (kForksAfterThreads || !to_video) {
            EXPECT_EQ(runWithFileSizeLimit(60'000,
                                           [&] { return reasonInChild(source, to_video, 0, 999'000, out); }),
                      10 + static_cast<int>(ReaderError::CannotWrite));
            EXPECT_TRUE(readBytes(out) == before);
        }
        ASSERT_TRUE(to_video ? reader->exportEventDataToVideo(0, 999'000, out)
                             : reader->extractEventData(0, 999'000, out));
        EXPECT_TRUE(fs::equivalent(out, other));
        EXPECT_TRUE(readBytes(out) != before);
        fs::remove(other);

        // Extended attributes (access lists among them) stay with the file, where the file system has them.
        if (::setxattr(out.c_str(), "user.zelvan-test", "kept", 4, 0) == 0) {
            ASSERT_TRUE(to_video ? reader->exportEventDataToVideo(0, 999'000, out)
                                 : reader->extractEventData(0, 999'000, out));
            char value[8] = {};
            EXPECT_EQ(::getxattr(out.c_str(), "user.zelvan-test", value, sizeof value), 4);
            EXPECT_STREQ(value, "kept");
            ASSERT_EQ(::removexattr(out.c_str(), "user.zelvan-test"), 0);
        }

        // Another user's file (root alone can give one away) keeps its owner and group the same way.
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown(out.c_str(), 65534, 65534), 0);
            const auto earlier_bytes = readBytes(out);
            if (kForksAfterThreads || !to_video) {
                EXPECT_EQ(runWithFileSizeLimit(
                              60'000, [&] { return reasonInChild(source, to_video, 0, 500'000, out); }),
                          10 + static_cast<int>(ReaderError::CannotWrite));
                EXPECT_TRUE(readBytes(out) == earlier_bytes);
            }
            ASSERT_TRUE(to_video ? reader->exportEventDataToVideo(0, 500'000, out)
                                 : reader->extractEventData(0, 500'000, out));
            struct stat st {};
            ASSERT_EQ(::stat(out.c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, 65534u);
            EXPECT_EQ(st.st_gid, 65534u);
            EXPECT_TRUE(readBytes(out) != earlier_bytes);
        }
        EXPECT_EQ(namesIn(dir.path()), names);
    }
}

}  // namespace
