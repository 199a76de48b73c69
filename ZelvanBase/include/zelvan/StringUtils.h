// Byte-order, text-encoding and address helpers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelvan {

// Swaps the two bytes of every 16-bit word in place: {a, b, c, d} becomes {b, a, d, c}. A trailing
// odd byte has no partner and is left as it is.
void convertEndian(std::vector<uint8_t>& bytes);

// Converts text from the process's local 8-bit character set (the character set of the LC_CTYPE
// locale) to UTF-8. Text already in a UTF-8 locale, and text that is not valid in the local character
// set, are returned unchanged.
std::string local8bitToUtf8(const std::string& text);

// Converts text from the named character set (an iconv name such as "ISO-8859-1" or "GBK") to UTF-8.
// An unknown character set or text that is not valid in it gives the text back unchanged.
std::string convertToUtf8(const std::string& text, const std::string& charset);

// Dotted-decimal IPv4 address to a 32-bit value with the first octet in the most significant byte:
// "192.168.1.10" gives 0xC0A8010A. The text must be exactly four decimal numbers of one to three
// digits, each 0 to 255 (leading zeros are read as decimal), separated by single dots, with nothing
// before or after, blanks included. Anything else gives 0, the same value as "0.0.0.0".
uint32_t stringToIP(const std::string& text);

}  // namespace zelvan
