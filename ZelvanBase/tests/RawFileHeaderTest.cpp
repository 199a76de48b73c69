#include <gtest/gtest.h>

#include <sstream>

#include "zelvan/FileHeader.h"
#include "zelvan/RawFileHeader.h"
#include "zelvan/TimeUtils.h"

namespace zelvan {
namespace {

bool parse(const std::string& text, RawFileHeader& h, std::string& error) {
    std::istringstream in(text);
    return readRawFileHeader(in, h, error);
}

TEST(RawFileHeader, SizesAndEnd) {
    RawFileHeader h;
    std::string error;
    ASSERT_TRUE(
        parse("% evt 3.0\n% format EVT3;height=720;width=1280\n% geometry 640x480\n% end\nXYZ", h, error));
    EXPECT_EQ(h.info.width, 640);  // the later geometry line wins
    EXPECT_EQ(h.info.height, 480);
    EXPECT_TRUE(h.has_end_line);
    EXPECT_EQ(h.payload_offset, 71u);
    EXPECT_EQ(h.formatText(), "EVT3;height=480;width=640");

    ASSERT_TRUE(parse("% format EVT3; height = 320; width = 320\r\n% end\r\n", h, error));
    EXPECT_EQ(h.info.width, 320);
    EXPECT_EQ(h.info.height, 320);
}

TEST(RawFileHeader, WhereThePayloadStarts) {
    RawFileHeader h;
    std::string error;
    // First byte not '%': no header at all.
    ASSERT_TRUE(parse(std::string("\x01\x80% evt 3.0\n", 12), h, error));
    EXPECT_EQ(h.payload_offset, 0u);
    EXPECT_EQ(h.info.width, 1280);
    EXPECT_EQ(h.info.height, 720);
    // No "% end": the header stops at the first line that does not start with '%', and an odd
    // header length is fine.
    ASSERT_TRUE(parse("% evt 3.0\n% x\n\x2D\x8B", h, error));
    EXPECT_FALSE(h.has_end_line);
    EXPECT_EQ(h.payload_offset, 14u);
    // Data right after "% end" that happens to start with '%' belongs to the payload.
    ASSERT_TRUE(parse("% end\n% 12", h, error));
    EXPECT_EQ(h.payload_offset, 6u);
    // A header that runs to the end of the file leaves an empty payload.
    ASSERT_TRUE(parse("% evt 3.0\n% serial_number 00ca0009", h, error));
    EXPECT_EQ(h.payload_offset, 34u);
    EXPECT_EQ(h.info.serial_number, "00ca0009");
}

TEST(RawFileHeader, Rejections) {
    const char* bad[] = {
        "% evt 2.0\n% end\n",
        "% format EVT2;height=720;width=1280\n% end\n",
        "% format EVT3;height=abc;width=1280\n% end\n",
        "% geometry 640by480\n% end\n",
        "% geometry 0x480\n% end\n",
        "% dvs_start_timestamp -5\n% end\n",
        "% dvs_start_timestamp 99999999999999999999999\n% end\n",
    };
    for (const char* text : bad) {
        RawFileHeader h;
        std::string error;
        EXPECT_FALSE(parse(text, h, error)) << text;
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos) << "one line";
    }
    RawFileHeader h;
    std::string error;
    EXPECT_FALSE(parse("% " + std::string(100000, 'a') + "\n", h, error));
    EXPECT_FALSE(readRawFileHeader("/nonexistent/file.raw", h, error));
    EXPECT_NE(error.find("cannot open"), std::string::npos);
}

TEST(RawFileHeader, StartTimesThatWouldOverflowAreRejected) {
    for (const char* value : {"18446744073709551615", "4611686018427387905"}) {
        RawFileHeader h;
        std::string error;
        EXPECT_FALSE(parse(std::string("% evt 3.0\n% dvs_start_timestamp ") + value + "\n% end\n", h, error))
            << value;
        EXPECT_NE(error.find("out of range"), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << "one line";
    }
    // 2^62 us itself is still a start time.
    RawFileHeader h;
    std::string error;
    ASSERT_TRUE(parse("% evt 3.0\n% dvs_start_timestamp 4611686018427387904\n% end\n", h, error)) << error;
    EXPECT_TRUE(h.has_dvs_start_timestamp);
    EXPECT_EQ(h.info.dvs_start_timestamp, uint64_t(1) << 62);
}

TEST(RawFileHeader, ReadsWhatTheBaseLibraryWrites) {
    DvsFileInfo info;
    info.width = 320;
    info.height = 320;
    info.serial_number = "ZV0042";
    info.dvs_start_timestamp = 123456789012ull;
    info.aps_start_timestamp = 5555;
    info.date = parseLocalTimeString("2026-03-04 05:06:07");
    const std::string text = generateDvsFileHeader(info) + "\x01\x80";
    RawFileHeader h;
    std::string error;
    ASSERT_TRUE(parse(text, h, error)) << error;
    EXPECT_TRUE(h.has_end_line);
    EXPECT_EQ(h.payload_offset, text.size() - 2);
    EXPECT_EQ(h.info.width, 320);
    EXPECT_EQ(h.info.height, 320);
    EXPECT_EQ(h.info.serial_number, "ZV0042");
    EXPECT_TRUE(h.has_dvs_start_timestamp);
    EXPECT_EQ(h.info.dvs_start_timestamp, 123456789012ull);
    EXPECT_TRUE(h.has_aps_start_timestamp);
    EXPECT_EQ(h.info.aps_start_timestamp, 5555u);
    EXPECT_EQ(timePointToString(h.info.date), "2026-03-04 05:06:07");
}

}  // namespace
}  // namespace zelvan
