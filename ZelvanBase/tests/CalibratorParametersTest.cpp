#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <numbers>

#include "zelvan/CalibratorParameters.h"
#include "zelvan/Logger.h"

namespace zelvan {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

void expectIdentical(const CalibratorParameters& a, const CalibratorParameters& b) {
    EXPECT_EQ(a, b);
    EXPECT_TRUE(sameBits(a.dvs_matrix.data, b.dvs_matrix.data));
    EXPECT_TRUE(sameBits(a.aps_matrix.data, b.aps_matrix.data));
    EXPECT_TRUE(sameBits(a.dvs_coefficients, b.dvs_coefficients));
    EXPECT_TRUE(sameBits(a.aps_coefficients, b.aps_coefficients));
    ASSERT_EQ(a.transforms.size(), b.transforms.size());
    for (const auto& [key, values] : a.transforms) EXPECT_TRUE(sameBits(values, b.transforms.at(key))) << key;
}

CalibratorParameters sample() {
    CalibratorParameters p;
    p.description = "factory line 3 \"B\" \xE6\xA0\xA1\xE5\x87\x86\n2nd line";
    p.dvs_width = 320;
    p.dvs_height = 320;
    p.aps_width = 65535;
    p.aps_height = 1;
    p.dvs_matrix = {
        3, 3, 6, {1.0 / 3.0, 0.1, -0.0, 1e308, 5e-324, std::nextafter(1.0, 2.0), 2.5e-10, -7.0, 0.0}};
    p.aps_matrix = {
        -1, std::numeric_limits<int32_t>::max(), std::numeric_limits<int64_t>::min(), {std::numbers::pi}};
    p.transforms["1"] = {3.351724137931035,  0, -225.10344827586232, 0, 3.351724137931035,
                         -126.62068965517255};
    p.transforms["0"] = {0.29835390946502055, 0, 67.16049382716051, 0, 0.29835390946502055,
                         37.77777777777783};
    p.transforms["extra"] = {};
    p.dvs_coefficients = {-0.123456789012345678, 1e-300, std::numeric_limits<double>::max()};
    p.aps_coefficients = {};
    return p;
}

class CalibrationFiles : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("zelvan_calib_" + std::to_string(::getpid()) + "_" +
                                            testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    static std::string readAll(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    fs::path dir_;
};

TEST(CalibrationRecord, DefaultsAreTheSensorSizes) {
    const CalibratorParameters p;
    EXPECT_EQ(p.dvs_width, 1280);
    EXPECT_EQ(p.dvs_height, 720);
    EXPECT_EQ(p.aps_width, 3840);
    EXPECT_EQ(p.aps_height, 2160);
    EXPECT_TRUE(p.transforms.empty());
}

TEST_F(CalibrationFiles, EveryMemberRoundTripsBitExactThroughFileAndBytes) {
    const CalibratorParameters original = sample();
    const fs::path path = dir_ / "calib.json";
    ScopedLogCapture capture;
    ASSERT_TRUE(paramToJsonFile(original, path.string()));

    CalibratorParameters fromFile;
    ASSERT_TRUE(jsonFileToParam(path.string(), fromFile));
    expectIdentical(fromFile, original);

    const std::string text = readAll(path);
    CalibratorParameters fromText;
    ASSERT_TRUE(jsonDataToParam(text, fromText));
    expectIdentical(fromText, original);

    CalibratorParameters fromBytes;
    ASSERT_TRUE(jsonDataToParam(std::vector<uint8_t>(text.begin(), text.end()), fromBytes));
    expectIdentical(fromBytes, original);
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(CalibrationFiles, OutputIsStableFourSpaceIndentedJson) {
    const fs::path a = dir_ / "a.json";
    const fs::path b = dir_ / "b.json";
    ASSERT_TRUE(paramToJsonFile(sample(), a.string()));
    CalibratorParameters reread;
    ASSERT_TRUE(jsonFileToParam(a.string(), reread));
    ASSERT_TRUE(paramToJsonFile(reread, b.string()));
    const std::string text = readAll(a);
    EXPECT_EQ(text, readAll(b));
    EXPECT_NE(text.find("\n    \"aps_height\": 1,\n"), std::string::npos) << text;
    EXPECT_TRUE(json::parse(text).is_object());
}

TEST_F(CalibrationFiles, DeviceStoragePaddingIsIgnored) {
    const fs::path path = dir_ / "calib.json";
    ASSERT_TRUE(paramToJsonFile(sample(), path.string()));
    std::string text = readAll(path);
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.insert(bytes.end(), 100, 0x00);
    bytes.insert(bytes.end(), 100, 0xFF);
    CalibratorParameters p;
    ASSERT_TRUE(jsonDataToParam(bytes, p));
    expectIdentical(p, sample());
}

TEST_F(CalibrationFiles, WriteFailuresAreReported) {
    ScopedLogCapture capture;
    EXPECT_FALSE(paramToJsonFile(sample(), (dir_ / "missing" / "calib.json").string()));
    EXPECT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines().at(0).level, LOG_ERROR);

    capture.clear();
    CalibratorParameters nan = sample();
    nan.transforms["1"][2] = std::nan("");
    EXPECT_FALSE(paramToJsonFile(nan, (dir_ / "nan.json").string()));
    EXPECT_FALSE(fs::exists(dir_ / "nan.json"));
    CalibratorParameters inf = sample();
    inf.aps_coefficients.push_back(-HUGE_VAL);
    EXPECT_FALSE(paramToJsonFile(inf, (dir_ / "inf.json").string()));
    EXPECT_EQ(capture.lines().size(), 2u);
}

TEST_F(CalibrationFiles, MissingOrUnreadableFileLeavesRecordUnchanged) {
    ScopedLogCapture capture;
    CalibratorParameters p = sample();
    EXPECT_FALSE(jsonFileToParam((dir_ / "absent.json").string(), p));
    EXPECT_FALSE(jsonFileToParam(dir_.string(), p));  // a directory
    expectIdentical(p, sample());
    EXPECT_EQ(capture.lines().size(), 2u);
    for (const auto& line : capture.lines()) EXPECT_EQ(line.level, LOG_ERROR);
}

// Each malformed document must be refused with exactly one error line and no change to the record.
void expectRejected(const std::string& text, const std::string& why) {
    ScopedLogCapture capture;
    CalibratorParameters p = sample();
    EXPECT_FALSE(jsonDataToParam(text, p)) << why;
    expectIdentical(p, sample());
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u) << why;
    EXPECT_EQ(lines[0].level, LOG_ERROR) << why;
}

json validDocument() {
    CalibratorParameters p;
    p.transforms["1"] = {1, 2, 3, 4, 5, 6};
    p.dvs_matrix = {1, 1, 0, {2.0}};
    const fs::path path =
        fs::temp_directory_path() / ("zelvan_valid_" + std::to_string(::getpid()) + ".json");
    EXPECT_TRUE(paramToJsonFile(p, path.string()));
    std::ifstream in(path);
    json doc = json::parse(in);
    fs::remove(path);
    return doc;
}

TEST(CalibrationInput, NotJsonOrNotAnObject) {
    for (const char* text :
         {"", "   ", "{", "{\"description\": ", "not json", "[1, 2, 3]", "42", "null", "{} trailing"}) {
        expectRejected(text, text);
    }
    CalibratorParameters p = sample();
    ScopedLogCapture capture;
    EXPECT_FALSE(jsonDataToParam(nullptr, 10, p));
    expectIdentical(p, sample());
}

TEST(CalibrationInput, EveryMemberIsRequired) {
    const json valid = validDocument();
    CalibratorParameters check;
    ASSERT_TRUE(jsonDataToParam(valid.dump(), check));
    for (const auto& [key, value] : valid.items()) {
        json doc = valid;
        doc.erase(key);
        expectRejected(doc.dump(), "without " + key);
    }
    for (const char* matrix : {"dvs_matrix", "aps_matrix"}) {
        for (const char* field : {"rows", "cols", "type", "data"}) {
            json doc = valid;
            doc[matrix].erase(field);
            expectRejected(doc.dump(), std::string(matrix) + " without " + field);
        }
    }
}

TEST(CalibrationInput, WrongTypesAndRangesAreRefused) {
    const json valid = validDocument();
    for (const auto& [key, value] : valid.items()) {
        json doc = valid;
        doc[key] = key == "description" ? json(7) : json("text");
        expectRejected(doc.dump(), "string or number for " + key);
    }
    const std::vector<std::pair<std::string, json>> cases = {
        {"/dvs_width", 65536},
        {"/aps_height", -1},
        {"/dvs_height", 720.5},
        {"/aps_width", true},
        {"/dvs_matrix/rows", 1LL << 31},
        {"/aps_matrix/cols", -(1LL << 31) - 1},
        {"/aps_matrix/type", 1.5},
        {"/aps_matrix/type", std::numeric_limits<uint64_t>::max()},
        {"/dvs_matrix/data", json::array({1, "2"})},
        {"/transforms/1", json::array({1, nullptr})},
        {"/transforms/1", 3.0},
        {"/dvs_coefficients", json::object()},
        {"/aps_coefficients", json::array({json::array()})},
    };
    for (const auto& [pointer, value] : cases) {
        json doc = valid;
        doc[json::json_pointer(pointer)] = value;
        expectRejected(doc.dump(), pointer + " = " + value.dump());
    }
}

TEST(CalibrationInput, UnknownMembersAndIntegerNumbersAreAccepted) {
    json doc = validDocument();
    doc["comment"] = "written by hand";
    doc["transforms"]["1"] = json::array({2, 0, 10, 0, 2, -5});
    doc["dvs_width"] = 640u;
    CalibratorParameters p;
    ASSERT_TRUE(jsonDataToParam(doc.dump(), p));
    EXPECT_EQ(p.dvs_width, 640);
    EXPECT_EQ(p.transforms.at("1"), (std::vector<double>{2, 0, 10, 0, 2, -5}));
}

}  // namespace
}  // namespace zelvan
