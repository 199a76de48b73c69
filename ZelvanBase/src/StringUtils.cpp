#include "zelvan/StringUtils.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <utility>

namespace zelvan {

namespace {

bool isUtf8Name(const char* charset) {
    std::string name;
    for (const char* p = charset; *p != '\0'; ++p) {
        if (*p != '-' && *p != '_') name += static_cast<char>(*p >= 'a' && *p <= 'z' ? *p - 'a' + 'A' : *p);
    }
    return name == "UTF8";
}

// Closes the conversion descriptor on every path out.
class IconvHandle {
public:
    IconvHandle(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~IconvHandle() {
        if (valid()) iconv_close(cd_);
    }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;
    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

}  // namespace

void convertEndian(std::vector<uint8_t>& bytes) {
    const size_t pairs = bytes.size() / 2;
    uint8_t* p = bytes.data();
    for (size_t i = 0; i < pairs; ++i, p += 2) std::swap(p[0], p[1]);
}

std::string convertToUtf8(const std::string& text, const std::string& charset) {
    if (text.empty() || charset.empty() || isUtf8Name(charset.c_str())) return text;
    IconvHandle handle("UTF-8", charset.c_str());
    if (!handle.valid()) return text;

    std::string out(text.size() * 2 + 16, '\0');
    char* in = const_cast<char*>(text.data());  // iconv's signature is not const-correct
    size_t inLeft = text.size();
    size_t written = 0;
    while (inLeft > 0) {
        char* outPtr = out.data() + written;
        size_t outLeft = out.size() - written;
        const size_t rc = iconv(handle.get(), &in, &inLeft, &outPtr, &outLeft);
        written = out.size() - outLeft;
        if (rc != static_cast<size_t>(-1)) break;
        if (errno != E2BIG) return text;  // invalid or incomplete sequence
        out.resize(out.size() * 2);
    }
    // Flush any shift state of stateful encodings.
    for (;;) {
        char* outPtr = out.data() + written;
        size_t outLeft = out.size() - written;
        const size_t rc = iconv(handle.get(), nullptr, nullptr, &outPtr, &outLeft);
        written = out.size() - outLeft;
        if (rc != static_cast<size_t>(-1)) break;
        if (errno != E2BIG) return text;
        out.resize(out.size() * 2);
    }
    out.resize(written);
    return out;
}

std::string local8bitToUtf8(const std::string& text) {
    const char* charset = nl_langinfo(CODESET);
    if (charset == nullptr || *charset == '\0') return text;
    return convertToUtf8(text, charset);
}

uint32_t stringToIP(const std::string& text) {
    uint32_t address = 0;
    size_t pos = 0;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            if (pos >= text.size() || text[pos] != '.') return 0;
            ++pos;
        }
        unsigned value = 0;
        size_t digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            if (++digits > 3) return 0;
            value = value * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
        }
        if (digits == 0 || value > 255) return 0;
        address = (address << 8) | value;
    }
    return pos == text.size() ? address : 0;
}

}  // namespace zelvan
