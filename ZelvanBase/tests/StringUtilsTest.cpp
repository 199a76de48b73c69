#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "zelvan/StringUtils.h"

namespace zelvan {
namespace {

constexpr uint32_t address(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}

TEST(ByteOrder, SwapsEachWordAndLeavesOddByte) {
    std::vector<uint8_t> even{0x01, 0x02, 0x03, 0x04, 0xA0, 0xB0};
    convertEndian(even);
    EXPECT_EQ(even, (std::vector<uint8_t>{0x02, 0x01, 0x04, 0x03, 0xB0, 0xA0}));

    std::vector<uint8_t> odd{0x11, 0x22, 0x33};
    convertEndian(odd);
    EXPECT_EQ(odd, (std::vector<uint8_t>{0x22, 0x11, 0x33}));

    std::vector<uint8_t> empty;
    convertEndian(empty);
    EXPECT_TRUE(empty.empty());
    std::vector<uint8_t> single{0x7F};
    convertEndian(single);
    EXPECT_EQ(single, std::vector<uint8_t>{0x7F});
}

TEST(ByteOrder, TwiceIsIdentity) {
    std::vector<uint8_t> bytes(4097);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 13);
    const auto original = bytes;
    convertEndian(bytes);
    EXPECT_NE(bytes, original);
    convertEndian(bytes);
    EXPECT_EQ(bytes, original);
}

TEST(IpAddressText, WellFormedAddresses) {
    EXPECT_EQ(stringToIP("192.168.1.10"), address(192, 168, 1, 10));
    EXPECT_EQ(stringToIP("255.255.255.0"), address(255, 255, 255, 0));
    EXPECT_EQ(stringToIP("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(stringToIP("0.0.0.0"), 0u);
    EXPECT_EQ(stringToIP("10.0.0.1"), address(10, 0, 0, 1));
    EXPECT_EQ(stringToIP("010.001.000.009"), address(10, 1, 0, 9));  // decimal, not octal
}

TEST(IpAddressText, MalformedAddressesGiveZero) {
    for (const char* text :
         {"", " ", "192.168.1", "192.168.1.10.5", "192.168.1.256", "256.1.1.1", "192.168.1.10 ",
          " 192.168.1.10", "192.168..10", ".192.168.1.10", "192.168.1.10.", "192.168.1.-1", "192.168.1.0x1",
          "a.b.c.d", "1.2.3.4a", "0001.2.3.4", "1,2,3,4", "192.168.1.10\n", "99999999999.1.1.1"}) {
        EXPECT_EQ(stringToIP(text), 0u) << '"' << text << '"';
    }
}

TEST(TextEncoding, ConvertsNamedCharacterSets) {
    EXPECT_EQ(convertToUtf8("caf\xE9", "ISO-8859-1"), "caf\xC3\xA9");
    EXPECT_EQ(convertToUtf8("\xC4\xE3\xBA\xC3", "GBK"), "\xE4\xBD\xA0\xE5\xA5\xBD");
    // One byte becomes three: the output buffer has to grow.
    const std::string euros(5000, '\x80');
    std::string expected;
    for (int i = 0; i < 5000; ++i) expected += "\xE2\x82\xAC";
    EXPECT_EQ(convertToUtf8(euros, "CP1252"), expected);
}

TEST(TextEncoding, UnconvertibleTextIsReturnedUnchanged) {
    EXPECT_EQ(convertToUtf8("abc\x81", "GBK"), "abc\x81");  // truncated double-byte character
    EXPECT_EQ(convertToUtf8("caf\xE9", "NO-SUCH-CHARSET"), "caf\xE9");
    EXPECT_EQ(convertToUtf8("caf\xC3\xA9", "utf-8"), "caf\xC3\xA9");
    EXPECT_EQ(convertToUtf8("", "GBK"), "");
}

TEST(TextEncoding, LocalCharacterSetOfTheProcess) {
    const std::string previous = std::setlocale(LC_CTYPE, nullptr);
    // The "C" locale's character set is ASCII: plain text passes, other bytes are not convertible.
    ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
    EXPECT_EQ(local8bitToUtf8("/data/rec_01.raw"), "/data/rec_01.raw");
    EXPECT_EQ(local8bitToUtf8("/data/caf\xE9.raw"), "/data/caf\xE9.raw");
    if (std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr) {
        EXPECT_EQ(local8bitToUtf8("/data/caf\xC3\xA9.raw"), "/data/caf\xC3\xA9.raw");
    }
    std::setlocale(LC_CTYPE, previous.c_str());
}

}  // namespace
}  // namespace zelvan
