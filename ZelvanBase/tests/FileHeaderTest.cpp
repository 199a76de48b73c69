#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "zelvan/FileHeader.h"
#include "zelvan/TimeUtils.h"

namespace zelvan {
namespace {

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));  // unterminated last line
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool startsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// Reads a header with the rules raw file readers apply: "% key value" lines up to "% end".
struct ReadHeader {
    bool rejected = false;
    bool ended = false;
    DvsFileInfo info;
    std::string dateText;
};

ReadHeader readHeader(const std::string& text) {
    ReadHeader out;
    out.info.width = 0;
    out.info.height = 0;
    for (const std::string& line : splitLines(text)) {
        if (line.empty() || line[0] != '%') break;
        if (line == "% end") {
            out.ended = true;
            break;
        }
        if (startsWith(line, "% evt ")) {
            out.rejected |= line.substr(6) != "3.0";
        } else if (startsWith(line, "% format ")) {
            std::stringstream items(line.substr(9));
            std::string item;
            std::getline(items, item, ';');
            out.rejected |= item != "EVT3";
            while (std::getline(items, item, ';')) {
                if (startsWith(item, "width="))
                    out.info.width = static_cast<uint16_t>(std::stoi(item.substr(6)));
                if (startsWith(item, "height="))
                    out.info.height = static_cast<uint16_t>(std::stoi(item.substr(7)));
            }
        } else if (startsWith(line, "% geometry ")) {
            const std::string value = line.substr(11);
            const size_t x = value.find('x');
            out.info.width = static_cast<uint16_t>(std::stoi(value.substr(0, x)));
            out.info.height = static_cast<uint16_t>(std::stoi(value.substr(x + 1)));
        } else if (startsWith(line, "% serial_number ")) {
            out.info.serial_number = line.substr(16);
        } else if (startsWith(line, "% dvs_start_timestamp ")) {
            out.info.dvs_start_timestamp = std::stoull(line.substr(22));
        } else if (startsWith(line, "% aps_start_timestamp ")) {
            out.info.aps_start_timestamp = std::stoull(line.substr(22));
        } else if (startsWith(line, "% date ")) {
            out.dateText = line.substr(7, 25);
            out.info.date = parseLocalTimeString(out.dateText);
        }
    }
    return out;
}

DvsFileInfo sampleInfo() {
    DvsFileInfo info;
    info.dvs_start_timestamp = 123456789;
    info.width = 1280;
    info.height = 720;
    info.serial_number = "ZV00A1B2";
    info.date = std::chrono::system_clock::from_time_t(1700000000);
    return info;
}

TEST(FileHeaderText, EventOnlyHeaderFollowsTheLineRules) {
    const DvsFileInfo info = sampleInfo();
    const std::string header = generateDvsFileHeader(info);
    ASSERT_FALSE(header.empty());
    EXPECT_EQ(header.back(), '\n');
    const auto lines = splitLines(header);
    ASSERT_GE(lines.size(), 7u);
    for (const auto& line : lines) EXPECT_TRUE(startsWith(line, "%")) << line;
    EXPECT_EQ(lines.back(), "% end");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "% end"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "% evt 3.0"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "% format EVT3;height=720;width=1280"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "% geometry 1280x720"), 1);
    for (const auto& line : lines) EXPECT_FALSE(startsWith(line, "% aps_start_timestamp")) << line;
}

TEST(FileHeaderText, ReaderRecoversEveryField) {
    DvsFileInfo info = sampleInfo();
    info.width = 320;
    info.height = 240;
    const ReadHeader read = readHeader(generateDvsFileHeader(info));
    EXPECT_FALSE(read.rejected);
    EXPECT_TRUE(read.ended);
    EXPECT_EQ(read.info.width, info.width);
    EXPECT_EQ(read.info.height, info.height);
    EXPECT_EQ(read.info.serial_number, info.serial_number);
    EXPECT_EQ(read.info.dvs_start_timestamp, info.dvs_start_timestamp);
    EXPECT_EQ(read.info.aps_start_timestamp, 0u);
    EXPECT_EQ(read.info.date, info.date) << read.dateText;
}

TEST(FileHeaderText, FusionHeaderStartsWithFrameStartTimestamp) {
    DvsFileInfo info = sampleInfo();
    info.aps_start_timestamp = 5000000;
    const std::string header = generateDvsFileHeader(info);
    EXPECT_TRUE(startsWith(header, "% aps_start_timestamp 5000000\n")) << header;
    const ReadHeader read = readHeader(header);
    EXPECT_TRUE(read.ended);
    EXPECT_EQ(read.info.aps_start_timestamp, info.aps_start_timestamp);
    EXPECT_EQ(read.info.dvs_start_timestamp, info.dvs_start_timestamp);
}

TEST(FileHeaderText, SerialCannotBreakTheHeader) {
    DvsFileInfo info = sampleInfo();
    info.serial_number = "AB\n% end\nCD\r\t";
    const std::string header = generateDvsFileHeader(info);
    const auto lines = splitLines(header);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "% end"), 1);
    EXPECT_EQ(lines.back(), "% end");
    const ReadHeader read = readHeader(header);
    EXPECT_TRUE(read.ended);
    EXPECT_EQ(read.info.serial_number.size(), info.serial_number.size());
    EXPECT_EQ(read.info.serial_number.find('\n'), std::string::npos);
    EXPECT_EQ(read.info.dvs_start_timestamp, info.dvs_start_timestamp);
}

TEST(FileHeaderText, EmptySerialGivesNoSerialLine) {
    DvsFileInfo info = sampleInfo();
    info.serial_number.clear();
    const auto lines = splitLines(generateDvsFileHeader(info));
    for (const auto& line : lines) EXPECT_FALSE(startsWith(line, "% serial_number")) << line;
    EXPECT_EQ(lines.back(), "% end");
}

}  // namespace
}  // namespace zelvan
