// Feeds arbitrary bytes to the raw header parser. When the header is accepted the same bytes are
// opened as a recording through RawFileReader, and everything it reads must equal a continuous
// decode of the payload.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "zelvan/EVT3Decoder.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileHeader.h"
#include "zelvan/RawFileReader.h"

namespace {

std::string g_path;

std::string scratchPath() {
    const std::filesystem::path dir =
        std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    return (dir / ("zelvan-header-fuzz-" + std::to_string(::getpid()) + ".raw")).string();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zelvan::Logger::Instance().setLevel(zelvan::LOG_ERROR + 1);
    g_path = scratchPath();
    std::atexit([] {
        std::remove(g_path.c_str());
        std::remove(zelvan::RawFileReader::bookmarkPathFor(g_path).c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::istringstream in(text);
    zelvan::RawFileHeader header;
    std::string error;
    if (!zelvan::readRawFileHeader(in, header, error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    if (header.payload_offset > size || header.info.width == 0 || header.info.height == 0) std::abort();

    std::vector<zelvan::Event2D> whole;
    zelvan::EVT3Decoder decoder(1280, 720);
    decoder.setEventsStreamHandleCallback(
        [&](zelvan::Event2D* b, zelvan::Event2D* e) { whole.insert(whole.end(), b, e); });
    if (header.has_dvs_start_timestamp) decoder.setTimeBase(header.info.dvs_start_timestamp);
    decoder.decode(data + header.payload_offset, data + size);

    const std::string& path = g_path;
    const std::string side = zelvan::RawFileReader::bookmarkPathFor(path);
    std::remove(side.c_str());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    zelvan::RawFileReader reader(path);
    const bool loaded = reader.loadFile();
    if (loaded != !whole.empty()) std::abort();
    if (!loaded) return 0;
    uint64_t max = 0, start = 0, end = 0;
    reader.getMaxEvents(max);
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    if (max != whole.size() || start > end) std::abort();
    // Counted reads, then time windows, each over the whole file.
    std::vector<zelvan::Event2D> joined;
    while (joined.size() < whole.size()) {
        auto part = reader.getNEvents(1 + joined.size() % 97);
        if (part->empty()) std::abort();
        joined.insert(joined.end(), part->begin(), part->end());
    }
    if (joined != whole) std::abort();
    joined.clear();
    if (!reader.seekTime(start)) std::abort();
    for (int guard = 0; !reader.reachedEndOfEvents(); ++guard) {
        if (guard > 1'000'000) std::abort();
        auto part = reader.getNTimeEvents(1 + (end - start) / 7);
        joined.insert(joined.end(), part->begin(), part->end());
    }
    if (joined != whole) std::abort();
    // A seek into the middle gives a suffix.
    const uint64_t t = start + (end - start) / 2;
    if (!reader.seekTime(t)) std::abort();
    const uint64_t k = reader.getCurrentPosEventNum();
    auto rest = reader.getNEvents(max);
    if (k > whole.size() || rest->size() != whole.size() - k) std::abort();
    for (size_t i = 0; i < rest->size(); ++i)
        if ((*rest)[i] != whole[k + i]) std::abort();
    return 0;
}
