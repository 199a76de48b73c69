// Raw file reader: bookmark index, side file, seeking and reading, checked against a continuous
// decode of the same file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>

#include "FileReader/BookmarkFile.h"
#include "FileReader/OutputFile.h"
#include "ProgressRecord.h"
#include "TestRecordings.h"
#include "zelvan/EVT3Encoder.h"
#include "zelvan/FileHeader.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileReader.h"
#include "zelvan/SyntheticScene.h"

namespace fs = std::filesystem;
using namespace zelvan;

namespace {

const std::string kCheckFailed = "Bookmark file check failed, re-initialize bookmarks.";

class TempDir {
public:
    TempDir() {
        static int counter = 0;
        path_ = fs::temp_directory_path() /
                ("zelvan-reader-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

struct Recording {
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;
};

// Writes a synthetic recording of [t0, t0 + duration) us; with `with_base` the header carries
// "% dvs_start_timestamp t0", otherwise the header has no time base at all.
void writeSynthetic(const std::string& path, uint64_t t0, uint64_t duration, uint64_t rate, bool with_base,
                    uint64_t seed = 1, uint64_t trigger_period = 0) {
    std::string header;
    if (with_base) {
        DvsFileInfo info;
        info.dvs_start_timestamp = t0;
        info.serial_number = "TEST";
        header = generateDvsFileHeader(info);
    } else {
        header = "% evt 3.0\n% format EVT3;height=720;width=1280\n% end\n";
    }
    std::vector<uint8_t> bytes(header.begin(), header.end());
    SyntheticScene scene(1280, 720, rate, seed);
    EVT3Encoder encoder(1280);
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;
    constexpr uint64_t kSlice = 5000;
    for (uint64_t t = t0; t < t0 + duration; t += kSlice) {
        events.clear();
        triggers.clear();
        scene.generate(t, t + kSlice, events);
        if (trigger_period)
            for (uint64_t tt = (t + trigger_period - 1) / trigger_period * trigger_period; tt < t + kSlice;
                 tt += trigger_period)
                triggers.emplace_back(int16_t(0), int16_t((tt / trigger_period) & 1), tt);
        encoder.advanceTime(t, bytes);
        encoder.encode(events.data(), events.data() + events.size(), triggers.data(),
                       triggers.data() + triggers.size(), bytes);
    }
    writeBytes(path, bytes);
}

// What a continuous decode of the whole file gives.
Recording decodeWhole(const std::string& path) {
    RawFileHeader header;
    std::string error;
    Recording r;
    if (!readRawFileHeader(path, header, error)) return r;
    const auto bytes = readBytes(path);
    EVT3Decoder decoder(header.info.width, header.info.height);
    decoder.setEventsStreamHandleCallback(
        [&](Event2D* b, Event2D* e) { r.events.insert(r.events.end(), b, e); });
    decoder.setTriggerInCallback([&](EventTriggerIn t) { r.triggers.push_back(t); });
    if (header.has_dvs_start_timestamp) decoder.setTimeBase(header.info.dvs_start_timestamp);
    decoder.decode(bytes.data() + header.payload_offset, bytes.data() + bytes.size());
    return r;
}

std::unique_ptr<RawFileReader> open(const std::string& path) {
    auto reader = std::make_unique<RawFileReader>(path);
    if (!reader->loadFile()) return nullptr;
    return reader;
}

// The exactness properties, on one file.
void checkExactReading(const std::string& path, uint64_t seed) {
    const Recording whole = decodeWhole(path);
    ASSERT_FALSE(whole.events.empty());
    ScopedLogCapture quiet(LOG_ERROR);
    auto reader = open(path);
    ASSERT_NE(reader, nullptr);
    uint64_t start = 0, end = 0, max = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    reader->getMaxEvents(max);
    ASSERT_EQ(max, whole.events.size());
    EXPECT_LE(start, whole.events.front().timestamp);

    // Every stored event number is the count of a continuous decode up to the bookmark.
    RawFileHeader header;
    std::string error;
    ASSERT_TRUE(readRawFileHeader(path, header, error));
    const auto bytes = readBytes(path);
    EVT3Decoder d(1280, 720);
    uint64_t count = 0, decoded_to = header.payload_offset;
    d.setEventsStreamHandleCallback([&](Event2D* f, Event2D* l) { count += uint64_t(l - f); });
    if (header.has_dvs_start_timestamp) d.setTimeBase(header.info.dvs_start_timestamp);
    for (const auto& [key, b] : reader->getAllBookmarks()) {
        d.decode(bytes.data() + decoded_to, bytes.data() + b.position);
        decoded_to = b.position;
        ASSERT_EQ(b.event_number, count) << "bookmark " << key;
        if (b.position > header.payload_offset) {
            ASSERT_EQ(b.decoder_state, d.getState()) << "bookmark " << key;
        }
    }

    // Consecutive time windows of random length give the continuous decode.
    std::mt19937_64 rng(seed);
    ASSERT_TRUE(reader->seekTime(start));
    std::vector<Event2D> joined;
    while (!reader->reachedEndOfEvents()) {
        auto part = reader->getNTimeEvents(1 + rng() % 40000);
        joined.insert(joined.end(), part->begin(), part->end());
    }
    ASSERT_EQ(joined.size(), whole.events.size());
    EXPECT_TRUE(joined == whole.events);
    EXPECT_TRUE(reader->getTriggerList() == whole.triggers);

    // Consecutive counted reads give it too.
    ASSERT_TRUE(reader->seekNEvents(0));
    joined.clear();
    while (joined.size() < whole.events.size()) {
        auto part = reader->getNEvents(1 + rng() % 30000);
        ASSERT_FALSE(part->empty());
        joined.insert(joined.end(), part->begin(), part->end());
    }
    EXPECT_TRUE(joined == whole.events);

    // seekTime(key) at a bookmark's own time keeps the events at exactly that time, which the
    // stream may hold just before the bookmark's offset.
    std::vector<uint64_t> latest(whole.events.size() + 1, 0);  // latest time among the first k events
    for (size_t i = 0; i < whole.events.size(); ++i)
        latest[i + 1] = std::max(latest[i], whole.events[i].timestamp + 1);
    const auto& marks = reader->getAllBookmarks();
    const size_t stride = std::max<size_t>(1, marks.size() / 150);
    size_t index = 0;
    for (const auto& [key, b] : marks) {
        if (index++ % stride != 0 && index != marks.size()) continue;  // about 150 keys and the last
        ASSERT_TRUE(reader->seekTime(key)) << key;
        const uint64_t k = reader->getCurrentPosEventNum();
        ASSERT_LE(k, whole.events.size());
        ASSERT_LE(latest[k], key) << "an event at or after bookmark key " << key << " skipped";
        auto part = reader->getNEvents(50);
        ASSERT_EQ(part->size(), std::min<uint64_t>(50, whole.events.size() - k));
        ASSERT_TRUE(std::equal(part->begin(), part->end(), whole.events.begin() + std::ptrdiff_t(k)));
    }

    for (int i = 0; i < 40; ++i) {
        // seekTime(t): the rest of the file is a suffix of the continuous decode that holds every
        // event at or after t, and nothing before the landing point is at or after t.
        const uint64_t t = start + rng() % (end - start + 1);
        ASSERT_TRUE(reader->seekTime(t)) << t;
        EXPECT_EQ(reader->getCurrentPosTimeStamp(), t);
        const uint64_t k = reader->getCurrentPosEventNum();
        ASSERT_LE(k, whole.events.size());
        const auto skipped = std::find_if(whole.events.begin(), whole.events.begin() + std::ptrdiff_t(k),
                                          [t](const Event2D& e) { return e.timestamp >= t; });
        ASSERT_EQ(skipped - whole.events.begin(), std::ptrdiff_t(k))
            << "an event at or after " << t << " skipped";
        auto rest = reader->getNEvents(max);
        ASSERT_EQ(rest->size(), whole.events.size() - k);
        EXPECT_TRUE(std::equal(rest->begin(), rest->end(), whole.events.begin() + std::ptrdiff_t(k)));

        // seekNEvents(n) lands on event n itself.
        const uint64_t n = rng() % (max + 1);
        ASSERT_TRUE(reader->seekNEvents(n));
        EXPECT_EQ(reader->getCurrentPosEventNum(), n);
        const uint64_t m = 1 + rng() % 5000;
        auto part = reader->getNEvents(m);
        const uint64_t expect = std::min<uint64_t>(m, max - n);
        ASSERT_EQ(part->size(), expect);
        EXPECT_TRUE(std::equal(part->begin(), part->end(), whole.events.begin() + std::ptrdiff_t(n)));
        EXPECT_EQ(reader->getCurrentPosEventNum(), n + expect);
    }
}

// A 1.0.0 side file for the reader's bookmarks (32-bit counts, no decoder state).
std::vector<uint8_t> makeV1File(const RawFileReader& reader, uint64_t file_size, uint64_t count_offset = 0) {
    std::vector<uint8_t> out;
    auto text = [&](const std::string& s) { out.insert(out.end(), s.begin(), s.end()); };
    auto put = [&](uint64_t v, int n) {
        for (int i = 0; i < n; ++i) out.push_back(uint8_t(v >> (8 * i)));
    };
    text("version:1.0.0\nmax_byte:" + std::to_string(file_size) + "\nsensor_width:1280\nsensor_height:720\n");
    out.push_back(0);
    put(reader.getAllBookmarks().size(), 8);
    for (const auto& [key, b] : reader.getAllBookmarks()) {
        put(key, 8);
        put(b.position, 8);
        put(0, 1);
        put(key, 8);
        put(b.event_number == 0 ? 0 : b.event_number + count_offset, 4);
        put(b.triggers.size(), 8);
        for (const auto& t : b.triggers) {
            put(uint16_t(t.id), 2);
            put(uint16_t(t.polarity), 2);
            put(t.timestamp, 8);
        }
    }
    out.push_back(detail::crc8(out.data(), out.size()));
    return out;
}

TEST(RawFileReaderFactory, ChoosesByTheLastExtension) {
    auto reader = DvsFileReader::createFileReader("dir/a.b.raw");
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(dynamic_cast<RawFileReader&>(*reader).getBookmarkFilePath(), "dir/a.b.zvmark.tmp");
    EXPECT_EQ(DvsFileReader::createFileReader("a.RAW"), nullptr);
    EXPECT_EQ(DvsFileReader::createFileReader("a.raw.bak"), nullptr);
    EXPECT_EQ(DvsFileReader::createFileReader("noextension"), nullptr);
    EXPECT_EQ(RawFileReader::bookmarkPathFor("x.raw.raw"), "x.raw.zvmark.tmp");
}

TEST(BookmarkFileFormat, Crc8AndRoundTripWithLargeCounts) {
    const std::string check = "123456789";
    EXPECT_EQ(detail::crc8(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0xF4);

    detail::BookmarkFileContext context{1'000'000, 100, 1280, 720, false, 0};
    detail::BookmarkMap marks;
    RawFileReader::Bookmark a;
    a.position = 100;
    a.timestamp = 5;
    marks.emplace(5, a);
    RawFileReader::Bookmark b;
    b.position = 1'000'000;
    b.timestamp = (uint64_t(3) << 24) + 77;
    b.event_number = (uint64_t(1) << 32) + 12345;  // past what 32 bits hold
    b.triggers = {EventTriggerIn(3, 1, 999), EventTriggerIn(-1, 0, uint64_t(1) << 40)};
    b.decoder_state = {true, 3, 0, 77, true, 719, true, 1264, 1};
    marks.emplace(b.timestamp, b);
    const auto bytes = detail::serializeBookmarks(marks, context);
    detail::BookmarkMap back;
    detail::BookmarkFileVersion version{};
    ASSERT_TRUE(detail::parseBookmarkFile(bytes, context, back, version));
    EXPECT_EQ(version, detail::BookmarkFileVersion::V2);
    ASSERT_EQ(back.size(), 2u);
    const auto& got = back.at(b.timestamp);
    EXPECT_EQ(got.event_number, b.event_number);
    EXPECT_EQ(got.triggers, b.triggers);
    EXPECT_EQ(got.decoder_state, b.decoder_state);

    // The same file for a recording with another time base or payload offset does not match.
    ScopedLogCapture log(LOG_WARNING);
    auto other = context;
    other.has_time_base = true;
    EXPECT_FALSE(detail::parseBookmarkFile(bytes, other, back, version));
    other = context;
    other.payload_offset = 102;
    EXPECT_FALSE(detail::parseBookmarkFile(bytes, other, back, version));
    EXPECT_EQ(log.count(LOG_WARNING, "The file has changed"), 2u);
}

TEST(BookmarkFileFormat, HostileContentIsRejectedWithoutHugeAllocations) {
    detail::BookmarkFileContext context{4096, 0, 1280, 720, false, 0};
    ScopedLogCapture log(LOG_WARNING);
    detail::BookmarkMap out;
    detail::BookmarkFileVersion version{};
    auto withCrc = [](std::vector<uint8_t> v) {
        v.push_back(detail::crc8(v.data(), v.size()));
        return v;
    };
    const std::string text =
        "version:2.0.0\nmax_byte:4096\nsensor_width:1280\nsensor_height:720\n"
        "payload_offset:0\ntime_base:none\n";
    std::vector<uint8_t> v(text.begin(), text.end());
    v.push_back(0);
    for (int i = 0; i < 8; ++i) v.push_back(0xFF);  // 2^64 - 1 bookmarks
    EXPECT_FALSE(detail::parseBookmarkFile(withCrc(v), context, out, version));
    EXPECT_TRUE(log.containsSubstring(LOG_WARNING, "bookmark count does not fit"));

    EXPECT_FALSE(detail::parseBookmarkFile({}, context, out, version));
    EXPECT_TRUE(log.contains(LOG_WARNING, "The file content is insufficient to perform CRC validation!"));
    const std::string no_version = "max_byte:4096\n";
    EXPECT_FALSE(
        detail::parseBookmarkFile(withCrc({no_version.begin(), no_version.end()}), context, out, version));
    EXPECT_TRUE(log.contains(LOG_WARNING, "Bookmark file has no version information, need to regenerate"));
    const std::string future = "version:9.9.9\n";
    EXPECT_FALSE(detail::parseBookmarkFile(withCrc({future.begin(), future.end()}), context, out, version));
    EXPECT_TRUE(log.contains(LOG_WARNING, "Bookmark file version mismatch: expected 2.0.0, got 9.9.9"));

    // Random records behind a valid text part never pass and never crash.
    std::mt19937_64 rng(5);
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> r(text.begin(), text.end());
        r.push_back(0);
        const size_t n = rng() % 300;
        for (size_t i = 0; i < n; ++i) r.push_back(uint8_t(rng()));
        if (n >= 8)
            std::fill(r.begin() + std::ptrdiff_t(text.size() + 2),
                      r.begin() + std::ptrdiff_t(text.size() + 8), 0);
        detail::BookmarkMap m;
        if (detail::parseBookmarkFile(withCrc(r), context, m, version)) {
            // Whatever passes is ordered and inside the recording.
            uint64_t last = 0;
            for (const auto& [k, b] : m) {
                EXPECT_LE(b.position, context.file_size);
                EXPECT_GE(b.position, last);
                last = b.position;
            }
        }
    }
}

TEST(RawFileReaderIndex, TenMillisecondsGiveAboutFiveBookmarksPlusTheFinalOne) {
    TempDir dir;
    const std::string path = dir / "short.raw";
    writeSynthetic(path, 1'000'000, 10'000, 20'000'000, true);  // about 400 KB: several read chunks
    ScopedLogCapture log(LOG_DETAIL);
    auto reader = open(path);
    ASSERT_NE(reader, nullptr);
    EXPECT_TRUE(log.contains(LOG_INFO, "Loading raw file..."));
    EXPECT_TRUE(log.contains(LOG_INFO, "Loading raw file succeeded."));
    const auto& marks = reader->getAllBookmarks();
    EXPECT_GE(marks.size(), 4u);
    EXPECT_LE(marks.size(), 7u);
    uint64_t start = 0, end = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    EXPECT_EQ(start, 1'000'000u);
    EXPECT_GE(end, 1'009'000u);
    EXPECT_LE(end, 1'010'000u);
    EXPECT_EQ(marks.rbegin()->second.position, fs::file_size(path));
    for (auto it = std::next(marks.begin()); it != std::prev(marks.end()); ++it)
        EXPECT_GE(it->first - std::prev(it)->first, RawFileReader::bookmark_period_us);
    EXPECT_TRUE(fs::exists(dir / "short.zvmark.tmp"));
    EXPECT_EQ(reader->getWidth(), 1280);
    EXPECT_EQ(reader->getHeight(), 720);
    DvsFileInfo info;
    EXPECT_TRUE(reader->getFileInfo(info));
    EXPECT_EQ(info.serial_number, "TEST");
}

TEST(RawFileReaderIndex, FilesWithoutEventsFail) {
    TempDir dir;
    ScopedLogCapture log(LOG_DETAIL);
    writeBytes(dir / "empty.raw", {'%', ' ', 'e', 'n', 'd', '\n'});
    EXPECT_EQ(open(dir / "empty.raw"), nullptr);
    EXPECT_EQ(log.count(LOG_ERROR, "Loading raw file failed. There is no data in the file."), 1u);
    // Time words but no event.
    writeBytes(dir / "time.raw", {'%', ' ', 'e', 'n', 'd', '\n', 0x01, 0x80, 0x02, 0x80, 0x10, 0x60});
    EXPECT_EQ(open(dir / "time.raw"), nullptr);
    EXPECT_EQ(log.count(LOG_ERROR, "Loading raw file failed. There is no data in the file."), 2u);
    EXPECT_FALSE(fs::exists(dir / "time.zvmark.tmp"));
    // Missing file and rejected header.
    EXPECT_EQ(open(dir / "missing.raw"), nullptr);
    const std::string evt2 = "% evt 2.0\n% end\n";
    writeBytes(dir / "evt2.raw", {evt2.begin(), evt2.end()});
    EXPECT_EQ(open(dir / "evt2.raw"), nullptr);
    EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "Raw file header rejected"));
}

TEST(RawFileReaderSideFile, IsReusedAndRebuiltWhenItDoesNotMatch) {
    TempDir dir;
    const std::string path = dir / "rec.raw";
    const std::string side = dir / "rec.zvmark.tmp";
    writeSynthetic(path, 0, 30'000, 2'000'000, true, 3, 1000);
    std::map<uint64_t, uint64_t> original;
    {
        auto reader = open(path);
        ASSERT_NE(reader, nullptr);
        for (const auto& [k, b] : reader->getAllBookmarks()) original[k] = b.event_number;
    }
    const auto good = readBytes(side);
    ASSERT_GT(good.size(), 100u);
    {
        ScopedLogCapture log(LOG_DETAIL);
        auto reader = open(path);
        ASSERT_NE(reader, nullptr);
        EXPECT_FALSE(log.contains(LOG_WARNING, kCheckFailed));
        EXPECT_EQ(reader->getAllBookmarks().size(), original.size());
        EXPECT_FALSE(reader->getTriggerListForBookmark(reader->getAllBookmarks().rbegin()->first).empty());
    }
    // One changed byte anywhere (text, records, CRC) rebuilds the same index.
    for (size_t at : {size_t(3), size_t(good.size() / 2), good.size() - 1}) {
        auto bad = good;
        bad[at] ^= 0x20;
        writeBytes(side, bad);
        ScopedLogCapture log(LOG_DETAIL);
        auto reader = open(path);
        ASSERT_NE(reader, nullptr);
        EXPECT_EQ(log.count(LOG_WARNING, kCheckFailed), 1u) << "byte " << at;
        EXPECT_EQ(readBytes(side), good);
    }
    // Truncated and empty side files.
    for (size_t keep : {size_t(0), size_t(40), good.size() - 2}) {
        writeBytes(side, std::vector<uint8_t>(good.begin(), good.begin() + std::ptrdiff_t(keep)));
        ScopedLogCapture log(LOG_DETAIL);
        ASSERT_NE(open(path), nullptr);
        EXPECT_EQ(log.count(LOG_WARNING, kCheckFailed), 1u) << keep;
        EXPECT_EQ(readBytes(side), good);
    }
    // Another sensor size (with a correct CRC).
    {
        std::string text(good.begin(), good.end());
        const auto at = text.find("sensor_width:1280");
        ASSERT_NE(at, std::string::npos);
        std::vector<uint8_t> other = good;
        other[at + 13] = '6';  // 6280
        other.back() = detail::crc8(other.data(), other.size() - 1);
        writeBytes(side, other);
        ScopedLogCapture log(LOG_DETAIL);
        ASSERT_NE(open(path), nullptr);
        EXPECT_TRUE(log.contains(LOG_WARNING, "The sensor resolution has been changed "));
        EXPECT_TRUE(log.contains(LOG_WARNING, kCheckFailed));
    }
    // Another recording size.
    {
        auto raw = readBytes(path);
        raw.push_back(0x00);
        raw.push_back(0x60);
        writeBytes(path, raw);
        ScopedLogCapture log(LOG_DETAIL);
        auto reader = open(path);
        ASSERT_NE(reader, nullptr);
        EXPECT_TRUE(log.contains(LOG_WARNING, "The file has changed"));
        EXPECT_TRUE(log.contains(LOG_WARNING, kCheckFailed));
        EXPECT_EQ(reader->getAllBookmarks().rbegin()->second.position, raw.size());
    }
    // A side file above the size bound is not read.
    {
        { std::ofstream(side, std::ios::trunc); }
        fs::resize_file(side, RawFileReader::kMaxBookmarkFileBytes + 1);
        ScopedLogCapture log(LOG_DETAIL);
        ASSERT_NE(open(path), nullptr);
        EXPECT_TRUE(log.contains(LOG_WARNING, "The tmp file is too large!"));
        EXPECT_TRUE(log.contains(LOG_WARNING, kCheckFailed));
        EXPECT_LT(fs::file_size(side), 1u << 20);
    }
}

// An output onto an earlier file with a name as long as file names go is written beside it all the same:
// abandoned, it leaves the earlier file as it was; committed, it takes its place; nothing else is left.
TEST(OutputReplacement, ReplacesFilesWithTheLongestNames) {
    TempDir dir;
    const long longest = ::pathconf(dir.path().c_str(), _PC_NAME_MAX);
    ASSERT_GT(longest, 40);
    const std::string path = dir / std::string(static_cast<size_t>(longest), 'c');
    std::ofstream(path) << "earlier";
    const auto text = [&path] {
        std::string line;
        std::getline(std::ifstream(path), line);
        return line;
    };
    const auto entries = [&dir] {
        size_t n = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path())) ++n;
        return n;
    };
    for (const bool keep : {false, true}) {
        detail::OutputReplacement output(path);
        ASSERT_TRUE(output.replaces());
        ASSERT_NE(output.writePath(), path);
        std::ofstream(output.writePath()) << "new";
        EXPECT_EQ(text(), "earlier");
        if (keep) {
            std::string error;
            EXPECT_TRUE(output.commit(error)) << error;
        } else {
            output.abandon();
        }
        EXPECT_EQ(text(), keep ? "new" : "earlier");
        EXPECT_EQ(entries(), 1u);
    }
}

TEST(RawFileReaderSideFile, IsNeverWrittenThroughWhatLiesBesideIt) {
    TempDir dir;
    const std::string path = dir / "rec.raw";
    const std::string side = dir / "rec.zvmark.tmp";
    const std::string victim = dir / "victim.txt";
    writeSynthetic(path, 0, 30'000, 1'000'000, true, 3);
    fs::permissions(path, fs::perms(0644));
    std::ofstream(victim) << "not an index";
    // Links at names a writer of the index could pick, as someone who shares the folder could place
    // them, then a leftover file of an earlier writer.
    fs::create_symlink(victim, side + ".part");
    fs::create_hard_link(victim, side + ".part-000000");
    std::ofstream(side + ".part-left") << "left over";
    const auto beside = [&] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(fs::path(path).parent_path()))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    };
    for (int round = 0; round < 2; ++round) {
        {
            auto reader = open(path);
            ASSERT_NE(reader, nullptr);
            EXPECT_EQ(reader->lastError(), ReaderError::None) << reader->lastErrorMessage();
        }
        std::ifstream in(victim);
        std::string text;
        std::getline(in, text);
        EXPECT_EQ(text, "not an index");
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(side)));
        // Whoever may read the recording may read its index.
        EXPECT_EQ(fs::status(side).permissions(), round == 0 ? fs::perms(0644) : fs::perms(0640));
        // Nothing but the index was added.
        EXPECT_EQ(beside(), (std::vector<std::string>{"rec.raw", "rec.zvmark.tmp", "rec.zvmark.tmp.part",
                                                      "rec.zvmark.tmp.part-000000",
                                                      "rec.zvmark.tmp.part-left", "victim.txt"}));
        // The index is taken when the recording is opened again.
        {
            ScopedLogCapture log(LOG_DETAIL);
            auto reader = open(path);
            ASSERT_NE(reader, nullptr);
            EXPECT_FALSE(log.contains(LOG_WARNING, kCheckFailed));
        }
        fs::remove(side);
        fs::permissions(path, fs::perms(0640));
    }
}

TEST(RawFileReaderSideFile, OlderLayoutIsReadWhileItsCountsFit) {
    TempDir dir;
    const std::string path = dir / "old.raw";
    const std::string side = dir / "old.zvmark.tmp";
    writeSynthetic(path, 16'000'000, 2'000'000, 300'000, true, 9, 5000);  // crosses a wrap-around
    std::map<uint64_t, RawFileReader::Bookmark> built;
    {
        auto reader = open(path);
        ASSERT_NE(reader, nullptr);
        built = reader->getAllBookmarks();
        writeBytes(side, makeV1File(*reader, fs::file_size(path)));
    }
    {
        ScopedLogCapture log(LOG_DETAIL);
        auto reader = open(path);
        ASSERT_NE(reader, nullptr);
        EXPECT_FALSE(log.contains(LOG_WARNING, kCheckFailed));
        const auto& marks = reader->getAllBookmarks();
        ASSERT_EQ(marks.size(), built.size());
        for (auto a = marks.cbegin(), b = built.cbegin(); a != marks.end(); ++a, ++b) {
            EXPECT_EQ(a->first, b->first);
            EXPECT_EQ(a->second.event_number, b->second.event_number);
            EXPECT_EQ(a->second.decoder_state, b->second.decoder_state) << a->first;
        }
    }
    checkExactReading(path, 4);  // the side file in use is still the 1.0.0 one
    // Counts that wrapped past 32 bits half way through cannot be used.
    {
        auto reader = open(path);
        ASSERT_NE(reader, nullptr);
        uint64_t max = 0;
        reader->getMaxEvents(max);
        writeBytes(side, makeV1File(*reader, fs::file_size(path), (uint64_t(1) << 32) - max / 2));
    }
    ScopedLogCapture log(LOG_DETAIL);
    ASSERT_NE(open(path), nullptr);
    EXPECT_TRUE(log.contains(LOG_WARNING, kCheckFailed));
}

TEST(RawFileReaderAccess, EdgeCasesOfTheCursor) {
    TempDir dir;
    const std::string path = dir / "edge.raw";
    writeSynthetic(path, 500'000, 50'000, 1'000'000, true, 2);
    const Recording whole = decodeWhole(path);
    auto reader = open(path);
    ASSERT_NE(reader, nullptr);
    uint64_t start = 0, end = 0, max = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    reader->getMaxEvents(max);
    ASSERT_EQ(max, whole.events.size());
    ASSERT_GT(max, 4000u);

    EXPECT_TRUE(reader->getNEvents(0)->empty());
    EXPECT_EQ(reader->getCurrentPosEventNum(), 0u);
    EXPECT_EQ(reader->getCurrentPosTimeStamp(), start);

    auto first = *reader->getNEvents(1000);
    auto second = *reader->getNEvents(1000);
    ASSERT_EQ(first.size(), 1000u);
    ASSERT_EQ(second.size(), 1000u);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), whole.events.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), whole.events.begin() + 1000));
    EXPECT_EQ(reader->getCurrentPosEventNum(), 2000u);
    EXPECT_EQ(reader->getCurrentPosTimeStamp(), second.back().timestamp + 1);

    {
        ScopedLogCapture log(LOG_DETAIL);
        ASSERT_TRUE(reader->seekNEvents(max - 10));
        EXPECT_EQ(reader->getNEvents(100)->size(), 10u);
        EXPECT_TRUE(log.contains(LOG_WARNING, "Requested number of events exceeds total number of events."));
    }
    std::shared_ptr<std::vector<Event2D>> tail;
    uint64_t k = 0;
    {
        ScopedLogCapture log(LOG_DETAIL);
        ASSERT_TRUE(reader->seekTime(end - 3000));
        k = reader->getCurrentPosEventNum();
        tail = reader->getNTimeEvents(1'000'000);
        EXPECT_EQ(tail->size(), max - k);
        EXPECT_TRUE(log.contains(LOG_WARNING, "Requested interval exceeds end timestamp."));
        // A read past the end answers with a vector of its own: the events of the last read stay.
        const auto after_end = reader->getNTimeEvents(1000);
        EXPECT_TRUE(after_end->empty());
        EXPECT_NE(after_end, tail);
        EXPECT_EQ(tail->size(), max - k);
        EXPECT_TRUE(log.contains(LOG_WARNING, "Current read pos exceeds end timestamp."));
        EXPECT_EQ(reader->getCurrentPosEventNum(), max);
    }
    EXPECT_FALSE(reader->seekTime(end + 1));
    EXPECT_TRUE(reader->reachedEndOfEvents());
    EXPECT_FALSE(reader->seekTime(start - 1));
    EXPECT_FALSE(reader->reachedEndOfEvents());
    {
        ScopedLogCapture log(LOG_DETAIL);
        const auto before_start = reader->getNTimeEvents(0);
        EXPECT_TRUE(before_start->empty());
        EXPECT_NE(before_start, tail);
        EXPECT_EQ(tail->size(), max - k);
        EXPECT_TRUE(log.contains(LOG_WARNING, "Requested interval is before start timestamp."));
    }
    EXPECT_FALSE(reader->seekNEvents(max + 1));
    EXPECT_EQ(reader->getCurrentPosEventNum(), max + 1);
    EXPECT_TRUE(reader->reachedEndOfEvents());
    EXPECT_TRUE(reader->getNEventsGivenStartTimeStamp(end + 5, 10)->empty());
    EXPECT_TRUE(reader->getNTimeEventsGivenStartEvent(max + 5, 10)->empty());

    // The "given" variants seek first.
    auto window = *reader->getNTimeEventsGivenStartTimeStamp(start + 20'000, 1000);
    std::vector<Event2D> expect;
    for (const auto& e : whole.events)
        if (e.timestamp >= start + 20'000 && e.timestamp < start + 21'000) expect.push_back(e);
    EXPECT_EQ(window, expect);
    auto counted = *reader->getNEventsGivenStartEvent(1234, 7);
    EXPECT_TRUE(std::equal(counted.begin(), counted.end(), whole.events.begin() + 1234));
    auto timed = *reader->getNTimeEventsGivenStartEvent(1234, 1);
    ASSERT_FALSE(timed.empty());
    EXPECT_EQ(timed.front(), whole.events[1234]);

    // A cut leaves the cursor at the start of its range, and reading goes on from there although
    // the copy moved the file stream.
    ASSERT_TRUE(reader->extractEventData(start + 20'000, start + 40'000, dir / "cut.raw"));
    EXPECT_EQ(reader->getCurrentPosTimeStamp(), start + 20'000);
    EXPECT_EQ(*reader->getNTimeEvents(1000), expect);

    EXPECT_EQ(reader->addTriggerInCallback([](const EventTriggerIn&) {}), 0u);
    EXPECT_EQ(reader->addTriggerInCallback([](const EventTriggerIn&) {}), 1u);
    EXPECT_TRUE(reader->removeTriggerInCallback(0));
    EXPECT_FALSE(reader->removeTriggerInCallback(0));
}

TEST(RawFileReaderAccess, SeekToABookmarkKeyDecodesOnlyFromTheBookmarkBefore) {
    TempDir dir;
    const std::string path = dir / "mark.raw";
    writeSynthetic(path, 0, 40'000, 3'000'000, true, 4);
    const Recording whole = decodeWhole(path);
    std::map<uint64_t, RawFileReader::Bookmark> marks;
    {
        auto reader = open(path);
        ASSERT_NE(reader, nullptr);
        marks = reader->getAllBookmarks();
    }
    ASSERT_GE(marks.size(), 6u);
    const auto target = std::next(marks.begin(), 4);
    // Spoil the data between the second bookmark and the one before the target (same size, and the
    // stream still starts with its time word, so the side file still matches): landing on the key
    // must not depend on it.
    auto raw = readBytes(path);
    std::fill(raw.begin() + std::ptrdiff_t(std::next(marks.begin())->second.position),
              raw.begin() + std::ptrdiff_t(std::prev(target)->second.position), 0x9F);
    writeBytes(path, raw);
    auto reader = open(path);
    ASSERT_NE(reader, nullptr);
    ASSERT_TRUE(reader->seekTime(target->first));
    // The synthetic stream is time-ordered: the cursor stands at its first event at the key's time,
    // which may come before the bookmark.
    const auto first = std::find_if(whole.events.begin(), whole.events.end(),
                                    [&](const Event2D& e) { return e.timestamp >= target->first; });
    const uint64_t k = uint64_t(first - whole.events.begin());
    EXPECT_LE(k, target->second.event_number);
    EXPECT_EQ(reader->getCurrentPosEventNum(), k);
    auto rest = reader->getNEvents(1000);
    ASSERT_EQ(rest->size(), 1000u);
    EXPECT_TRUE(std::equal(rest->begin(), rest->end(), first));
}

TEST(RawFileReaderExactness, SyntheticRecordingsAcrossWrapArounds) {
    TempDir dir;
    // About 42 s of stream time from just before a wrap-around: three 2^24 us wraps.
    writeSynthetic(dir / "based.raw", (uint64_t(1) << 24) - 700'000, 42'000'000, 40'000, true, 7, 20'000);
    checkExactReading(dir / "based.raw", 1);
    // The same without a time base in the header: decoding starts at the first TIME_HIGH.
    writeSynthetic(dir / "fresh.raw", 3 * (uint64_t(1) << 24) - 300'000, 20'000'000, 50'000, false, 8, 7000);
    checkExactReading(dir / "fresh.raw", 2);
    // No header at all: the payload starts at byte 0.
    {
        auto raw = readBytes(dir / "fresh.raw");
        const std::string end_line = "% end\n";
        const auto at = std::search(raw.begin(), raw.end(), end_line.begin(), end_line.end());
        ASSERT_NE(at, raw.end());
        writeBytes(dir / "bare.raw", std::vector<uint8_t>(at + std::ptrdiff_t(end_line.size()), raw.end()));
        checkExactReading(dir / "bare.raw", 5);
    }
    // Dense: many bookmarks, each one read chunk apart.
    writeSynthetic(dir / "dense.raw", 77, 300'000, 30'000'000, true, 9);
    checkExactReading(dir / "dense.raw", 3);
}

TEST(RawFileReaderExactness, RealRecordings) {
    const auto recordings = testdata::evt3Recordings();
    if (recordings.empty()) GTEST_SKIP() << "no test data folder at " << ZELVAN_TESTDATA_DIR;
    TempDir dir;
    int checked = 0;
    for (const auto& recording : recordings) {
        SCOPED_TRACE(recording.filename().string());
        checkExactReading(testdata::copyInto(dir, recording), uint64_t(++checked));
    }
    EXPECT_GE(checked, 5);
}

// Counted and timed read loops end on every recording and hand out each event exactly once. The
// loops are capped, so that a cursor that never reaches the end fails instead of hanging.
void checkReadLoopsEnd(const std::string& path) {
    const Recording whole = decodeWhole(path);
    ScopedLogCapture quiet(LOG_ERROR);
    auto reader = open(path);
    ASSERT_NE(reader, nullptr);
    uint64_t start = 0, end = 0, max = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    reader->getMaxEvents(max);
    ASSERT_EQ(max, whole.events.size());
    for (const uint64_t k : {uint64_t(1000), uint64_t(7777), max}) {
        SCOPED_TRACE("getNEvents(" + std::to_string(k) + ")");
        ASSERT_TRUE(reader->seekTime(start));
        reader->clearTriggerList();
        std::vector<Event2D> joined;
        uint64_t calls = 0;
        const uint64_t cap = max / k + 3;
        while (!reader->reachedEndOfEvents() && calls < cap) {
            const auto part = reader->getNEvents(k);
            joined.insert(joined.end(), part->begin(), part->end());
            ++calls;
        }
        ASSERT_TRUE(reader->reachedEndOfEvents()) << "still not at the end after " << calls << " reads";
        EXPECT_EQ(joined.size(), whole.events.size());
        EXPECT_TRUE(joined == whole.events);
        EXPECT_EQ(reader->getCurrentPosEventNum(), max);
        // Triggers after the last event are listed too.
        EXPECT_TRUE(reader->getTriggerList() == whole.triggers);
    }
    for (const uint64_t us : {uint64_t(1000), uint64_t(33'333)}) {
        SCOPED_TRACE("getNTimeEvents(" + std::to_string(us) + ")");
        ASSERT_TRUE(reader->seekTime(start));
        std::vector<Event2D> joined;
        uint64_t calls = 0;
        const uint64_t cap = (end - start) / us + 3;
        while (!reader->reachedEndOfEvents() && calls < cap) {
            const auto part = reader->getNTimeEvents(us);
            joined.insert(joined.end(), part->begin(), part->end());
            ++calls;
        }
        ASSERT_TRUE(reader->reachedEndOfEvents()) << "still not at the end after " << calls << " reads";
        EXPECT_TRUE(joined == whole.events);
    }
}

TEST(RawFileReaderAccess, ReadLoopsEndOnEveryRecording) {
    TempDir dir;
    writeSynthetic(dir / "synthetic.raw", 40'000, 300'000, 1'000'000, true, 6, 3000);
    checkReadLoopsEnd(dir / "synthetic.raw");
    const auto recordings = testdata::evt3Recordings();
    if (recordings.empty()) GTEST_SKIP() << "no test data folder at " << ZELVAN_TESTDATA_DIR;
    int checked = 0;
    for (const auto& recording : recordings) {
        SCOPED_TRACE(recording.filename().string());
        checkReadLoopsEnd(testdata::copyInto(dir, recording));
        ++checked;
    }
    EXPECT_GE(checked, 5);
}

// The side file of `path` rewritten from the reader's bookmarks after `change`, with a valid CRC.
void forgeSideFile(const std::string& path, const std::function<void(detail::BookmarkMap&)>& change) {
    ScopedLogCapture quiet(LOG_ERROR);
    auto reader = open(path);
    ASSERT_NE(reader, nullptr);
    detail::BookmarkMap marks = reader->getAllBookmarks();
    change(marks);
    const RawFileHeader& header = reader->getHeader();
    const detail::BookmarkFileContext context{fs::file_size(path),
                                              header.payload_offset,
                                              header.info.width,
                                              header.info.height,
                                              true,
                                              header.info.dvs_start_timestamp};
    writeBytes(reader->getBookmarkFilePath(), detail::serializeBookmarks(marks, context));
}

TEST(RawFileReaderSideFile, AFinalBookmarkThatDisagreesWithTheDataIsRefused) {
    TempDir dir;
    const std::string path = dir / "final.raw";
    writeSynthetic(path, 1000, 60'000, 1'000'000, true, 8, 2000);
    const Recording whole = decodeWhole(path);
    auto check = [&](const char* what, const std::function<void(detail::BookmarkMap&)>& change) {
        SCOPED_TRACE(what);
        forgeSideFile(path, change);
        ScopedLogCapture log(LOG_DETAIL);
        auto reader = open(path);
        ASSERT_NE(reader, nullptr);
        EXPECT_EQ(log.count(LOG_WARNING, kCheckFailed), 1u);
        uint64_t max = 0, end = 0;
        reader->getMaxEvents(max);
        reader->getEndTimeStamp(end);
        EXPECT_EQ(max, whole.events.size());
        EXPECT_EQ(end, reader->getAllBookmarks().rbegin()->first);
        EXPECT_TRUE(*reader->getNEvents(max) == whole.events);
    };
    // The untouched index is reused.
    forgeSideFile(path, [](detail::BookmarkMap&) {});
    {
        ScopedLogCapture log(LOG_DETAIL);
        ASSERT_NE(open(path), nullptr);
        EXPECT_FALSE(log.contains(LOG_WARNING, kCheckFailed));
    }
    check("more events", [](detail::BookmarkMap& m) { m.rbegin()->second.event_number += 1000; });
    check("fewer events", [](detail::BookmarkMap& m) { m.rbegin()->second.event_number -= 1; });
    check("a later end", [](detail::BookmarkMap& m) {
        auto last = m.extract(std::prev(m.end()));
        last.key() = last.mapped().timestamp = uint64_t(1) << 60;
        m.insert(std::move(last));
    });
    check("a trigger too many", [](detail::BookmarkMap& m) {
        m.rbegin()->second.triggers.emplace_back(int16_t(0), int16_t(1), m.rbegin()->first);
    });
}

// Reads of a recording whose data ends before the events that its index counts (an index that no
// longer matches, a file that shrank after loading) end: counted loops as well as timed ones.
TEST(RawFileReaderAccess, ReadLoopsEndWhenTheDataRunsShortOfTheIndex) {
    TempDir dir;
    const std::string path = dir / "short.raw";
    writeSynthetic(path, 1000, 200'000, 1'000'000, true, 2);
    // The stream time goes on 10 ms after the last event: handing out the last event does not bring
    // the cursor beyond the end by itself.
    auto bytes = readBytes(path);
    const uint32_t later = 0x8000u | (((201'000u + 10'000u) >> 12) & 0xFFFu);
    bytes.push_back(uint8_t(later & 0xFF));
    bytes.push_back(uint8_t(later >> 8));
    writeBytes(path, bytes);
    const Recording whole = decodeWhole(path);
    ASSERT_GT(whole.events.size(), 100'000u);
    // Every count from the middle on is 1000 too high: the final stretch agrees with its bookmark.
    forgeSideFile(path, [](detail::BookmarkMap& m) {
        auto it = std::next(m.begin(), std::ptrdiff_t(m.size() / 2));
        for (; it != m.end(); ++it) it->second.event_number += 1000;
    });
    for (const uint64_t k : {uint64_t(1000), uint64_t(7777)}) {
        SCOPED_TRACE("getNEvents(" + std::to_string(k) + ")");
        ScopedLogCapture log(LOG_DETAIL);
        auto reader = open(path);
        ASSERT_NE(reader, nullptr);
        EXPECT_FALSE(log.contains(LOG_WARNING, kCheckFailed));
        uint64_t max = 0;
        reader->getMaxEvents(max);
        ASSERT_EQ(max, whole.events.size() + 1000);
        std::vector<Event2D> joined;
        uint64_t calls = 0;
        while (!reader->reachedEndOfEvents() && calls < max / k + 3) {
            const auto part = reader->getNEvents(k);
            joined.insert(joined.end(), part->begin(), part->end());
            ++calls;
        }
        ASSERT_TRUE(reader->reachedEndOfEvents()) << "still not at the end after " << calls << " reads";
        EXPECT_TRUE(joined == whole.events);
        EXPECT_EQ(
            log.count(LOG_ERROR,
                      "The raw file " + path + " holds less data than its index: reading ends after " +
                          std::to_string(whole.events.size()) + " of " + std::to_string(max) + " events."),
            1u);
        EXPECT_TRUE(reader->getNEvents(k)->empty());
        EXPECT_TRUE(reader->reachedEndOfEvents());
    }

    // The recording shrinks to half after it was loaded.
    fs::remove(RawFileReader::bookmarkPathFor(path));
    ScopedLogCapture log(LOG_DETAIL);
    auto reader = open(path);
    ASSERT_NE(reader, nullptr);
    uint64_t start = 0, end = 0, max = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    reader->getMaxEvents(max);
    fs::resize_file(path, fs::file_size(path) / 2);
    const Recording half = decodeWhole(path);
    ASSERT_FALSE(half.events.empty());
    {
        std::vector<Event2D> joined;
        uint64_t calls = 0;
        while (!reader->reachedEndOfEvents() && calls < max / 1000 + 3) {
            const auto part = reader->getNEvents(1000);
            joined.insert(joined.end(), part->begin(), part->end());
            ++calls;
        }
        ASSERT_TRUE(reader->reachedEndOfEvents()) << "still not at the end after " << calls << " reads";
        EXPECT_LE(joined.size(), half.events.size());
        EXPECT_TRUE(std::equal(joined.begin(), joined.end(), whole.events.begin()));
        EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "Read error in raw file"));
    }
    // A timed loop ends as soon as the data does, not only once its windows have passed the end.
    ASSERT_TRUE(reader->seekTime(start));
    const uint64_t us = 1000;
    const uint64_t cap = (half.events.back().timestamp - start) / us + 3;
    ASSERT_LT(cap, (end - start) / us);
    uint64_t calls = 0;
    while (!reader->reachedEndOfEvents() && calls < cap) {
        reader->getNTimeEvents(us);
        ++calls;
    }
    EXPECT_TRUE(reader->reachedEndOfEvents()) << "still not at the end after " << calls << " reads";
}

// A reader of another kind implements only what it has: the trigger list's operations have defaults.
class MinimalReader : public DvsFileReader {
public:
    bool loadFile() override { return true; }
    bool getStartTimeStamp(uint64_t& t) override { return zero(t); }
    bool getEndTimeStamp(uint64_t& t) override { return zero(t); }
    bool getMaxEvents(uint64_t& n) override { return zero(n); }
    bool reachedEndOfEvents() override { return true; }
    bool seekTime(uint64_t) override { return false; }
    bool seekNEvents(uint64_t) override { return false; }
    uint64_t getCurrentPosTimeStamp() override { return 0; }
    uint64_t getCurrentPosEventNum() override { return 0; }
    std::shared_ptr<std::vector<Event2D>> getNEvents(uint64_t) override { return none(); }
    std::shared_ptr<std::vector<Event2D>> getNEventsGivenStartTimeStamp(uint64_t, uint64_t) override {
        return none();
    }
    std::shared_ptr<std::vector<Event2D>> getNEventsGivenStartEvent(uint64_t, uint64_t) override {
        return none();
    }
    std::shared_ptr<std::vector<Event2D>> getNTimeEvents(uint64_t) override { return none(); }
    std::shared_ptr<std::vector<Event2D>> getNTimeEventsGivenStartTimeStamp(uint64_t, uint64_t) override {
        return none();
    }
    std::shared_ptr<std::vector<Event2D>> getNTimeEventsGivenStartEvent(uint64_t, uint64_t) override {
        return none();
    }
    bool extractEventData(uint64_t, uint64_t, const std::string&) override { return false; }
    bool exportEventDataToVideo(uint64_t, uint64_t, const std::string&) override { return false; }
    uint32_t addTriggerInCallback(std::function<void(const EventTriggerIn&)>) override { return 0; }
    bool removeTriggerInCallback(uint32_t) override { return false; }
    int getWidth() override { return 1; }
    int getHeight() override { return 1; }

private:
    static bool zero(uint64_t& value) {
        value = 0;
        return true;
    }
    static std::shared_ptr<std::vector<Event2D>> none() { return std::make_shared<std::vector<Event2D>>(); }
};

TEST(RawFileReaderFactory, ReadersWithoutTriggersNeedNoTriggerListOperations) {
    MinimalReader reader;
    DvsFileReader& any = reader;
    any.clearTriggerList();
    EXPECT_TRUE(any.getTriggerList().empty());
    DvsFileInfo info;
    EXPECT_FALSE(any.getFileInfo(info));
}

TEST(RawFileReaderSideFile, IsReusedForAPayloadOfOddLength) {
    TempDir dir;
    const std::string path = dir / "odd.raw";
    writeSynthetic(path, 0, 20'000, 1'000'000, true, 3);
    auto raw = readBytes(path);
    raw.push_back(0x80);  // half a word at the end
    writeBytes(path, raw);
    const Recording whole = decodeWhole(path);
    {
        ScopedLogCapture log(LOG_DETAIL);
        ASSERT_NE(open(path), nullptr);
        EXPECT_FALSE(log.contains(LOG_WARNING, kCheckFailed));
    }
    ASSERT_TRUE(fs::exists(dir / "odd.zvmark.tmp"));
    ScopedLogCapture log(LOG_DETAIL);
    auto reader = open(path);
    ASSERT_NE(reader, nullptr);
    EXPECT_FALSE(log.contains(LOG_WARNING, kCheckFailed));
    EXPECT_FALSE(log.containsSubstring(LOG_WARNING, "inconsistent"));
    uint64_t max = 0;
    reader->getMaxEvents(max);
    ASSERT_EQ(max, whole.events.size());
    EXPECT_TRUE(*reader->getNEvents(max) == whole.events);
}

TEST(RawFileReaderAccess, ReadingThePartTwiceListsItsTriggersOnce) {
    TempDir dir;
    const std::string path = dir / "trig.raw";
    writeSynthetic(path, 0, 200'000, 500'000, true, 5, 1000);
    const Recording whole = decodeWhole(path);
    ASSERT_GT(whole.triggers.size(), 150u);
    auto created = DvsFileReader::createFileReader(path);
    ASSERT_NE(created, nullptr);
    ASSERT_TRUE(created->loadFile());
    DvsFileReader& reader = *created;
    auto readAll = [&reader](uint64_t from) {
        ASSERT_TRUE(reader.seekTime(from));
        for (int i = 0; i < 1000 && !reader.reachedEndOfEvents(); ++i) reader.getNTimeEvents(7000);
        ASSERT_TRUE(reader.reachedEndOfEvents());
    };
    readAll(0);
    EXPECT_TRUE(reader.getTriggerList() == whole.triggers);
    readAll(0);
    EXPECT_TRUE(reader.getTriggerList() == whole.triggers);
    // Reading the second half again, by count from the middle, adds nothing either.
    ASSERT_TRUE(reader.seekNEvents(whole.events.size() / 2));
    for (int i = 0; i < 1000 && !reader.reachedEndOfEvents(); ++i) reader.getNEvents(3000);
    EXPECT_TRUE(reader.getTriggerList() == whole.triggers);

    // After clearing, reading one stretch twice lists its triggers once, in stream order: a run of
    // the recording's triggers from the first one at or after the seek time on (reading decodes
    // whole chunks, so the run may reach past the stretch).
    reader.clearTriggerList();
    EXPECT_TRUE(reader.getTriggerList().empty());
    ASSERT_TRUE(reader.seekTime(100'000));
    reader.getNTimeEvents(50'000);
    reader.getNTimeEvents(20'000);
    ASSERT_TRUE(reader.seekTime(100'000));
    reader.getNTimeEvents(70'000);
    const auto listed = reader.getTriggerList();
    const auto first = std::find_if(whole.triggers.begin(), whole.triggers.end(),
                                    [](const EventTriggerIn& t) { return t.timestamp >= 100'000; });
    ASSERT_GE(listed.size(), 70u);
    ASSERT_LE(listed.size(), size_t(whole.triggers.end() - first));
    EXPECT_TRUE(std::equal(listed.begin(), listed.end(), first));
}

// A file built the way a common cutter builds one: the recording's header, with a stale
// "% dvs_start_timestamp", copied unchanged in front of the bytes from `fraction` of the payload on.
// Returns the events of the recording that a decoder starting at the first TIME_HIGH of those bytes
// gives, with their times in the recording.
std::vector<Event2D> writeForeignCut(const std::string& source, const std::string& path, uint64_t header_time,
                                     double fraction) {
    RawFileHeader header;
    std::string error;
    EXPECT_TRUE(readRawFileHeader(source, header, error)) << error;
    const auto bytes = readBytes(source);
    const uint64_t payload = header.payload_offset;
    uint64_t from = payload + (uint64_t((bytes.size() - payload) * fraction) & ~uint64_t(1));
    // Start in the middle of a time period, not at a time word.
    while ((bytes[from + 1] >> 4) == 0x8 || (bytes[from + 1] >> 4) == 0x6) from += 2;
    uint64_t first_time_high = from;
    while ((bytes[first_time_high + 1] >> 4) != 0x8) first_time_high += 2;
    EXPECT_GT(first_time_high, from);

    DvsFileInfo info = header.info;
    info.dvs_start_timestamp = header_time;
    const std::string text = generateDvsFileHeader(info);
    std::vector<uint8_t> out(text.begin(), text.end());
    out.insert(out.end(), bytes.begin() + std::ptrdiff_t(from), bytes.end());
    writeBytes(path, out);

    const Recording whole = decodeWhole(source);
    EVT3Decoder d(1280, 720);
    uint64_t before = 0;
    d.setEventsStreamHandleCallback([&](Event2D* f, Event2D* l) { before += uint64_t(l - f); });
    if (header.has_dvs_start_timestamp) d.setTimeBase(header.info.dvs_start_timestamp);
    d.decode(bytes.data() + payload, bytes.data() + first_time_high);
    return std::vector<Event2D>(whole.events.begin() + std::ptrdiff_t(before), whole.events.end());
}

size_t countWarnings(const ScopedLogCapture& log, const std::string& part) {
    const auto lines = log.lines();
    return size_t(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
        return l.level == LOG_WARNING && l.text.find(part) != std::string::npos;
    }));
}

TEST(RawFileReaderForeignFiles, AHeaderTimeThatDisagreesWithTheStreamIsNotTrusted) {
    TempDir dir;
    struct Case {
        const char* name;
        uint64_t t0, header_time;
    };
    // A stale 0 in front of bytes from 300 ms on; a stale time in the same 2^24 us epoch; a stale time
    // before a wrap-around in front of bytes after it.
    for (const Case& c : {Case{"zero", 0, 0},
                          Case{"epoch", 3 * (uint64_t(1) << 24) + 4'900'000, 3 * (uint64_t(1) << 24) + 100},
                          Case{"wrap", (uint64_t(1) << 24) + 500'000, 16'700'000}}) {
        SCOPED_TRACE(c.name);
        const std::string source = dir / (std::string(c.name) + "-source.raw");
        const std::string path = dir / (std::string(c.name) + ".raw");
        writeSynthetic(source, c.t0, 750'000, 400'000, true, 12, 5000);
        const auto expected = writeForeignCut(source, path, c.header_time, 0.4);
        ASSERT_GT(expected.size(), 100'000u);
        ASSERT_GT(expected.front().timestamp, c.t0 + 290'000);
        for (int round = 0; round < 2; ++round) {  // built, then from the side file
            ScopedLogCapture log(LOG_DETAIL);
            auto reader = open(path);
            ASSERT_NE(reader, nullptr);
            EXPECT_EQ(countWarnings(log, "disagrees with the stream"), 1u);
            EXPECT_EQ(log.count(LOG_WARNING, kCheckFailed), 0u);
            uint64_t start = 0, end = 0, max = 0;
            reader->getStartTimeStamp(start);
            reader->getEndTimeStamp(end);
            reader->getMaxEvents(max);
            ASSERT_EQ(max, expected.size());
            EXPECT_LE(start, expected.front().timestamp);
            EXPECT_GT(start + 4096, expected.front().timestamp);
            EXPECT_TRUE(*reader->getNEvents(max) == expected);
            std::vector<uint64_t> latest(expected.size() + 1, 0);
            for (size_t i = 0; i < expected.size(); ++i)
                latest[i + 1] = std::max(latest[i], expected[i].timestamp + 1);
            std::mt19937_64 rng(round + 1);
            for (int i = 0; i < 20; ++i) {
                const uint64_t t = start + rng() % (end - start + 1);
                ASSERT_TRUE(reader->seekTime(t));
                const uint64_t k = reader->getCurrentPosEventNum();
                ASSERT_LE(latest[k], t);
                const auto part = reader->getNEvents(100);
                ASSERT_TRUE(std::equal(part->begin(), part->end(), expected.begin() + std::ptrdiff_t(k)));
            }
        }
    }
}

TEST(RawFileReaderForeignFiles, AHeaderTimeThatAgreesIsTrusted) {
    TempDir dir;
    ScopedLogCapture log(LOG_DETAIL);
    // The first TIME_HIGH word carries the TIME_HIGH after the header time's: the events before it
    // are decoded from the header time.
    std::string header = "% evt 3.0\n% dvs_start_timestamp 8191\n% end\n";
    std::vector<uint8_t> bytes(header.begin(), header.end());
    for (const uint8_t b : {0x05, 0x00, 0x07, 0x20, 0x02, 0x80, 0x03, 0x60, 0x08, 0x20}) bytes.push_back(b);
    writeBytes(dir / "agree.raw", bytes);
    auto reader = open(dir / "agree.raw");
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(countWarnings(log, "disagrees with the stream"), 0u);
    const std::vector<Event2D> expect{{7, 5, 0, 8191}, {8, 5, 0, 8195}};
    EXPECT_TRUE(*reader->getNEvents(10) == expect);
}

// ---- damaged recordings ----

// Opens a damaged copy of a recording whose first damaged byte is at `damaged_from`: the reader
// opens it or refuses it with an error line, never crashes or hangs, and hands out, in order, the
// events that the undamaged recording decodes to from the words before that byte.
void checkDamagedCopy(const std::string& path, const std::vector<Event2D>& intact, uint64_t seed) {
    ScopedLogCapture log(LOG_DETAIL);
    RawFileReader reader(path);
    if (!reader.loadFile()) {
        const auto lines = log.lines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& l) {
            return l.level == LOG_ERROR;
        })) << "refused without a reason";
        EXPECT_TRUE(intact.empty()) << "refused although " << intact.size() << " events are intact";
        return;
    }
    uint64_t start = 0, end = 0, max = 0;
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    reader.getMaxEvents(max);
    ASSERT_GE(max, intact.size());
    ASSERT_LE(start, end);
    // Counted reads, capped so that a cursor that never reaches the end fails instead of hanging.
    constexpr uint64_t kStep = 50'000;
    std::vector<Event2D> got;
    for (uint64_t calls = 0; calls <= max / kStep + 2 && !reader.reachedEndOfEvents(); ++calls) {
        const auto part = reader.getNEvents(kStep);
        got.insert(got.end(), part->begin(), part->end());
    }
    ASSERT_TRUE(reader.reachedEndOfEvents());
    ASSERT_EQ(got.size(), max);
    ASSERT_TRUE(std::equal(intact.begin(), intact.end(), got.begin())) << "an intact event differs";
    // A few seeks and timed reads anywhere.
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 3; ++i) {
        const uint64_t t = start + rng() % (end - start + 1);
        if (!reader.seekTime(t)) continue;
        for (int k = 0; k < 4 && !reader.reachedEndOfEvents(); ++k) reader.getNTimeEvents(1 + rng() % 20'000);
        reader.seekNEvents(rng() % (max + 1));
        reader.getNEvents(1 + rng() % 10'000);
    }
}

TEST(RawFileReaderDamage, DamagedRecordingsOpenOrAreRefusedAndKeepTheirIntactEvents) {
    const auto recordings = testdata::evt3Recordings();
    if (recordings.empty()) GTEST_SKIP() << "no test data folder at " << ZELVAN_TESTDATA_DIR;
    TempDir dir;
    std::mt19937_64 rng(20261207);
    constexpr int kVariantsPerFile = 60;
    int variants = 0;
    for (const auto& recording : recordings) {
        SCOPED_TRACE(recording.filename().string());
        const auto original = readBytes(recording.string());
        RawFileHeader header;
        std::string error;
        ASSERT_TRUE(readRawFileHeader(recording.string(), header, error)) << error;
        ASSERT_FALSE(header.has_dvs_start_timestamp);
        // Events of the undamaged file that the words before each offset give: decode up to it.
        auto intactBefore = [&](uint64_t offset) {
            std::vector<Event2D> events;
            if (offset <= header.payload_offset) return events;
            EVT3Decoder d(1280, 720);
            d.setEventsStreamHandleCallback(
                [&](Event2D* f, Event2D* l) { events.insert(events.end(), f, l); });
            d.decode(original.data() + header.payload_offset, original.data() + offset);
            return events;
        };
        for (int v = 0; v < kVariantsPerFile; ++v) {
            auto bytes = original;
            uint64_t damaged_from = bytes.size();
            std::string what;
            switch (v % 3) {
                case 0: {  // random byte flips, mostly in the payload
                    const int flips = 1 + int(rng() % 8);
                    for (int i = 0; i < flips; ++i) {
                        const uint64_t at = rng() % bytes.size();
                        const uint8_t mask = uint8_t(1u << (rng() % 8));
                        bytes[at] ^= mask;
                        damaged_from = std::min(damaged_from, at);
                    }
                    what = "flips";
                    break;
                }
                case 1: {  // truncated at any offset
                    damaged_from = rng() % bytes.size();
                    bytes.resize(damaged_from);
                    what = "truncated";
                    break;
                }
                default: {  // a zeroed block
                    const uint64_t at = rng() % bytes.size();
                    const uint64_t n = std::min<uint64_t>(1 + rng() % 65'536, bytes.size() - at);
                    std::fill(bytes.begin() + std::ptrdiff_t(at), bytes.begin() + std::ptrdiff_t(at + n), 0);
                    damaged_from = at;
                    what = "zeroed";
                    break;
                }
            }
            SCOPED_TRACE("variant " + std::to_string(v) + " (" + what + " from byte " +
                         std::to_string(damaged_from) + ")");
            const std::string path = dir / ("variant" + std::to_string(variants++) + ".raw");
            writeBytes(path, bytes);
            // Damage in the header can change where the payload starts: nothing is known intact then.
            const auto intact = intactBefore(damaged_from);
            checkDamagedCopy(path, intact, rng());
            fs::remove(path);
            fs::remove(RawFileReader::bookmarkPathFor(path));
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
    EXPECT_GE(variants, 5 * kVariantsPerFile);
}

// ---- reasons of failures ----

TEST(RawFileReaderReasons, LoadingFailuresNameTheirReason) {
    TempDir dir;
    ScopedLogCapture log(LOG_DETAIL);
    // A missing recording.
    RawFileReader missing(dir / "missing.raw");
    EXPECT_FALSE(missing.loadFile());
    EXPECT_EQ(missing.lastError(), ReaderError::CannotOpen);
    EXPECT_EQ(missing.lastErrorMessage(), "Failed to open raw file: " + (dir / "missing.raw"));
    EXPECT_TRUE(log.contains(LOG_ERROR, missing.lastErrorMessage()));

    // What is not a regular file holds no recording: a device (which may never end), a pipe (which
    // waits for a writer: refused without opening it) and a folder.
    ASSERT_EQ(::mkfifo((dir / "pipe.raw").c_str(), 0600), 0);
    fs::create_directory(dir / "folder.raw");
    for (const std::string& path : {std::string("/dev/null"), dir / "pipe.raw", dir / "folder.raw"}) {
        SCOPED_TRACE(path);
        RawFileReader reader(path);
        EXPECT_FALSE(reader.loadFile());
        EXPECT_EQ(reader.lastError(), ReaderError::CannotOpen);
        EXPECT_EQ(reader.lastErrorMessage(), "Failed to open raw file: " + path + " is not a regular file.");
    }
    {
        // A pipe under the index's name is no index: the recording opens with one of its own.
        writeSynthetic(dir / "piped.raw", 0, 100'000, 100'000, true);
        const std::string side = RawFileReader::bookmarkPathFor(dir / "piped.raw");
        ASSERT_EQ(::mkfifo(side.c_str(), 0600), 0);
        RawFileReader reader(dir / "piped.raw");
        EXPECT_TRUE(reader.loadFile()) << reader.lastErrorMessage();
        EXPECT_TRUE(fs::is_regular_file(side));
    }

    // Files whose header is not that of an EVT 3.0 raw file: the test data's EVT 2.0 recording, and a
    // header line that is not understood.
    const fs::path evt2 = fs::path(ZELVAN_TESTDATA_DIR) / "expelliarmus_evt2_sample.raw";
    std::vector<std::string> rejected;
    if (fs::exists(evt2)) rejected.push_back(testdata::copyInto(dir, evt2));
    const std::string geometry = "% evt 3.0\n% geometry big\n% end\n";
    writeBytes(dir / "geometry.raw", {geometry.begin(), geometry.end()});
    rejected.push_back(dir / "geometry.raw");
    for (const std::string& path : rejected) {
        SCOPED_TRACE(path);
        RawFileReader reader(path);
        EXPECT_FALSE(reader.loadFile());
        EXPECT_EQ(reader.lastError(), ReaderError::NotRawFile);
        EXPECT_EQ(reader.lastErrorMessage().rfind("Raw file header rejected: ", 0), 0u)
            << reader.lastErrorMessage();
        EXPECT_TRUE(log.contains(LOG_ERROR, reader.lastErrorMessage()));
        EXPECT_FALSE(fs::exists(RawFileReader::bookmarkPathFor(path)));
    }

    // A raw file without events.
    writeBytes(dir / "empty.raw", {'%', ' ', 'e', 'n', 'd', '\n', 0x01, 0x80, 0x10, 0x60});
    RawFileReader empty(dir / "empty.raw");
    EXPECT_FALSE(empty.loadFile());
    EXPECT_EQ(empty.lastError(), ReaderError::NoEvents);
    EXPECT_EQ(empty.lastErrorMessage(), "Loading raw file failed. There is no data in the file.");

    // A recording that loads leaves no reason.
    writeSynthetic(dir / "good.raw", 0, 20'000, 500'000, true);
    RawFileReader good(dir / "good.raw");
    ASSERT_TRUE(good.loadFile());
    EXPECT_EQ(good.lastError(), ReaderError::None);
    EXPECT_EQ(good.lastErrorMessage(), "");
}

TEST(RawFileReaderReasons, NothingWorksBeforeLoading) {
    TempDir dir;
    writeSynthetic(dir / "rec.raw", 0, 20'000, 500'000, true);
    ScopedLogCapture log(LOG_DETAIL);
    RawFileReader reader(dir / "rec.raw");
    EXPECT_FALSE(reader.seekTime(0));
    EXPECT_EQ(reader.lastError(), ReaderError::NotLoaded);
    EXPECT_FALSE(reader.seekNEvents(0));
    EXPECT_EQ(reader.lastError(), ReaderError::NotLoaded);
    EXPECT_TRUE(reader.getNEvents(10)->empty());
    EXPECT_EQ(reader.lastError(), ReaderError::NotLoaded);
    EXPECT_TRUE(reader.getNTimeEventsGivenStartTimeStamp(0, 1000)->empty());
    EXPECT_EQ(reader.lastError(), ReaderError::NotLoaded);
    EXPECT_FALSE(reader.extractEventData(0, 10'000, dir / "cut.raw"));
    EXPECT_EQ(reader.lastError(), ReaderError::NotLoaded);
    EXPECT_EQ(reader.lastErrorMessage(), "extractEventData: no recording loaded.");
    EXPECT_FALSE(reader.exportEventDataToVideo(0, 10'000, dir / "cut.mp4"));
    EXPECT_EQ(reader.lastError(), ReaderError::NotLoaded);
    EXPECT_EQ(reader.lastErrorMessage(), "exportEventDataToVideo: no recording loaded.");
    EXPECT_FALSE(fs::exists(dir / "cut.raw"));
    EXPECT_FALSE(fs::exists(dir / "cut.mp4"));
    // Once loaded, the next operation starts without the old reason.
    ASSERT_TRUE(reader.loadFile());
    EXPECT_EQ(reader.lastError(), ReaderError::None);
    EXPECT_TRUE(reader.seekTime(1000));
    EXPECT_EQ(reader.lastError(), ReaderError::None);
}

// A damaged index or one that cannot be saved does not stop loading; the reason tells what happened.
TEST(RawFileReaderReasons, AnIndexThatIsDamagedOrCannotBeSavedIsNamed) {
    const auto recordings = testdata::evt3Recordings();
    if (recordings.empty()) GTEST_SKIP() << "no test data folder at " << ZELVAN_TESTDATA_DIR;
    TempDir dir;
    const std::string path = testdata::copyInto(dir, recordings.front());
    const std::string side = RawFileReader::bookmarkPathFor(path);
    const Recording whole = decodeWhole(path);
    ScopedLogCapture log(LOG_DETAIL);
    {
        RawFileReader reader(path);
        ASSERT_TRUE(reader.loadFile());
        EXPECT_EQ(reader.lastError(), ReaderError::None);
    }
    const auto good = readBytes(side);
    ASSERT_FALSE(good.empty());

    auto bad = good;
    bad[bad.size() / 2] ^= 0x10;
    writeBytes(side, bad);
    {
        RawFileReader reader(path);
        ASSERT_TRUE(reader.loadFile());
        EXPECT_EQ(reader.lastError(), ReaderError::CorruptIndex);
        EXPECT_EQ(reader.lastErrorMessage(), kCheckFailed);
        uint64_t max = 0;
        reader.getMaxEvents(max);
        EXPECT_EQ(max, whole.events.size());
        EXPECT_EQ(readBytes(side), good);  // rebuilt and saved again
        // The next operation starts afresh.
        EXPECT_TRUE(reader.seekNEvents(max / 2));
        EXPECT_EQ(reader.lastError(), ReaderError::None);
    }

    // A folder where the index belongs: it can be neither read nor written, the recording still reads.
    fs::remove(side);
    fs::create_directory(side);
    {
        RawFileReader reader(path);
        ASSERT_TRUE(reader.loadFile());
        EXPECT_EQ(reader.lastError(), ReaderError::CannotWriteIndex);
        EXPECT_NE(reader.lastErrorMessage().find("Cannot save the index " + side + ": Is a directory"),
                  std::string::npos)
            << reader.lastErrorMessage();
        EXPECT_TRUE(log.containsSubstring(LOG_ERROR, "Cannot save the index " + side + ": Is a directory"));
        uint64_t max = 0;
        reader.getMaxEvents(max);
        EXPECT_TRUE(*reader.getNEvents(max) == whole.events);
        EXPECT_EQ(reader.lastError(), ReaderError::None);
    }
    EXPECT_TRUE(fs::is_directory(side));
    for (const auto& entry : fs::directory_iterator(fs::path(side).parent_path()))
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos) << entry.path();
}

TEST(RawFileReaderReasons, SeeksOutsideTheRecordingAndLostDataAreNamed) {
    TempDir dir;
    const std::string path = dir / "rec.raw";
    writeSynthetic(path, 1000, 100'000, 1'000'000, true, 4);
    ScopedLogCapture log(LOG_DETAIL);
    auto reader = open(path);
    ASSERT_NE(reader, nullptr);
    uint64_t start = 0, end = 0, max = 0;
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    reader->getMaxEvents(max);

    EXPECT_FALSE(reader->seekTime(end + 1));
    EXPECT_EQ(reader->lastError(), ReaderError::OutOfRange);
    EXPECT_NE(reader->lastErrorMessage().find(std::to_string(end + 1)), std::string::npos)
        << reader->lastErrorMessage();
    EXPECT_FALSE(reader->seekTime(start - 1));
    EXPECT_EQ(reader->lastError(), ReaderError::OutOfRange);
    EXPECT_FALSE(reader->seekNEvents(max + 1));
    EXPECT_EQ(reader->lastError(), ReaderError::OutOfRange);
    EXPECT_TRUE(reader->getNEventsGivenStartEvent(max + 1, 10)->empty());
    EXPECT_EQ(reader->lastError(), ReaderError::OutOfRange);
    EXPECT_TRUE(reader->getNTimeEventsGivenStartTimeStamp(end + 1, 1000)->empty());
    EXPECT_EQ(reader->lastError(), ReaderError::OutOfRange);
    // A seek that is only an answer logs nothing.
    EXPECT_FALSE(log.containsSubstring(LOG_ERROR, reader->lastErrorMessage()));
    // Reading goes on as before.
    EXPECT_TRUE(reader->seekTime(start));
    EXPECT_EQ(reader->lastError(), ReaderError::None);
    EXPECT_EQ(reader->getNEvents(100)->size(), 100u);
    EXPECT_EQ(reader->lastError(), ReaderError::None);

    // The recording shrinks after loading: the read that meets the end of the data says so.
    fs::resize_file(path, fs::file_size(path) / 2);
    ReaderError seen = ReaderError::None;
    std::string message;
    for (int i = 0; i < 1000 && !reader->reachedEndOfEvents(); ++i) {
        reader->getNEvents(5000);
        if (reader->lastError() != ReaderError::None) {
            seen = reader->lastError();
            message = reader->lastErrorMessage();
        }
    }
    ASSERT_TRUE(reader->reachedEndOfEvents());
    EXPECT_EQ(seen, ReaderError::ReadError);
    EXPECT_EQ(message.rfind("Read error in raw file " + path, 0), 0u) << message;
    EXPECT_TRUE(log.contains(LOG_ERROR, message));
}

// ---- progress of loading ----

// The largest of the real recordings (the one whose index build reports most often).
fs::path largestRecording() {
    const auto recordings = testdata::evt3Recordings();
    if (recordings.empty()) return {};
    return *std::max_element(recordings.begin(), recordings.end(), [](const fs::path& a, const fs::path& b) {
        return fs::file_size(a) < fs::file_size(b);
    });
}

TEST(RawFileReaderProgress, LoadingReportsTheBytesScannedUpToTheFileSize) {
    const fs::path recording = largestRecording();
    if (recording.empty()) GTEST_SKIP() << "no test data folder at " << ZELVAN_TESTDATA_DIR;
    TempDir dir;
    const std::string path = testdata::copyInto(dir, recording);
    const std::string side = RawFileReader::bookmarkPathFor(path);
    const uint64_t size = fs::file_size(path);
    ASSERT_GT(size, 2 * RawFileReader::kLoadProgressBytes);
    zelvan::testing::ProgressRecord progress;

    // Building the index: a report about every kLoadProgressBytes scanned, then the whole file.
    {
        RawFileReader reader(path);
        reader.setProgressCallback(progress.callback());
        ASSERT_TRUE(reader.loadFile());
        ASSERT_GE(progress.calls.size(), size / RawFileReader::kLoadProgressBytes);
        EXPECT_LE(progress.calls.size(), size / RawFileReader::kLoadProgressBytes + 1);
        EXPECT_EQ(progress.calls.front().total, size);
        EXPECT_LT(progress.calls.front().done, size);
        EXPECT_EQ(progress.calls.back().done, size);
        EXPECT_TRUE(fs::exists(side));
    }
    // Reloading the side file takes no scan of the recording: one report, the whole file.
    progress.reset();
    {
        RawFileReader reader(path);
        reader.setProgressCallback(progress.callback());
        ASSERT_TRUE(reader.loadFile());
        ASSERT_EQ(progress.calls.size(), 1u);
        EXPECT_EQ(progress.calls[0].done, size);
        EXPECT_EQ(progress.calls[0].total, size);
    }
}

TEST(RawFileReaderProgress, OlderSideFilesReportTheirBookmarksAndARebuildNeverGoesBack) {
    TempDir dir;
    const std::string path = dir / "old.raw";
    const std::string side = dir / "old.zvmark.tmp";
    writeSynthetic(path, 0, 2'000'000, 1'000'000, true, 9);
    const uint64_t size = fs::file_size(path);
    ASSERT_GT(size, 3 * RawFileReader::kLoadProgressBytes);
    std::vector<uint8_t> v1;
    {
        auto reader = open(path);
        ASSERT_NE(reader, nullptr);
        v1 = makeV1File(*reader, size);
    }
    // The same file with one event too many in its final bookmark (the last record, as the recording
    // has no triggers), with a correct CRC: only the decode of the last stretch finds it out.
    constexpr size_t kRecordBytes = 8 + 8 + 1 + 8 + 4 + 8;
    std::vector<uint8_t> miscounted = v1;
    miscounted[miscounted.size() - 1 - kRecordBytes + 25] ^= 1;
    miscounted.back() = detail::crc8(miscounted.data(), miscounted.size() - 1);
    zelvan::testing::ProgressRecord progress;
    writeBytes(side, v1);
    {
        RawFileReader reader(path);
        reader.setProgressCallback(progress.callback());
        ASSERT_TRUE(reader.loadFile());
        EXPECT_EQ(reader.lastError(), ReaderError::None);
        ASSERT_GE(progress.calls.size(), 3u);
        EXPECT_LT(progress.calls.front().done, size);
        EXPECT_EQ(progress.calls.back().done, size);
    }
    // A side file that fails its check after its bookmarks were reported: the build that follows
    // keeps the reports where they were until it has passed them (ProgressRecord checks each call).
    writeBytes(side, miscounted);
    progress.reset();
    {
        ScopedLogCapture log(LOG_DETAIL);
        RawFileReader reader(path);
        reader.setProgressCallback(progress.callback());
        ASSERT_TRUE(reader.loadFile());
        EXPECT_TRUE(log.contains(
            LOG_WARNING, "Bookmark file records are inconsistent: event count differs from the data"));
        EXPECT_EQ(reader.lastError(), ReaderError::CorruptIndex);
        // Reports from the side file's bookmarks, from the build, and the whole file.
        ASSERT_GE(progress.calls.size(), 5u);
        EXPECT_EQ(progress.calls.back().done, size);
        // The rebuilt index replaces the side file.
        const auto rebuilt = readBytes(side);
        EXPECT_EQ(std::string(rebuilt.begin(), rebuilt.begin() + 14), "version:2.0.0\n");
    }
}

TEST(RawFileReaderProgress, ACancelledLoadLeavesTheReaderUnloadedAndNoSideFile) {
    TempDir dir;
    const std::string path = dir / "rec.raw";
    const std::string side = dir / "rec.zvmark.tmp";
    writeSynthetic(path, 0, 2'000'000, 1'000'000, true, 5, 1000);
    const uint64_t size = fs::file_size(path);
    ASSERT_GT(size, 3 * RawFileReader::kLoadProgressBytes);
    const Recording whole = decodeWhole(path);
    ScopedLogCapture log(LOG_DETAIL);
    zelvan::testing::ProgressRecord progress;
    RawFileReader reader(path);
    reader.setProgressCallback(progress.callback());

    // Stopped at the first report, in the middle of the scan, and at the last one (the index is
    // complete then, but not saved).
    for (const bool at_end : {false, true}) {
        SCOPED_TRACE(at_end ? "at the end" : "at the first report");
        progress.reset(at_end ? std::numeric_limits<size_t>::max() : 1);
        progress.stop_at_end = at_end;
        EXPECT_FALSE(reader.loadFile());
        EXPECT_EQ(reader.lastError(), ReaderError::Cancelled);
        EXPECT_EQ(reader.lastErrorMessage(),
                  "Loading raw file cancelled: the progress callback asked to stop (" + path + ").");
        EXPECT_TRUE(log.contains(LOG_INFO, reader.lastErrorMessage()));
        EXPECT_FALSE(log.containsSubstring(LOG_ERROR, "cancelled"));
        ASSERT_FALSE(progress.calls.empty());
        EXPECT_EQ(progress.calls.back().done == size, at_end);
        if (!at_end) {
            EXPECT_EQ(progress.calls.size(), 1u);
        }
        EXPECT_FALSE(fs::exists(side));
        EXPECT_TRUE(reader.getAllBookmarks().empty());
        // Unloaded: nothing works.
        EXPECT_FALSE(reader.seekTime(0));
        EXPECT_EQ(reader.lastError(), ReaderError::NotLoaded);
        EXPECT_FALSE(reader.extractEventData(0, 10'000, dir / "cut.raw"));
        EXPECT_EQ(reader.lastError(), ReaderError::NotLoaded);
    }

    // The same reader loads when the callback lets it, and saves the index.
    progress.reset();
    ASSERT_TRUE(reader.loadFile());
    EXPECT_EQ(reader.lastError(), ReaderError::None);
    ASSERT_GE(progress.calls.size(), 2u);
    EXPECT_EQ(progress.calls.back().done, size);
    uint64_t max = 0;
    reader.getMaxEvents(max);
    EXPECT_EQ(max, whole.events.size());
    EXPECT_TRUE(*reader.getNEventsGivenStartEvent(0, max) == whole.events);
    ASSERT_TRUE(fs::exists(side));
    const auto saved = readBytes(side);

    // A reload of the side file that is stopped leaves the side file as it was; a new reader then
    // uses it.
    {
        RawFileReader again(path);
        progress.reset(1);
        again.setProgressCallback(progress.callback());
        EXPECT_FALSE(again.loadFile());
        EXPECT_EQ(again.lastError(), ReaderError::Cancelled);
        EXPECT_EQ(progress.calls.size(), 1u);
        EXPECT_EQ(readBytes(side), saved);
    }
    RawFileReader fresh(path);
    ASSERT_TRUE(fresh.loadFile());
    EXPECT_FALSE(log.contains(LOG_WARNING, kCheckFailed));
    fresh.getMaxEvents(max);
    EXPECT_EQ(max, whole.events.size());
}

}  // namespace
