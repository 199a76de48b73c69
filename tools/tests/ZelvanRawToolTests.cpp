// End-to-end checks of the zelvan-raw program, including the real recordings of the test data folder
// against their published decoded results.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "Sha256.h"
#include "zelvan/EVT3Encoder.h"
#include "zelvan/FileHeader.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileReader.h"

namespace fs = std::filesystem;

namespace {

struct Result {
    int status = -1;
    std::string out;  // stdout, or stderr when asked for
    std::string sha256;
};

// Runs the tool with `args`; with `want_stderr`, captures stderr instead of stdout.
Result runTool(const std::string& args, bool want_stderr = false) {
    const std::string cmd = std::string("'") + ZELVAN_RAW_TOOL + "' " + args +
                            (want_stderr ? " 2>&1 >/dev/null" : " 2>/dev/null");
    Result r;
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return r;
    zelvan::testing::Sha256 sha;
    char buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) {
        sha.update(buf, n);
        if (r.out.size() < (64u << 20)) r.out.append(buf, n);
    }
    const int raw = pclose(pipe);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.sha256 = sha.hexDigest();
    return r;
}

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

std::map<std::string, std::string> parseInfo(const std::string& text) {
    std::map<std::string, std::string> kv;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto colon = line.find(": ");
        if (colon != std::string::npos) kv[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return kv;
}

std::vector<std::vector<uint64_t>> parseCsv(const std::string& text) {
    std::vector<std::vector<uint64_t>> rows;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<uint64_t> row;
        std::istringstream fields(line);
        std::string f;
        while (std::getline(fields, f, ',')) row.push_back(std::stoull(f));
        rows.push_back(std::move(row));
    }
    return rows;
}

// The CSV lines of `rows` with from <= t < to.
std::string filtered(const std::vector<std::vector<uint64_t>>& rows, uint64_t from, uint64_t to) {
    std::string text;
    for (const auto& r : rows)
        if (r[3] >= from && r[3] < to)
            text += std::to_string(r[0]) + "," + std::to_string(r[1]) + "," + std::to_string(r[2]) + "," +
                    std::to_string(r[3]) + "\n";
    return text;
}

class TempDir {
public:
    TempDir() {
        path_ = fs::temp_directory_path() / ("zelvan-tool-test-" + std::to_string(::getpid()));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    fs::path operator/(const std::string& name) const { return path_ / name; }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void writeFile(const fs::path& p, const std::string& header, const std::vector<uint8_t>& payload) {
    std::ofstream out(p, std::ios::binary);
    out << header;
    out.write(reinterpret_cast<const char*>(payload.data()), std::streamsize(payload.size()));
}

TEST(ZelvanRawTool, RealRecordingsMatchTheirPublishedResults) {
    const fs::path dir = ZELVAN_TESTDATA_DIR;
    if (!fs::exists(dir / "EXPECTED.json")) GTEST_SKIP() << "no test data folder at " << dir;
    std::ifstream in(dir / "EXPECTED.json");
    const auto expected = nlohmann::json::parse(in);
    ASSERT_GE(expected.size(), 6u);
    // The tool saves a reader's index beside the recording: it reads copies, so that the given folder
    // stays as it was.
    TempDir copies;
    for (const auto& [name, exp] : expected.items()) {
        SCOPED_TRACE(name);
        const fs::path file = copies / name;
        fs::copy_file(dir / name, file);
        if (exp.value("reject", false)) {
            const Result info = runTool("info " + quoted(file), true);
            EXPECT_EQ(info.status, 1);
            EXPECT_NE(info.out.find("evt 2.0"), std::string::npos) << info.out;
            EXPECT_EQ(std::count(info.out.begin(), info.out.end(), '\n'), 1) << "one line on stderr";
            EXPECT_EQ(runTool("dump " + quoted(file)).status, 1);
            continue;
        }
        const Result info = runTool("info " + quoted(file));
        ASSERT_EQ(info.status, 0);
        auto kv = parseInfo(info.out);
        EXPECT_EQ(kv["events"], std::to_string(exp["events"].get<uint64_t>()));
        EXPECT_EQ(kv["on_events"], std::to_string(exp["on_events"].get<uint64_t>()));
        EXPECT_EQ(kv["triggers"], std::to_string(exp["triggers"].get<uint64_t>()));
        EXPECT_EQ(kv["first_timestamp"], std::to_string(exp["first_timestamp"].get<uint64_t>()));
        EXPECT_EQ(kv["last_timestamp"], std::to_string(exp["last_timestamp"].get<uint64_t>()));
        EXPECT_EQ(kv["payload_offset"], std::to_string(exp["payload_offset"].get<uint64_t>()));
        EXPECT_EQ(kv["payload_bytes"], std::to_string(exp["payload_bytes"].get<uint64_t>()));
        // The reader's index agrees with the plain decode.
        EXPECT_EQ(kv["max_events"], kv["events"]);
        EXPECT_LE(std::stoull(kv["start_timestamp"]), std::stoull(kv["first_timestamp"]));
        EXPECT_GE(std::stoull(kv["end_timestamp"]), std::stoull(kv["last_timestamp"]));
        EXPECT_GE(std::stoull(kv["bookmarks"]), 2u);

        const Result dump = runTool("dump " + quoted(file));
        ASSERT_EQ(dump.status, 0);
        EXPECT_EQ(dump.sha256, exp["sha256_cd_dump"].get<std::string>());
        const auto rows = parseCsv(dump.out);
        ASSERT_EQ(rows.size(), exp["events"].get<size_t>());
        uint64_t sum_t = 0, sum_x = 0, sum_y = 0;
        for (const auto& r : rows) {
            sum_x += r[0];
            sum_y += r[1];
            sum_t += r[3];
        }
        EXPECT_EQ(sum_t, exp["sum_t"].get<uint64_t>());
        EXPECT_EQ(sum_x, exp["sum_x"].get<uint64_t>());
        EXPECT_EQ(sum_y, exp["sum_y"].get<uint64_t>());
        const auto& first = exp["first_events"];
        for (size_t i = 0; i < first.size(); ++i) EXPECT_EQ(rows[i], first[i].get<std::vector<uint64_t>>());
        const auto& last = exp["last_events"];
        for (size_t i = 0; i < last.size(); ++i)
            EXPECT_EQ(rows[rows.size() - last.size() + i], last[i].get<std::vector<uint64_t>>());

        const Result trig = runTool("dump --triggers " + quoted(file));
        ASSERT_EQ(trig.status, 0);
        EXPECT_EQ(trig.sha256, exp["sha256_trigger_dump"].get<std::string>());
        const auto trows = parseCsv(trig.out);
        const auto& head = exp["trigger_list_head"];
        ASSERT_GE(trows.size(), head.size());
        for (size_t i = 0; i < head.size(); ++i) EXPECT_EQ(trows[i], head[i].get<std::vector<uint64_t>>());
    }
}

TEST(ZelvanRawTool, BadInputAndUsage) {
    TempDir tmp;
    Result r = runTool("info " + quoted(tmp / "missing.raw"), true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("cannot open"), std::string::npos);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);

    writeFile(tmp / "evt2.raw", "% evt 2.0\n% end\n", {0x01, 0x02});
    r = runTool("dump " + quoted(tmp / "evt2.raw"), true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("evt 2.0"), std::string::npos);

    writeFile(tmp / "fmt.raw", "% format EVT2;height=720;width=1280\n% end\n", {});
    EXPECT_EQ(runTool("info " + quoted(tmp / "fmt.raw")).status, 1);

    EXPECT_EQ(runTool("").status, 2);
    EXPECT_EQ(runTool("frobnicate x").status, 2);
    EXPECT_EQ(runTool("dump --bogus x").status, 2);
    const Result help = runTool("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("dump --triggers FILE"), std::string::npos);
}

TEST(ZelvanRawTool, OutputThatCannotBeWrittenFails) {
    const fs::path dir = ZELVAN_TESTDATA_DIR;
    const fs::path file = dir / "event_camera_py_test_events_1.derived.raw";
    if (!fs::exists(file) || !fs::exists("/dev/full")) GTEST_SKIP() << "needs the test data and /dev/full";
    TempDir tmp;
    const fs::path copy = tmp / "copy.raw";
    fs::copy_file(file, copy);
    for (const std::string args :
         {"info ", "info --json ", "stats ", "dump ", "dump --triggers ", "dump --from 8000000 "}) {
        SCOPED_TRACE(args);
        EXPECT_EQ(runTool(args + quoted(copy) + " >/dev/full").status, 1);
    }
    for (const std::string args : {"list", "--help", "help cut", "cut --help"}) {
        SCOPED_TRACE(args);
        EXPECT_EQ(runTool(args + " >/dev/full").status, 1);
    }
}

TEST(ZelvanRawTool, TimeBaseComesFromTheHeader) {
    TempDir tmp;
    // No TIME_HIGH in the payload: only a header time base lets these events decode.
    const std::vector<uint8_t> payload = {0x05, 0x00, 0x07, 0x20, 0x10, 0x60, 0x08, 0x28, 0x01, 0xA6};
    writeFile(tmp / "based.raw",
              "% evt 3.0\n% format EVT3;height=480;width=640\n% dvs_start_timestamp 20000000\n% end\n",
              payload);
    Result dump = runTool("dump " + quoted(tmp / "based.raw"));
    ASSERT_EQ(dump.status, 0);
    EXPECT_EQ(dump.out, "7,5,0,20000000\n8,5,1,19996688\n");
    Result trig = runTool("dump --triggers " + quoted(tmp / "based.raw"));
    EXPECT_EQ(trig.out, "6,1,19996688\n");
    auto kv = parseInfo(runTool("info " + quoted(tmp / "based.raw")).out);
    EXPECT_EQ(kv["width"], "640");
    EXPECT_EQ(kv["dvs_start_timestamp"], "20000000");
    EXPECT_EQ(kv["events"], "2");

    writeFile(tmp / "fresh.raw", "% evt 3.0\n% end\n", payload);
    dump = runTool("dump " + quoted(tmp / "fresh.raw"));
    EXPECT_EQ(dump.status, 0);
    EXPECT_EQ(dump.out, "");
    kv = parseInfo(runTool("info " + quoted(tmp / "fresh.raw")).out);
    EXPECT_EQ(kv["events"], "0");
    EXPECT_EQ(kv.count("first_timestamp"), 0u);
}

TEST(ZelvanRawTool, AStaleHeaderTimeInFrontOfMidStreamBytesIsNotTrusted) {
    TempDir tmp;
    const fs::path source = tmp / "source.raw";
    ASSERT_EQ(runTool("generate " + quoted(source) + " --seconds 1 --rate 300000").status, 0);
    const auto all = parseCsv(runTool("dump " + quoted(source)).out);
    ASSERT_GT(all.size(), 250'000u);
    // What a common cutter writes: the source's header ("% dvs_start_timestamp 0") unchanged, then
    // the bytes from about 300 ms on, starting between two time words.
    std::ifstream in(source, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    const auto end_line = bytes.find("% end\n");
    ASSERT_NE(end_line, std::string::npos);
    const size_t payload = end_line + 6;
    ASSERT_NE(bytes.find("% dvs_start_timestamp 0\n"), std::string::npos);
    size_t from = payload + ((bytes.size() - payload) * 3 / 10 & ~size_t(1));
    while ((uint8_t(bytes[from + 1]) >> 4) == 0x8 || (uint8_t(bytes[from + 1]) >> 4) == 0x6) from += 2;
    const fs::path cut = tmp / "foreign.raw";
    {
        std::ofstream out(cut, std::ios::binary);
        out << bytes.substr(0, payload) << bytes.substr(from);
    }

    const Result dump = runTool("dump " + quoted(cut));
    ASSERT_EQ(dump.status, 0);
    const auto rows = parseCsv(dump.out);
    ASSERT_GT(rows.size(), 100'000u);
    // The events are those of the source from the first TIME_HIGH of the copied bytes on, with their
    // times in the source.
    ASSERT_LT(rows.size(), all.size());
    EXPECT_TRUE(std::equal(rows.begin(), rows.end(), all.end() - std::ptrdiff_t(rows.size())));
    EXPECT_GT(rows.front()[3], 290'000u);
    const Result warning = runTool("dump " + quoted(cut), true);
    EXPECT_NE(warning.out.find("disagrees with the stream"), std::string::npos) << warning.out;

    auto kv = parseInfo(runTool("info " + quoted(cut)).out);
    EXPECT_EQ(kv["events"], std::to_string(rows.size()));
    EXPECT_EQ(kv["max_events"], kv["events"]);
    EXPECT_EQ(kv["first_timestamp"], std::to_string(rows.front()[3]));
    EXPECT_LE(std::stoull(kv["start_timestamp"]), rows.front()[3]);
    // The index agrees with the plain decode.
    const uint64_t t = rows[rows.size() / 2][3];
    const Result range = runTool("dump --from " + std::to_string(t) + " " + quoted(cut));
    EXPECT_TRUE(range.out == filtered(rows, t, UINT64_MAX));
}

TEST(ZelvanRawTool, DumpOfATimeRangeGoesThroughTheIndex) {
    TempDir tmp;
    const fs::path file = tmp / "range.raw";
    ASSERT_EQ(runTool("generate " + quoted(file) + " --seconds 1 --rate 300000").status, 0);
    const Result all = runTool("dump " + quoted(file));
    ASSERT_EQ(all.status, 0);
    const auto rows = parseCsv(all.out);
    ASSERT_GT(rows.size(), 250000u);
    auto expect = [&](uint64_t from, uint64_t to) {
        std::string text;
        for (const auto& r : rows)
            if (r[3] >= from && r[3] < to)
                text += std::to_string(r[0]) + "," + std::to_string(r[1]) + "," + std::to_string(r[2]) + "," +
                        std::to_string(r[3]) + "\n";
        return text;
    };
    Result r = runTool("dump --from 123457 --to 400001 " + quoted(file));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expect(123457, 400001));
    r = runTool("dump --from 999000 " + quoted(file));
    EXPECT_EQ(r.out, expect(999000, UINT64_MAX));
    r = runTool("dump --to 1500 " + quoted(file));
    EXPECT_EQ(r.out, expect(0, 1500));
    EXPECT_FALSE(r.out.empty());
    r = runTool("dump --from 5000000 " + quoted(file));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(fs::exists(tmp / "range.zvmark.tmp"));
    auto kv = parseInfo(runTool("info " + quoted(file)).out);
    EXPECT_EQ(kv["max_events"], std::to_string(rows.size()));
    EXPECT_EQ(kv["start_timestamp"], "0");

    EXPECT_EQ(runTool("dump --from x " + quoted(file)).status, 2);
    EXPECT_EQ(runTool("dump --from 5 --triggers " + quoted(file)).status, 2);
    EXPECT_EQ(runTool("dump --from 5").status, 2);
    EXPECT_EQ(runTool("dump --from 5 " + quoted(tmp / "missing.raw")).status, 1);
}

TEST(ZelvanRawTool, DumpFromABookmarksTimeHoldsTheEventsAtThatTime) {
    TempDir tmp;
    const fs::path file = tmp / "keys.raw";
    ASSERT_EQ(runTool("generate " + quoted(file) + " --seconds 1 --rate 500000").status, 0);
    const auto rows = parseCsv(runTool("dump " + quoted(file)).out);
    ASSERT_GT(rows.size(), 400'000u);
    std::vector<uint64_t> keys;
    {
        zelvan::ScopedLogCapture quiet(zelvan::LOG_ERROR);
        zelvan::RawFileReader reader(file.string());
        ASSERT_TRUE(reader.loadFile());
        for (const auto& [key, mark] : reader.getAllBookmarks()) keys.push_back(key);
    }
    ASSERT_GE(keys.size(), 20u);
    // A few keys inside the recording and its last one (the end of the data).
    for (const size_t i : {size_t(1), keys.size() / 2, keys.size() - 2, keys.size() - 1}) {
        SCOPED_TRACE("bookmark key " + std::to_string(keys[i]));
        const Result r = runTool("dump --from " + std::to_string(keys[i]) + " " + quoted(file));
        ASSERT_EQ(r.status, 0);
        EXPECT_TRUE(r.out == filtered(rows, keys[i], UINT64_MAX)) << "dump --from at a bookmark key differs";
        const Result to = runTool("dump --from " + std::to_string(keys[0]) + " --to " +
                                  std::to_string(keys[i]) + " " + quoted(file));
        EXPECT_TRUE(to.out == filtered(rows, keys[0], keys[i])) << "dump --to at a bookmark key differs";
    }
}

TEST(ZelvanRawTool, CutHoldsExactlyTheEventsOfTheRange) {
    TempDir tmp;
    const fs::path file = tmp / "long.raw";
    ASSERT_EQ(runTool("generate " + quoted(file) + " --seconds 2 --rate 400000").status, 0);
    const fs::path cut = tmp / "cut.raw";
    const Result r = runTool("cut " + quoted(file) + " 250001 1300777 " + quoted(cut), true);
    ASSERT_EQ(r.status, 0) << r.out;
    // One progress line: the loading of the recording, then the cut written over it.
    EXPECT_NE(r.out.find("zelvan-raw: loading 100%\rzelvan-raw: cut "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("cut 100%"), std::string::npos) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    // The generated scene is time-ordered: the cut holds the events with 250001 <= t < 1300777.
    const Result expected = runTool("dump --from 250001 --to 1300777 " + quoted(file));
    const Result got = runTool("dump " + quoted(cut));
    ASSERT_EQ(got.status, 0);
    EXPECT_GT(got.out.size(), 1000u);
    EXPECT_EQ(got.sha256, expected.sha256);
    auto kv = parseInfo(runTool("info " + quoted(cut)).out);
    EXPECT_EQ(kv["dvs_start_timestamp"], "250001");
    EXPECT_EQ(kv["serial_number"], "SIM00000");
    EXPECT_EQ(kv["max_events"], kv["events"]);
    EXPECT_LT(fs::file_size(cut), fs::file_size(file));
}

// The copies in `tmp` of the test data's EVT 3.0 recordings (none without the test data folder).
std::vector<fs::path> copiesOfRealRecordings(const TempDir& tmp) {
    std::vector<fs::path> copies;
    const fs::path dir = ZELVAN_TESTDATA_DIR;
    if (!fs::exists(dir / "EXPECTED.json")) return copies;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".raw" || name.find("evt2") != std::string::npos) continue;
        fs::copy_file(entry.path(), tmp / name, fs::copy_options::overwrite_existing);
        copies.push_back(tmp / name);
    }
    return copies;
}

TEST(ZelvanRawTool, ACutFromATimeToItselfIsRefused) {
    TempDir tmp;
    std::vector<fs::path> files = copiesOfRealRecordings(tmp);
    files.push_back(tmp / "gen.raw");
    ASSERT_EQ(runTool("generate " + quoted(files.back()) + " --seconds 1 --rate 200000").status, 0);
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        auto kv = parseInfo(runTool("info " + quoted(file)).out);
        ASSERT_FALSE(kv["end_timestamp"].empty());
        for (const std::string& t : {kv["end_timestamp"], kv["start_timestamp"]}) {
            const fs::path out = tmp / "same.raw";
            const Result r = runTool("cut " + quoted(file) + " " + t + " " + t + " " + quoted(out), true);
            EXPECT_EQ(r.status, 1) << t;
            EXPECT_NE(r.out.find("There is no data in the interval."), std::string::npos) << r.out;
            EXPECT_FALSE(fs::exists(out)) << t;
        }
        // The range up to the end timestamp still reaches the end of the data (from the last event
        // on: a range without events is refused).
        const std::string before =
            std::to_string(std::min(std::stoull(kv["end_timestamp"]) - 1, std::stoull(kv["last_timestamp"])));
        const fs::path out = tmp / "last.raw";
        ASSERT_EQ(
            runTool("cut " + quoted(file) + " " + before + " " + kv["end_timestamp"] + " " + quoted(out))
                .status,
            0);
        fs::remove(out);
    }
}

// Event times may step back below the index's start or lie beyond its end; a range asked for by
// time holds them all the same.
TEST(ZelvanRawTool, DumpOfAnOpenRangeHoldsEveryEvent) {
    TempDir tmp;
    // TIME_HIGH 1, row 5, x 1, TIME_LOW 100, x 2, TIME_LOW 50: the stream time ends at 4146 us, below
    // the event at 4196 us.
    writeFile(tmp / "jitter.raw", "% evt 3.0\n% end\n",
              {0x01, 0x80, 0x05, 0x00, 0x01, 0x20, 0x64, 0x60, 0x02, 0x20, 0x32, 0x60});
    Result all = runTool("dump " + quoted(tmp / "jitter.raw"));
    ASSERT_EQ(all.status, 0);
    EXPECT_EQ(all.out, "1,5,0,4096\n2,5,0,4196\n");
    Result r = runTool("dump --from 0 " + quoted(tmp / "jitter.raw"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, all.out);
    r = runTool("dump --from 4150 " + quoted(tmp / "jitter.raw"));
    EXPECT_EQ(r.out, "2,5,0,4196\n");
    r = runTool("dump --from 4000 --to 4197 " + quoted(tmp / "jitter.raw"));
    EXPECT_EQ(r.out, all.out);

    // The header's time base starts the index at 20000000 us; one event lies before it.
    writeFile(tmp / "based.raw",
              "% evt 3.0\n% format EVT3;height=480;width=640\n% dvs_start_timestamp 20000000\n% end\n",
              {0x05, 0x00, 0x07, 0x20, 0x10, 0x60, 0x08, 0x28, 0x01, 0xA6});
    r = runTool("dump --from 0 " + quoted(tmp / "based.raw"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, runTool("dump " + quoted(tmp / "based.raw")).out);
    EXPECT_EQ(r.out, "7,5,0,20000000\n8,5,1,19996688\n");

    // Cuts at the end of real recordings hold events beyond their own end timestamp.
    for (const fs::path& file : copiesOfRealRecordings(tmp)) {
        SCOPED_TRACE(file.filename().string());
        auto kv = parseInfo(runTool("info " + quoted(file)).out);
        const uint64_t end = std::stoull(kv["end_timestamp"]);
        // From the last event on where none lies at the end timestamp (a range without events is
        // refused).
        const uint64_t from = std::min<uint64_t>(end - 1, std::stoull(kv["last_timestamp"]));
        const fs::path cut = tmp / "tail.raw";
        ASSERT_EQ(runTool("cut " + quoted(file) + " " + std::to_string(from) + " " + std::to_string(end) +
                          " " + quoted(cut))
                      .status,
                  0);
        const Result whole = runTool("dump " + quoted(cut));
        ASSERT_EQ(whole.status, 0);
        const Result from_zero = runTool("dump --from 0 " + quoted(cut));
        EXPECT_EQ(from_zero.status, 0);
        EXPECT_TRUE(from_zero.out == whole.out) << "dump --from 0 differs from dump";
        fs::remove(cut);
        fs::remove(tmp / "tail.zvmark.tmp");
    }
}

TEST(ZelvanRawTool, CutAndToVideoWarnAboutAHeaderTimeTheyDoNotTrust) {
    TempDir tmp;
    const fs::path source = tmp / "source.raw";
    ASSERT_EQ(
        runTool("generate " + quoted(source) + " --seconds 1 --rate 200000 --width 320 --height 240").status,
        0);
    // The source's header in front of its bytes from about 400 ms on.
    std::ifstream in(source, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    const size_t payload = bytes.find("% end\n") + 6;
    const size_t from = payload + ((bytes.size() - payload) * 4 / 10 & ~size_t(1));
    const fs::path foreign = tmp / "foreign.raw";
    {
        std::ofstream out(foreign, std::ios::binary);
        out << bytes.substr(0, payload) << bytes.substr(from);
    }
    auto kv = parseInfo(runTool("info " + quoted(foreign)).out);
    const uint64_t start = std::stoull(kv["start_timestamp"]);
    const std::string range =
        " " + std::to_string(start + 10'000) + " " + std::to_string(start + 200'000) + " ";
    const std::string warning =
        "zelvan-raw: warning: the header's dvs_start_timestamp 0 disagrees with the stream";

    Result r = runTool("cut " + quoted(foreign) + range + quoted(tmp / "cut.raw"), true);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(warning), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(warning), r.out.rfind(warning)) << "one warning";
    r = runTool("to-video " + quoted(foreign) + range + quoted(tmp / "cut.mp4"), true);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(warning), std::string::npos) << r.out;
    // A header that agrees with the stream gives no warning.
    r = runTool("cut " + quoted(source) + range + quoted(tmp / "plain.raw"), true);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("warning"), std::string::npos) << r.out;
}

TEST(ZelvanRawTool, AStartTimeBeyondSixtyTwoBitsIsRefused) {
    TempDir tmp;
    const std::vector<uint8_t> payload = {0x01, 0x80, 0x05, 0x00, 0x01, 0x20, 0xFF, 0x8F, 0x03, 0x20};
    writeFile(tmp / "huge.raw", "% evt 3.0\n% dvs_start_timestamp 18446744073709551615\n% end\n", payload);
    for (const std::string args : {"info ", "dump ", "dump --from 0 ", "dump --triggers "}) {
        SCOPED_TRACE(args);
        const Result r = runTool(args + quoted(tmp / "huge.raw"), true);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("dvs_start_timestamp 18446744073709551615 is out of range"), std::string::npos)
            << r.out;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << "one line on stderr: " << r.out;
    }
    const Result cut =
        runTool("cut " + quoted(tmp / "huge.raw") + " 0 5000 " + quoted(tmp / "out.raw"), true);
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.out.find("out of range"), std::string::npos) << cut.out;
    EXPECT_FALSE(fs::exists(tmp / "out.raw"));
}

TEST(ZelvanRawTool, CutAndToVideoReportBadInput) {
    TempDir tmp;
    const fs::path file = tmp / "short.raw";
    ASSERT_EQ(runTool("generate " + quoted(file) + " --seconds 1 --rate 100000").status, 0);
    const std::string f = quoted(file);
    Result r = runTool("cut " + f + " 500000 100000 " + quoted(tmp / "x.raw"), true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Start time must be less than or equal to end time."), std::string::npos) << r.out;
    r = runTool("cut " + f + " 0 9000000 " + quoted(tmp / "x.raw"), true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("No end timestamp found."), std::string::npos) << r.out;
    r = runTool("cut " + f + " 0 500000 " + quoted(tmp / "no-dir/x.raw"), true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Failed to open output file"), std::string::npos) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << "one line on stderr: " << r.out;
    EXPECT_FALSE(fs::exists(tmp / "x.raw"));
    r = runTool("cut " + quoted(tmp / "missing.raw") + " 0 5 " + quoted(tmp / "x.raw"), true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("cannot open"), std::string::npos) << r.out;

    r = runTool("to-video " + f + " 0 500000 " + quoted(tmp / "no-dir/x.mp4"), true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Could not open output file"), std::string::npos) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << "one line on stderr: " << r.out;
    r = runTool("to-video " + f + " 600000 500000 " + quoted(tmp / "x.mp4"), true);
    EXPECT_EQ(r.status, 1);
    r = runTool("to-video " + f + " 5000000 6000000 " + quoted(tmp / "x.mp4"), true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("after the end of the recording"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(tmp / "x.mp4"));

    EXPECT_EQ(runTool("cut " + f + " 0 5").status, 2);
    EXPECT_EQ(runTool("to-video " + f + " zero 5 " + quoted(tmp / "x.mp4")).status, 2);
    const Result help = runTool("--help");
    EXPECT_NE(help.out.find("zelvan-raw cut FILE START_US END_US OUT.raw"), std::string::npos);
    EXPECT_NE(help.out.find("zelvan-raw to-video FILE START_US END_US OUT.mp4"), std::string::npos);
}

TEST(ZelvanRawTool, ReasonsOfTheReaderAreOneLine) {
    TempDir tmp;
    const fs::path file = tmp / "rec.raw";
    ASSERT_EQ(runTool("generate " + quoted(file) + " --seconds 1 --rate 100000").status, 0);
    const Result all = runTool("dump " + quoted(file));
    ASSERT_EQ(all.status, 0);
    // An index that cannot be saved beside the recording (a folder stands in its place) spoils nothing.
    fs::create_directory(tmp / "rec.zvmark.tmp");
    EXPECT_EQ(runTool("info " + quoted(file)).status, 0);
    Result r = runTool("dump --from 0 " + quoted(file));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == all.out);
    // A range of a recording without events holds nothing.
    writeFile(tmp / "quiet.raw", "% evt 3.0\n% end\n", {0x01, 0x80, 0x10, 0x60});
    r = runTool("dump --from 0 " + quoted(tmp / "quiet.raw"), true);
    EXPECT_EQ(r.status, 0) << r.out;
    // Outputs under a plain file cannot be created.
    writeFile(tmp / "plain", "x", {});
    r = runTool("cut " + quoted(file) + " 0 500000 " + quoted(tmp / "plain/out.raw"), true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Failed to open output file: " + (tmp / "plain/out.raw").string() + "."),
              std::string::npos)
        << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    r = runTool("to-video " + quoted(file) + " 0 500000 " + quoted(tmp / "plain/out.mp4"), true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Could not open output file: " + (tmp / "plain/out.mp4").string()),
              std::string::npos)
        << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
}

TEST(ZelvanRawTool, ToVideoWritesAnMp4) {
    TempDir tmp;
    const fs::path file = tmp / "clip.raw";
    ASSERT_EQ(
        runTool("generate " + quoted(file) + " --seconds 1 --rate 200000 --width 640 --height 480").status,
        0);
    const fs::path video = tmp / "clip.mp4";
    const Result r = runTool("to-video " + quoted(file) + " 0 500000 " + quoted(video), true);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("zelvan-raw: loading 100%\rzelvan-raw: to-video "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("to-video 100%"), std::string::npos) << r.out;
    std::ifstream in(video, std::ios::binary);
    std::string head(12, '\0');
    in.read(head.data(), 12);
    EXPECT_EQ(head.substr(4, 4), "ftyp");
    // The index sits before the media data, so players can start before the whole file is read.
    std::string all((std::istreambuf_iterator<char>(in)), {});
    const auto moov = all.find("moov");
    const auto mdat = all.find("mdat");
    ASSERT_NE(moov, std::string::npos);
    ASSERT_NE(mdat, std::string::npos);
    EXPECT_LT(moov, mdat);
}

TEST(ZelvanRawTool, ToVideoOfACutCountsFramesFromTheCutsStart) {
    TempDir tmp;
    const fs::path a = tmp / "a.raw";
    const fs::path b = tmp / "b.raw";
    ASSERT_EQ(runTool("generate " + quoted(a) + " --seconds 1 --rate 200000 --width 640 --height 480").status,
              0);
    ASSERT_EQ(runTool("cut " + quoted(a) + " 500000 900000 " + quoted(b)).status, 0);
    // The cut's events begin at 500 ms: a range that ends before them holds nothing.
    Result r = runTool("to-video " + quoted(b) + " 0 200000 " + quoted(tmp / "c.mp4"), true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("There is no data in the interval."), std::string::npos) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    EXPECT_FALSE(fs::exists(tmp / "c.mp4"));
    // A range that begins before them renders from 500 ms on: three periods up to 600 ms.
    r = runTool("to-video " + quoted(b) + " 0 600000 " + quoted(tmp / "d.mp4"), true);
    ASSERT_EQ(r.status, 0) << r.out;
    std::ifstream in(tmp / "d.mp4", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(all.find("ftyp"), std::string::npos);
}

TEST(ZelvanRawTool, GeneratedRecordingReadsBack) {
    TempDir tmp;
    const fs::path file = tmp / "gen.raw";
    ASSERT_EQ(
        runTool("generate " + quoted(file) + " --seconds 1 --rate 200000 --width 640 --height 480").status,
        0);
    auto kv = parseInfo(runTool("info " + quoted(file)).out);
    EXPECT_EQ(kv["width"], "640");
    EXPECT_EQ(kv["height"], "480");
    EXPECT_EQ(kv["serial_number"], "SIM00000");
    EXPECT_NEAR(std::stod(kv["events"]), 200000.0, 10.0);
    EXPECT_LT(std::stoull(kv["last_timestamp"]), 1'000'000u);
}

}  // namespace

namespace {

// The simulated cameras the tool finds, from a configuration file, for as long as it lives.
class SimulatedSet {
public:
    SimulatedSet(const fs::path& file, const std::string& json) {
        std::ofstream(file) << json;
        setenv("ZELVAN_SIM_CONFIG", file.c_str(), 1);
    }
    ~SimulatedSet() { unsetenv("ZELVAN_SIM_CONFIG"); }
    SimulatedSet(const SimulatedSet&) = delete;
    SimulatedSet& operator=(const SimulatedSet&) = delete;
};

TEST(ZelvanRawTool, ListsAndRecordsAFusionCamera) {
    TempDir tmp;
    // Two frames a second: the video encoder keeps up on a busy machine too.
    SimulatedSet set(tmp / "cameras.json", R"([
        {"model": "Tandra", "serial": "fz01", "settle_scale": 0, "event_rate": 500000, "frame_rate": 2},
        {"model": "EVK4", "serial": "zz02", "settle_scale": 0}
    ])");
    const Result list = runTool("list");
    ASSERT_EQ(list.status, 0);
    EXPECT_EQ(list.out,
              "zz02\tEVK4\tProphesee\tUSB\t04b4:00f5\t\n"
              "fz01\tTandra\tZelvan\tUSB\t2207:0006\t\n")
        << "event cameras first, then fusion cameras";

    const fs::path base = tmp / "take";
    const Result rec = runTool("record fz01 2 " + quoted(base), true);
    ASSERT_EQ(rec.status, 0) << rec.out;
    for (const char* ext : {".raw", ".mp4", ".json"}) EXPECT_TRUE(fs::exists(base.string() + ext)) << ext;
    auto kv = parseInfo(runTool("info " + quoted(fs::path(base.string() + ".raw"))).out);
    ASSERT_TRUE(kv.count("aps_start_timestamp"))
        << "a fusion recording names the event time of its first frame";
    std::ifstream raw(base.string() + ".raw");
    std::string first_line;
    std::getline(raw, first_line);
    EXPECT_EQ(first_line, "% aps_start_timestamp " + kv["aps_start_timestamp"]);
    EXPECT_GT(std::stoull(kv["events"]), 100'000u);
    EXPECT_NE(rec.out.find("recorded " + kv["events"] + " events and "), std::string::npos) << rec.out;
    EXPECT_NE(rec.out.find(" frames from fz01 into "), std::string::npos) << rec.out;
    // The line of the losses follows.
    const auto losses = rec.out.find("zelvan-raw: ", rec.out.find(" frames from fz01 into "));
    ASSERT_NE(losses, std::string::npos) << rec.out;
    unsigned long long written = 0, frames = 0, records = 0;
    char tail[16] = {};
    ASSERT_EQ(std::sscanf(rec.out.c_str() + losses,
                          "zelvan-raw: %llu bytes written; lost on the way: %llu frames, %llu exposure "
                          "records %15s",
                          &written, &frames, &records, tail),
              4)
        << rec.out;
    EXPECT_EQ(std::string(tail), "unpaired");
    EXPECT_EQ(written, fs::file_size(base.string() + ".raw"));
    EXPECT_EQ(std::count(rec.out.begin(), rec.out.end(), '\n'), 2) << rec.out;

    // An event camera's recording has no such line.
    const Result plain = runTool("record zz02 1 " + quoted(tmp / "plain.raw"), true);
    ASSERT_EQ(plain.status, 0) << plain.out;
    EXPECT_EQ(parseInfo(runTool("info " + quoted(tmp / "plain.raw")).out).count("aps_start_timestamp"), 0u);

    // A folder given as its configuration file: one line and status 1.
    const Result folder =
        runTool("record fz01 1 " + quoted(tmp / "cfg") + " --config " + quoted(tmp.path()), true);
    EXPECT_EQ(folder.status, 1);
    EXPECT_EQ(std::count(folder.out.begin(), folder.out.end(), '\n'), 1) << folder.out;
    EXPECT_NE(folder.out.find("the file cannot be opened"), std::string::npos) << folder.out;

    // A fusion recording into a missing folder fails with one line.
    const Result missing = runTool("record fz01 1 " + quoted(tmp / "missing-dir" / "x"), true);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(std::count(missing.out.begin(), missing.out.end(), '\n'), 1) << missing.out;
}

TEST(ZelvanRawTool, ListsAndRecordsSimulatedCameras) {
    const Result list = runTool("list");
    ASSERT_EQ(list.status, 0);
    std::istringstream lines(list.out);
    std::string line, first_serial;
    int cameras = 0;
    bool has_ethernet = false;
    while (std::getline(lines, line)) {
        ++cameras;
        if (first_serial.empty()) first_serial = line.substr(0, line.find('\t'));
        has_ethernet = has_ethernet || line.find("\tETH\t") != std::string::npos;
    }
    EXPECT_GE(cameras, 4);
    EXPECT_TRUE(has_ethernet);

    TempDir tmp;
    const fs::path file = tmp / "rec.raw";
    const Result rec = runTool("record " + first_serial + " 1 " + quoted(file), true);
    ASSERT_EQ(rec.status, 0) << rec.out;
    auto kv = parseInfo(runTool("info " + quoted(file)).out);
    EXPECT_EQ(kv["serial_number"], first_serial);
    EXPECT_GT(std::stoull(kv["events"]), 100'000u);
    EXPECT_NE(rec.out.find("recorded " + kv["events"] + " events"), std::string::npos) << rec.out;

    // A configuration file is applied before recording; a broken one stops the tool.
    {
        std::ofstream(tmp / "roi.json")
            << R"({"ROI": {"enable": true, "x": 0, "y": 0, "x_width": 64, "y_height": 32}})";
        std::ofstream(tmp / "broken.json") << "{ not json";
    }
    const fs::path cropped = tmp / "cropped.raw";
    ASSERT_EQ(
        runTool("record --config " + quoted(tmp / "roi.json") + " " + first_serial + " 1 " + quoted(cropped))
            .status,
        0);
    const auto rows = parseCsv(runTool("dump " + quoted(cropped)).out);
    ASSERT_FALSE(rows.empty());
    for (const auto& r : rows) {
        ASSERT_LT(r[0], 64u);
        ASSERT_LT(r[1], 32u);
    }
    EXPECT_EQ(
        runTool("record --config " + quoted(tmp / "broken.json") + " - 1 " + quoted(tmp / "b.raw")).status,
        1);
    EXPECT_EQ(runTool("record NOSUCHCAMERA 1 " + quoted(tmp / "x.raw")).status, 1);
    EXPECT_EQ(runTool("record - 0 " + quoted(tmp / "x.raw")).status, 2);
    EXPECT_EQ(runTool("record - 1 " + quoted(tmp / "missing-dir" / "x.raw")).status, 1);

    // The reason of a failure is one line on stderr.
    const auto oneLine = [](const Result& r, const std::string& reason) {
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        EXPECT_NE(r.out.find(reason), std::string::npos) << r.out;
    };
    {
        std::ofstream(tmp / "refused.json") << R"({"ROI": {"x_width": 0}})";
        std::ofstream(tmp / "unknown.json") << R"({"ROI": {"sideways": true}})";
    }
    oneLine(runTool("record --config " + quoted(tmp / "broken.json") + " - 1 " + quoted(tmp / "b.raw"), true),
            "the file is not JSON");
    oneLine(runTool("record --config " + quoted(tmp / "none.json") + " - 1 " + quoted(tmp / "b.raw"), true),
            "the file cannot be opened");
    oneLine(
        runTool("record --config " + quoted(tmp / "refused.json") + " - 1 " + quoted(tmp / "b.raw"), true),
        "a value the tool refused (Value refused: ROI.x_width = 0)");
    // What a load skipped is told as a warning; the recording goes on.
    {
        std::ofstream(tmp / "misspelt.json") << R"({"RIO": {"enable": true}})";
        const Result skipped = runTool(
            "record --config " + quoted(tmp / "misspelt.json") + " - 1 " + quoted(tmp / "s.raw"), true);
        EXPECT_EQ(skipped.status, 0) << skipped.out;
        EXPECT_NE(skipped.out.find("zelvan-raw: warning: " + (tmp / "misspelt.json").string() +
                                   ": Tool not found: RIO, skipping..."),
                  std::string::npos)
            << skipped.out;
        EXPECT_TRUE(fs::exists(tmp / "s.raw"));
    }
    oneLine(
        runTool("record --config " + quoted(tmp / "unknown.json") + " - 1 " + quoted(tmp / "b.raw"), true),
        "a parameter the tool lacks");
    oneLine(runTool("record - 1 " + quoted(tmp / "missing-dir" / "x.raw"), true),
            "the file cannot be created");
    // A folder given as the configuration file.
    oneLine(runTool("record - 1 " + quoted(tmp / "d.raw") + " --config " + quoted(tmp.path()), true),
            "the file cannot be opened");
    EXPECT_FALSE(fs::exists(tmp / "d.raw"));
}

// Runs a shell command line; its exit status.
int shell(const std::string& line) {
    std::string escaped = "'";
    for (char c : line) escaped += c == '\'' ? std::string("'\\''") : std::string(1, c);
    escaped += "'";
    const int raw = std::system(("bash -c " + escaped).c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

TEST(ZelvanRawTool, AFileSizeLimitIsAWriteErrorWithOneLine) {
    TempDir tmp;
    const std::string tool = "'" + std::string(ZELVAN_RAW_TOOL) + "'";
    const fs::path source = tmp / "source.raw";
    ASSERT_EQ(shell(tool + " generate --seconds 2 --rate 1000000 " + quoted(source) + " 2>/dev/null"), 0);
    ASSERT_GT(fs::file_size(source), 1u << 20);
    const fs::path err = tmp / "err.txt";
    auto stderrText = [&err] {
        std::ifstream in(err);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    // ulimit -f counts blocks of 1024 bytes: 100 KiB, far below what either command writes.
    const fs::path recorded = tmp / "rec.raw";
    EXPECT_EQ(shell("ulimit -f 100; exec " + tool + " record - 2 " + quoted(recorded) + " 2>" + quoted(err)),
              1);
    std::string text = stderrText();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_EQ(text.rfind("zelvan-raw: ", 0), 0u) << text;

    const fs::path cut = tmp / "cut.raw";
    EXPECT_EQ(shell("ulimit -f 100; exec " + tool + " cut " + quoted(source) + " 0 2000000 " + quoted(cut) +
                    " 2>" + quoted(err)),
              1);
    text = stderrText();
    EXPECT_NE(text.find("zelvan-raw: "), std::string::npos) << text;
    EXPECT_FALSE(fs::exists(cut)) << "a failed cut leaves no output";

    // Generating stops at the first write that fails and leaves nothing to pass for a recording.
    const fs::path generated = tmp / "generated.raw";
    EXPECT_EQ(shell("ulimit -f 100; exec " + tool + " generate --seconds 30 " + quoted(generated) + " 2>" +
                    quoted(err)),
              1);
    text = stderrText();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find("File too large"), std::string::npos) << text;
    EXPECT_FALSE(fs::exists(generated));
}

TEST(ZelvanRawTool, AnInterruptedExportLeavesNothingAndSaysSo) {
    TempDir tmp;
    const std::string tool = "'" + std::string(ZELVAN_RAW_TOOL) + "'";
    const fs::path source = tmp / "source.raw";
    ASSERT_EQ(shell(tool + " generate --seconds 20 --rate 1000000 " + quoted(source) + " 2>/dev/null"), 0);
    const fs::path video = tmp / "video.mp4";
    const fs::path err = tmp / "err.txt";
    const fs::path status = tmp / "status.txt";
    // SIGTERM once the video has begun to fill (or after 30 s), then the tool's exit status.
    ASSERT_EQ(
        shell(
            tool + " to-video " + quoted(source) + " 0 20000000 " + quoted(video) + " 2>" + quoted(err) +
            " & pid=$!; n=0; while [ ! -s " + quoted(video) +
            " ] && [ $n -lt 3000 ]; do sleep 0.01; n=$((n+1)); done; kill -TERM $pid; wait $pid; echo $? > " +
            quoted(status)),
        0);
    int code = -1;
    std::ifstream(status) >> code;
    std::ifstream in(err);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The progress line is rewritten in place: what the terminal keeps is its last state.
    text = text.substr(text.rfind('\r') == std::string::npos ? 0 : text.rfind('\r') + 1);
    EXPECT_EQ(code, 128 + SIGTERM) << text;
    EXPECT_NE(text.find("interrupted by SIGTERM"), std::string::npos) << text;
    EXPECT_FALSE(fs::exists(video)) << "an interrupted export leaves no video";
    // A signal the tool was started with ignored (SIGINT in a background job of a script) stays so.
    ASSERT_EQ(
        shell(
            tool + " to-video " + quoted(source) + " 0 20000000 " + quoted(video) + " 2>/dev/null" +
            " & pid=$!; n=0; while [ ! -s " + quoted(video) +
            " ] && [ $n -lt 3000 ]; do sleep 0.01; n=$((n+1)); done; kill -INT $pid; wait $pid; echo $? > " +
            quoted(status)),
        0);
    std::ifstream(status) >> code;
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(fs::exists(video));
    // The tool stays quiet about the signal elsewhere: other commands end on it as programs do.
    EXPECT_NE(shell(tool + " record - 30 " + quoted(tmp / "rec.raw") +
                    " 2>/dev/null & pid=$!; sleep 1; kill -TERM $pid; wait $pid"),
              0);
}

TEST(ZelvanRawTool, ARecordingThatCannotBeWrittenFailsWithOneLine) {
    TempDir tmp;
    if (fs::exists("/dev/full")) {
        const Result full = runTool("record - 1 /dev/full", true);
        EXPECT_EQ(full.status, 1);
        EXPECT_EQ(std::count(full.out.begin(), full.out.end(), '\n'), 1) << full.out;
        EXPECT_NE(full.out.find("incomplete"), std::string::npos) << full.out;
    }
    // A file size limit, as a nearly full disk gives it: the tool fails, and the part that was
    // written opens and decodes.
    const fs::path limited = tmp / "limited.raw";
    const std::string tool = std::string("'") + ZELVAN_RAW_TOOL + "'";
    const std::string err = (tmp / "err.txt").string();
    EXPECT_EQ(shell("trap '' XFSZ; ulimit -f 2048; exec " + tool + " record - 2 '" + limited.string() +
                    "' 2>'" + err + "'"),
              1);
    std::ifstream err_in(err);
    const std::string message((std::istreambuf_iterator<char>(err_in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
    EXPECT_NE(message.find("incomplete"), std::string::npos) << message;
    EXPECT_NE(message.find("the file cannot be written"), std::string::npos) << message;
    EXPECT_LE(fs::file_size(limited), 2048u * 1024u);
    const Result info = runTool("info " + quoted(limited));
    ASSERT_EQ(info.status, 0);
    EXPECT_GT(std::stoull(parseInfo(info.out)["events"]), 1000u);
    EXPECT_EQ(runTool("dump " + quoted(limited)).status, 0);
}

TEST(ZelvanRawTool, ARecordingKilledHalfwayOpensAndDecodes) {
    TempDir tmp;
    const fs::path file = tmp / "killed.raw";
    const std::string tool = std::string("'") + ZELVAN_RAW_TOOL + "'";
    const std::string pid_file = (tmp / "pid").string();
    ASSERT_EQ(shell(tool + " record - 30 '" + file.string() + "' 2>/dev/null & echo $! > '" + pid_file + "'"),
              0);
    std::string pid;
    std::ifstream(pid_file) >> pid;
    ASSERT_FALSE(pid.empty());
    // Once a few megabytes are on disk, kill the recorder without warning.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::error_code ec;
    auto size = [&] {
        const auto n = fs::file_size(file, ec);
        return ec ? uintmax_t(0) : n;
    };
    while (size() < 3u * 1024 * 1024 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(shell("kill -KILL " + pid), 0);
    // Wait until the process is gone (kill -0 fails).
    while (shell("kill -0 " + pid + " 2>/dev/null") == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(fs::file_size(file), 3u * 1024 * 1024);
    const Result info = runTool("info " + quoted(file));
    ASSERT_EQ(info.status, 0) << info.out;
    auto kv = parseInfo(info.out);
    EXPECT_GT(std::stoull(kv["events"]), 100'000u);
    EXPECT_EQ(kv["events"], kv["max_events"]) << "the index holds every complete event";
    EXPECT_EQ(runTool("dump " + quoted(file)).status, 0);
}

}  // namespace

namespace {

struct BothResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the tool with `args` (a shell command line tail); stdout and stderr apart.
BothResult runBoth(const std::string& args) {
    const fs::path err_file =
        fs::temp_directory_path() / ("zelvan-tool-test-stderr-" + std::to_string(::getpid()) + ".txt");
    const std::string cmd =
        std::string("'") + ZELVAN_RAW_TOOL + "' " + args + " 2>'" + err_file.string() + "'";
    BothResult r;
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return r;
    char buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) r.out.append(buf, n);
    const int raw = pclose(pipe);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ifstream in(err_file);
    r.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::error_code ec;
    fs::remove(err_file, ec);
    return r;
}

bool endsWithNewline(const std::string& text) { return !text.empty() && text.back() == '\n'; }

size_t lines(const std::string& text) { return size_t(std::count(text.begin(), text.end(), '\n')); }

const char* const kCommandNames[] = {"info", "dump",     "stats", "generate",
                                     "cut",  "to-video", "list",  "record"};

// The synopsis line of a command in the usage text begins with this.
std::string synopsis(const std::string& name) {
    return "  zelvan-raw " + name + (name == "list" ? "\n" : " ");
}

TEST(ZelvanRawCommandLine, HelpOfTheToolAndOfEachCommand) {
    const BothResult all = runBoth("--help");
    ASSERT_EQ(all.status, 0);
    EXPECT_TRUE(all.err.empty()) << all.err;
    EXPECT_TRUE(endsWithNewline(all.out));
    for (const char* name : kCommandNames) {
        SCOPED_TRACE(name);
        EXPECT_NE(all.out.find(synopsis(name)), std::string::npos);
        for (const char* flag : {" --help", " -h"}) {
            const BothResult one = runBoth(std::string(name) + flag);
            EXPECT_EQ(one.status, 0) << one.err;
            EXPECT_TRUE(one.err.empty()) << one.err;
            EXPECT_EQ(one.out.rfind("Usage:\n" + synopsis(name), 0), 0u) << one.out;
            EXPECT_TRUE(endsWithNewline(one.out));
            // Only this command's section of the text.
            for (const char* other : kCommandNames) {
                if (std::string(other) == name) continue;
                EXPECT_EQ(one.out.find(synopsis(other)), std::string::npos) << other;
            }
        }
    }
    // Help wins over the rest of the line, however incomplete.
    const BothResult record = runBoth("record - --help");
    EXPECT_EQ(record.status, 0) << record.err;
    EXPECT_NE(record.out.find("SERIAL SECONDS FILE"), std::string::npos);
    EXPECT_NE(runBoth("stats --help").out.find("bin_start_us,events,on_events,rate_ev_per_s,on_share"),
              std::string::npos);
    EXPECT_NE(runBoth("info --help").out.find("--json"), std::string::npos);
}

TEST(ZelvanRawCommandLine, WrongUseExitsWithTwoAndOneLine) {
    TempDir tmp;
    const std::string f = quoted(tmp / "rec.raw");
    ASSERT_EQ(runTool("generate " + f + " --seconds 1 --rate 10000").status, 0);
    struct Case {
        std::string args;
        std::string message;  // the line on stderr holds it
    };
    const std::vector<Case> cases = {
        {"", "zelvan-raw: no command given; run 'zelvan-raw --help'\n"},
        {"frobnicate x", "zelvan-raw: unknown command \"frobnicate\"; run 'zelvan-raw --help'\n"},
        {"--bogus", "zelvan-raw: unknown option --bogus; run 'zelvan-raw --help'\n"},
        {"record - 2", "zelvan-raw record: missing FILE; run 'zelvan-raw record --help'\n"},
        {"record", "zelvan-raw record: missing SERIAL; run 'zelvan-raw record --help'\n"},
        {"record - 0 " + f, "zelvan-raw record: SECONDS must be a whole number from 1 to 86400"},
        {"record - 86401 " + f, "SECONDS must be a whole number from 1 to 86400"},
        {"record - 1x " + f, "SECONDS must be a whole number from 1 to 86400"},
        {"record - 1 " + f + " extra", "zelvan-raw record: unexpected argument \"extra\""},
        {"record - 1 " + f + " --config", "zelvan-raw record: --config needs a value"},
        {"record --size 3 - 1 " + f, "zelvan-raw record: unknown option --size"},
        {"info", "zelvan-raw info: missing FILE; run 'zelvan-raw info --help'\n"},
        {"info " + f + " " + f, "zelvan-raw info: unexpected argument"},
        {"info --bogus " + f, "zelvan-raw info: unknown option --bogus; run 'zelvan-raw info --help'\n"},
        {"dump --from x " + f, "zelvan-raw dump: --from needs a whole number of microseconds"},
        {"--bin 5 stats " + f, "zelvan-raw: options go after the command: --bin"},
        {"help bogus", "zelvan-raw: unknown command \"bogus\""},
        {"stats " + f + " -- --bin", "zelvan-raw stats: unexpected argument \"--bin\""},
        {"dump " + f + " --to", "zelvan-raw dump: --to needs a value"},
        {"dump --triggers --to 5 " + f, "zelvan-raw dump: --triggers takes no --from or --to"},
        {"stats " + f + " --bin 0", "zelvan-raw stats: --bin needs a whole number of microseconds from 1 to"},
        {"stats " + f + " --bin -5", "zelvan-raw stats: --bin"},
        {"stats " + f + " --bin 1000000000001", "--bin needs a whole number of microseconds from 1 to"},
        {"stats --bin 1e6 " + f, "--bin needs a whole number"},
        {"stats", "zelvan-raw stats: missing FILE"},
        {"generate", "zelvan-raw generate: missing OUT.raw"},
        {"generate " + quoted(tmp / "g.raw") + " --width 4096", "zelvan-raw generate: --width needs"},
        {"generate " + quoted(tmp / "g.raw") + " --seconds two", "zelvan-raw generate: --seconds needs"},
        {"cut " + f + " 0 5", "zelvan-raw cut: missing OUT.raw; run 'zelvan-raw cut --help'\n"},
        {"cut " + f + " 0 +5 " + quoted(tmp / "c.raw"), "zelvan-raw cut: START_US and END_US must be whole"},
        {"to-video " + f + " zero 5 " + quoted(tmp / "c.mp4"), "zelvan-raw to-video: START_US and END_US"},
        {"to-video " + f + " 0 5", "zelvan-raw to-video: missing OUT.mp4"},
        {"list x", "zelvan-raw list: unexpected argument \"x\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const BothResult r = runBoth(c.args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(lines(r.err), 1u) << r.err;
        EXPECT_TRUE(endsWithNewline(r.err)) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("--help'"), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    EXPECT_FALSE(fs::exists(tmp / "g.raw"));
    EXPECT_FALSE(fs::exists(tmp / "c.raw"));
    // A repeated option or flag counts once, the last one given.
    const BothResult twice = runBoth("dump --from 1 --from 5000 " + f);
    EXPECT_EQ(twice.status, 0) << twice.err;
    EXPECT_EQ(twice.out, runBoth("dump --from 5000 " + f).out);
    const BothResult flags = runBoth("info --json --json " + f);
    EXPECT_EQ(flags.status, 0) << flags.err;
    EXPECT_EQ(flags.out, runBoth("info --json " + f).out);
    // help CMD: that command's section.
    const BothResult help = runBoth("help stats");
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_EQ(help.out, runBoth("stats --help").out);
    // A failure at run time keeps status 1.
    const BothResult missing = runBoth("stats " + quoted(tmp / "missing.raw"));
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "zelvan-raw: cannot open \"" + (tmp / "missing.raw").string() +
                               "\": No such file or directory\n");
    EXPECT_EQ(runBoth("info --json " + quoted(tmp / "missing.raw")).status, 1);
}

TEST(ZelvanRawCommandLine, OptionsMayComeAnywhere) {
    TempDir tmp;
    const fs::path a = tmp / "a.raw";
    const fs::path b = tmp / "b.raw";
    ASSERT_EQ(runTool("generate --seconds 1 --rate 50000 --width 320 --height 240 " + quoted(a)).status, 0);
    ASSERT_EQ(runTool("generate " + quoted(b) + " --height 240 --rate 50000 --width 320 --seconds 1").status,
              0);
    const Result dump_a = runTool("dump " + quoted(a));
    ASSERT_EQ(dump_a.status, 0);
    EXPECT_GT(dump_a.out.size(), 1000u);
    EXPECT_EQ(dump_a.sha256, runTool("dump " + quoted(b)).sha256);
    EXPECT_EQ(parseInfo(runTool("info " + quoted(b)).out)["width"], "320");

    const Result range = runTool("dump --from 100000 --to 300000 " + quoted(a));
    ASSERT_EQ(range.status, 0);
    EXPECT_FALSE(range.out.empty());
    EXPECT_EQ(runTool("dump " + quoted(a) + " --to 300000 --from 100000").out, range.out);
    EXPECT_EQ(runTool("dump --to=300000 " + quoted(a) + " --from=100000").out, range.out);
    EXPECT_EQ(runTool("dump " + quoted(a) + " --triggers").status, 0);

    const Result stats = runTool("stats --bin 250000 " + quoted(a));
    ASSERT_EQ(stats.status, 0);
    EXPECT_EQ(runTool("stats " + quoted(a) + " --bin 250000").out, stats.out);
    EXPECT_EQ(runTool("info --json " + quoted(a)).out, runTool("info " + quoted(a) + " --json").out);

    // "--" ends the options: a file whose name begins with "-".
    fs::copy_file(a, tmp / "-dashed.raw");
    const fs::path listing = tmp / "stats.txt";
    EXPECT_EQ(shell("cd '" + (tmp / "").string() + "' && '" + ZELVAN_RAW_TOOL +
                    "' stats --bin 250000 -- -dashed.raw >'" + listing.string() + "'"),
              0);
    std::ifstream in(listing);
    const std::string dashed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(dashed, stats.out);
    EXPECT_EQ(runBoth("stats -dashed.raw").status, 2) << "without \"--\" it is an option";
}

// The "key: value" lines of `text` in order.
std::vector<std::pair<std::string, std::string>> infoLines(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> kv;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto colon = line.find(": ");
        if (colon != std::string::npos) kv.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    }
    return kv;
}

TEST(ZelvanRawCommandLine, InfoAsJsonHoldsTheSameKeysAndValues) {
    TempDir tmp;
    std::vector<fs::path> files = copiesOfRealRecordings(tmp);
    files.push_back(tmp / "gen.raw");
    ASSERT_EQ(runTool("generate " + quoted(files.back()) + " --seconds 1 --rate 100000").status, 0);
    files.push_back(tmp / "based.raw");  // a header time, no serial number, no date
    writeFile(files.back(),
              "% evt 3.0\n% format EVT3;height=480;width=640\n% dvs_start_timestamp 20000000\n% end\n",
              {0x05, 0x00, 0x07, 0x20, 0x10, 0x60, 0x08, 0x28, 0x01, 0xA6});
    files.push_back(tmp / "quiet.raw");  // no events: no timestamps, no index
    writeFile(files.back(), "% evt 3.0\n% end\n", {0x01, 0x80, 0x10, 0x60});
    const std::set<std::string> texts = {"file", "format", "serial_number", "date"};
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        const Result plain = runTool("info " + quoted(file));
        ASSERT_EQ(plain.status, 0);
        const BothResult json = runBoth("info --json " + quoted(file));
        ASSERT_EQ(json.status, 0) << json.err;
        EXPECT_TRUE(json.err.empty()) << json.err;
        EXPECT_EQ(lines(json.out), 1u) << "one line";
        EXPECT_TRUE(endsWithNewline(json.out));
        const auto object = nlohmann::ordered_json::parse(json.out);
        ASSERT_TRUE(object.is_object());
        const auto kv = infoLines(plain.out);
        ASSERT_EQ(object.size(), kv.size());
        size_t i = 0;
        for (const auto& [key, value] : object.items()) {
            SCOPED_TRACE(key);
            ASSERT_LT(i, kv.size());
            EXPECT_EQ(key, kv[i].first) << "the same keys in the same order";
            if (texts.count(key) > 0) {
                ASSERT_TRUE(value.is_string());
                EXPECT_EQ(value.get<std::string>(), kv[i].second);
            } else {
                ASSERT_TRUE(value.is_number_unsigned());
                EXPECT_EQ(std::to_string(value.get<uint64_t>()), kv[i].second);
            }
            ++i;
        }
    }
}

struct Stats {
    std::string heading;
    std::vector<std::vector<std::string>> rows;
    std::map<std::string, std::string> totals;
};

Stats parseStats(const std::string& text) {
    Stats s;
    std::istringstream in(text);
    std::getline(in, s.heading);
    std::string line;
    while (std::getline(in, line)) {
        const auto colon = line.find(": ");
        if (colon != std::string::npos) {
            s.totals[line.substr(0, colon)] = line.substr(colon + 2);
            continue;
        }
        EXPECT_TRUE(s.totals.empty()) << "a bin line after the totals: " << line;
        std::vector<std::string> fields;
        std::istringstream f(line);
        std::string field;
        while (std::getline(f, field, ',')) fields.push_back(field);
        s.rows.push_back(std::move(fields));
    }
    return s;
}

// "0.1234" for part / whole, rounded half up.
std::string expectedShare(uint64_t part, uint64_t whole) {
    const uint64_t e4 = whole == 0 ? 0 : (part * 10000 + whole / 2) / whole;
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%04llu", static_cast<unsigned long long>(e4 / 10000),
                  static_cast<unsigned long long>(e4 % 10000));
    return text;
}

// Checks the stats of `file` with bin `bin` against info and against the dump's events.
void checkStats(const fs::path& file, uint64_t bin, const std::string& bin_option) {
    const Result out = runTool("stats " + bin_option + quoted(file));
    ASSERT_EQ(out.status, 0);
    EXPECT_TRUE(endsWithNewline(out.out));
    const Stats s = parseStats(out.out);
    EXPECT_EQ(s.heading, "bin_start_us,events,on_events,rate_ev_per_s,on_share");
    auto info = parseInfo(runTool("info " + quoted(file)).out);
    ASSERT_FALSE(info["events"].empty());
    EXPECT_EQ(s.totals.at("events"), info["events"]);
    EXPECT_EQ(s.totals.at("on_events"), info["on_events"]);
    EXPECT_EQ(s.totals.at("triggers"), info["triggers"]);
    EXPECT_EQ(s.totals.at("bin_us"), std::to_string(bin));
    EXPECT_EQ(s.totals.at("bins"), std::to_string(s.rows.size()));
    const uint64_t events = std::stoull(info["events"]), on = std::stoull(info["on_events"]);
    EXPECT_EQ(s.totals.at("on_share"), expectedShare(on, events));

    // The bins: consecutive multiples of the bin, their counts those of the dump.
    const auto dump = parseCsv(runTool("dump " + quoted(file)).out);
    ASSERT_EQ(dump.size(), events);
    std::map<uint64_t, std::pair<uint64_t, uint64_t>> expected;  // bin start -> events, on events
    uint64_t earliest = UINT64_MAX, latest = 0;
    for (const auto& r : dump) {
        auto& b = expected[r[3] / bin * bin];
        ++b.first;
        b.second += r[2];
        earliest = std::min(earliest, r[3]);
        latest = std::max(latest, r[3]);
    }
    EXPECT_EQ(s.totals.at("duration_us"), std::to_string(events > 0 ? latest - earliest : 0));
    uint64_t sum = 0, sum_on = 0;
    for (size_t i = 0; i < s.rows.size(); ++i) {
        const auto& row = s.rows[i];
        ASSERT_EQ(row.size(), 5u);
        const uint64_t start = std::stoull(row[0]), n = std::stoull(row[1]), n_on = std::stoull(row[2]);
        EXPECT_EQ(start % bin, 0u);
        const uint64_t previous_end = i == 0 ? earliest / bin * bin : std::stoull(s.rows[i - 1][0]) + bin;
        EXPECT_EQ(start, previous_end) << "bins follow each other from the earliest event's";
        const auto it = expected.find(start);
        EXPECT_EQ(n, it == expected.end() ? 0 : it->second.first) << start;
        EXPECT_EQ(n_on, it == expected.end() ? 0 : it->second.second) << start;
        EXPECT_EQ(row[3], std::to_string(n * 1000000 / bin));
        EXPECT_EQ(row[4], expectedShare(n_on, n));
        sum += n;
        sum_on += n_on;
    }
    if (events > 0) {
        EXPECT_EQ(std::stoull(s.rows.back()[0]), latest / bin * bin);
    }
    EXPECT_EQ(sum, events) << "the bins add up to the total";
    EXPECT_EQ(sum_on, on);
}

TEST(ZelvanRawCommandLine, StatsAgreeWithInfoAndTheEvents) {
    TempDir tmp;
    const fs::path gen = tmp / "gen.raw";
    ASSERT_EQ(runTool("generate " + quoted(gen) + " --seconds 1 --rate 200000").status, 0);
    {
        SCOPED_TRACE("generated, --bin 100000");
        checkStats(gen, 100000, "--bin 100000 ");
        const Stats s = parseStats(runTool("stats --bin 100000 " + quoted(gen)).out);
        EXPECT_EQ(s.rows.size(), 10u);
    }
    {
        SCOPED_TRACE("generated, default bin");
        checkStats(gen, 1000000, "");
    }
    {
        SCOPED_TRACE("generated, --bin 7");
        checkStats(gen, 7, "--bin 7 ");
    }
    for (const fs::path& file : copiesOfRealRecordings(tmp)) {
        SCOPED_TRACE(file.filename().string());
        checkStats(file, 1000000, "");
        checkStats(file, 33333, "--bin 33333 ");
    }
    // A recording without events: the heading and the totals.
    writeFile(tmp / "quiet.raw", "% evt 3.0\n% end\n", {0x01, 0x80, 0x10, 0x60});
    const Result quiet = runTool("stats " + quoted(tmp / "quiet.raw"));
    ASSERT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out,
              "bin_start_us,events,on_events,rate_ev_per_s,on_share\n"
              "events: 0\non_events: 0\non_share: 0.0000\ntriggers: 0\nduration_us: 0\nbin_us: 1000000\n"
              "bins: 0\n");
    // Events that step back in time land in their own bins.
    writeFile(tmp / "jitter.raw", "% evt 3.0\n% end\n",
              {0x01, 0x80, 0x05, 0x00, 0x01, 0x20, 0x64, 0x60, 0x02, 0x20, 0x32, 0x60});
    checkStats(tmp / "jitter.raw", 100, "--bin 100 ");
}

TEST(ZelvanRawCommandLine, StatsRefusesTooManyBinsAndStopsOnABrokenOutput) {
    TempDir tmp;
    // An event at the start, then TIME_HIGH stepping back and forth by 0x7FF counts (each step back
    // is taken for a wrap of the counter, pushing the time ahead), then an event far in the future.
    std::vector<uint8_t> payload = {0x00, 0x80, 0x05, 0x00, 0x01, 0x20};
    for (int i = 0; i < 100; ++i) {
        for (uint8_t b : {0xFF, 0x8F, 0x00, 0x80}) payload.push_back(b);
    }
    for (uint8_t b : {0x02, 0x20}) payload.push_back(b);
    const fs::path damaged = tmp / "damaged.raw";
    writeFile(damaged, "% evt 3.0\n% end\n", payload);
    const Result refused = runTool("stats --bin 1 " + quoted(damaged), true);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.out.find(" bins of 1 us; use a larger --bin"), std::string::npos) << refused.out;
    EXPECT_EQ(std::count(refused.out.begin(), refused.out.end(), '\n'), 1) << refused.out;
    // The same file in bins large enough for the span.
    const Result info = runTool("stats --bin 1000000000 " + quoted(damaged));
    EXPECT_EQ(info.status, 0);
    EXPECT_NE(info.out.find("events: 2\n"), std::string::npos) << info.out;

    // Rows into a full device: status 1 and the reason.
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "needs /dev/full";
    const fs::path err = tmp / "err.txt";
    EXPECT_EQ(shell("'" + std::string(ZELVAN_RAW_TOOL) + "' stats --bin 1000 " + quoted(damaged) +
                    " >/dev/full 2>" + quoted(err)),
              1);
    std::ifstream in(err);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "zelvan-raw: cannot write the output\n");
}

TEST(ZelvanRawCommandLine, StatsSharesAreRoundedToFourDecimals) {
    TempDir tmp;
    // TIME_HIGH 1 (4096 us), row 0; at TIME_LOW 5: x 1 ON, x 2 ON, x 3 OFF; at TIME_LOW 105: x 1 ON
    // and x 2 to 8 OFF.
    std::vector<uint8_t> payload = {0x01, 0x80, 0x05, 0x60, 0x00, 0x00, 0x01, 0x28,
                                    0x02, 0x28, 0x03, 0x20, 0x69, 0x60, 0x01, 0x28};
    for (uint8_t x = 2; x <= 8; ++x) {
        payload.push_back(x);
        payload.push_back(0x20);
    }
    writeFile(tmp / "shares.raw", "% evt 3.0\n% end\n", payload);
    const Result r = runTool("stats --bin 100 " + quoted(tmp / "shares.raw"));
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "bin_start_us,events,on_events,rate_ev_per_s,on_share\n"
              "4100,3,2,30000,0.6667\n"
              "4200,8,1,80000,0.1250\n"
              "events: 11\non_events: 3\non_share: 0.2727\ntriggers: 0\nduration_us: 100\nbin_us: 100\n"
              "bins: 2\n");
}

TEST(ZelvanRawCommandLine, RecordEndsEveryLineAndTellsTheLosses) {
    TempDir tmp;
    const fs::path file = tmp / "rec.raw";
    const BothResult r = runBoth("record - 1 " + quoted(file));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_TRUE(endsWithNewline(r.err)) << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << "no progress line when stderr is not a terminal";
    EXPECT_EQ(lines(r.err), 2u) << r.err;
    std::istringstream in(r.err);
    std::string recorded, losses;
    std::getline(in, recorded);
    std::getline(in, losses);
    const auto kv = parseInfo(runTool("info " + quoted(file)).out);
    EXPECT_EQ(recorded.rfind("zelvan-raw: recorded " + kv.at("events") + " events from ", 0), 0u) << recorded;
    EXPECT_EQ(recorded.substr(recorded.size() - file.string().size() - 6), " into " + file.string());
    unsigned long long written = 0, buffers = 0, dropped = 0;
    char tail[16] = {};
    ASSERT_EQ(
        std::sscanf(losses.c_str(),
                    "zelvan-raw: %llu bytes written; lost on the way: %llu device buffers, %llu bytes in "
                    "the %15s",
                    &written, &buffers, &dropped, tail),
        4)
        << losses;
    EXPECT_EQ(std::string(tail), "recorder");
    EXPECT_EQ(written, fs::file_size(file));

    // The options anywhere: a configuration file after the other arguments.
    std::ofstream(tmp / "roi.json")
        << R"({"ROI": {"enable": true, "x": 0, "y": 0, "x_width": 64, "y_height": 32}})";
    const fs::path cropped = tmp / "cropped.raw";
    const BothResult c = runBoth("record - 1 " + quoted(cropped) + " --config " + quoted(tmp / "roi.json"));
    ASSERT_EQ(c.status, 0) << c.err;
    const auto rows = parseCsv(runTool("dump " + quoted(cropped)).out);
    ASSERT_FALSE(rows.empty());
    for (const auto& row : rows) {
        ASSERT_LT(row[0], 64u);
        ASSERT_LT(row[1], 32u);
    }
}

TEST(ZelvanRawCommandLine, RecordShowsItsProgressOnATerminal) {
    if (shell("command -v script >/dev/null") != 0) GTEST_SKIP() << "needs script(1) for a terminal";
    TempDir tmp;
    const fs::path file = tmp / "rec.raw";
    const fs::path typescript = tmp / "terminal.txt";
    // script(1) runs the tool on a terminal of its own and copies what it shows.
    const std::string tool = std::string(ZELVAN_RAW_TOOL) + " record - 3 " + file.string();
    ASSERT_EQ(shell("script -qec '" + tool + "' /dev/null </dev/null >'" + typescript.string() + "'"), 0);
    std::ifstream in(typescript, std::ios::binary);
    const std::string shown((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto progress = shown.find("zelvan-raw: recording ");
    ASSERT_NE(progress, std::string::npos) << shown;
    EXPECT_NE(shown.find("/3 s, ", progress), std::string::npos) << shown;
    EXPECT_NE(shown.find(" ev/s", progress), std::string::npos) << shown;
    // The progress line is ended before the closing lines, which follow it.
    const auto recorded = shown.find("zelvan-raw: recorded ");
    ASSERT_NE(recorded, std::string::npos) << shown;
    EXPECT_LT(progress, recorded);
    EXPECT_EQ(shown[recorded - 1], '\n') << shown;
    EXPECT_NE(shown.find(" bytes in the recorder", recorded), std::string::npos) << shown;
}

}  // namespace
