// Hostile bookmark side files. A fixed synthetic recording is written once; each input becomes its
// side file, either as raw bytes or as a patch of the correct side file (the input chooses, and
// whether the CRC is made to match). The side-file parser is called directly, then the reader
// loads the recording with that side file and seeks and reads through it: whatever the side file
// says, nothing may crash, hang, read outside the buffers or allocate beyond the side file's size.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FileReader/BookmarkFile.h"
#include "zelvan/EVT3Encoder.h"
#include "zelvan/FileHeader.h"
#include "zelvan/Logger.h"
#include "zelvan/RawFileReader.h"
#include "zelvan/SyntheticScene.h"

namespace {

std::string g_raw;
std::string g_side;
std::vector<uint8_t> g_good;
zelvan::detail::BookmarkFileContext g_context;

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeAll(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zelvan::Logger::Instance().setLevel(zelvan::LOG_ERROR + 1);
    const std::filesystem::path dir =
        std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    g_raw = (dir / ("zelvan-bookmark-fuzz-" + std::to_string(::getpid()) + ".raw")).string();
    g_side = zelvan::RawFileReader::bookmarkPathFor(g_raw);
    std::atexit([] {
        std::remove(g_raw.c_str());
        std::remove(g_side.c_str());
    });
    zelvan::DvsFileInfo info;
    info.dvs_start_timestamp = (uint64_t(1) << 24) - 20'000;
    std::string header = zelvan::generateDvsFileHeader(info);
    std::vector<uint8_t> bytes(header.begin(), header.end());
    zelvan::SyntheticScene scene(1280, 720, 1'500'000, 3);
    zelvan::EVT3Encoder encoder(1280);
    std::vector<zelvan::Event2D> events;
    for (uint64_t t = info.dvs_start_timestamp; t < info.dvs_start_timestamp + 24'000; t += 1000) {
        events.clear();
        scene.generate(t, t + 1000, events);
        const zelvan::EventTriggerIn trigger(1, int16_t((t / 1000) & 1), t);
        encoder.advanceTime(t, bytes);
        encoder.encode(events.data(), events.data() + events.size(), &trigger, &trigger + 1, bytes);
    }
    writeAll(g_raw, bytes.data(), bytes.size());
    std::remove(g_side.c_str());
    zelvan::RawFileReader reader(g_raw);
    if (!reader.loadFile()) std::abort();
    g_good = readAll(g_side);
    g_context = {bytes.size(), reader.getHeader().payload_offset, 1280, 720, true, info.dvs_start_timestamp};
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint8_t flags = data[0];
    std::vector<uint8_t> side;
    if (flags & 1) {
        // Patch of the correct side file at an offset chosen by the input.
        side = g_good;
        const size_t at = (size_t(data[1]) | size_t(data[2]) << 8) % side.size();
        for (size_t i = 3; i < size; ++i) side[(at + i - 3) % side.size()] ^= data[i];
        if (flags & 4) side.resize(side.size() - (data[1] % side.size()));
    } else {
        side.assign(data + 1, data + size);
    }
    if ((flags & 2) && !side.empty()) side.back() = zelvan::detail::crc8(side.data(), side.size() - 1);

    zelvan::detail::BookmarkMap marks;
    zelvan::detail::BookmarkFileVersion version{};
    if (zelvan::detail::parseBookmarkFile(side, g_context, marks, version)) {
        uint64_t last = 0;
        for (const auto& [key, b] : marks) {
            if (b.position > g_context.file_size || b.position < last || b.timestamp != key) std::abort();
            last = b.position;
        }
    }

    writeAll(g_side, side.data(), side.size());
    zelvan::RawFileReader reader(g_raw);
    if (!reader.loadFile()) std::abort();  // a bad side file is rebuilt, never fatal
    uint64_t start = 0, end = 0, max = 0;
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    reader.getMaxEvents(max);
    const uint64_t span = end >= start ? end - start + 1 : 1;
    for (size_t i = 0; i + 8 <= side.size() && i < 64; i += 8) {
        uint64_t v = 0;
        for (int k = 0; k < 8; ++k) v |= uint64_t(side[i + k]) << (8 * k);
        reader.seekTime(start + v % span);
        reader.getNEvents(v % 5000);
        reader.getNTimeEvents(v % 3000);
        reader.seekNEvents(max ? v % (max + 1) : 0);
        reader.getNTimeEvents(v % 700);
    }
    reader.seekTime(start);
    for (int guard = 0; !reader.reachedEndOfEvents() && guard < 100; ++guard)
        reader.getNTimeEvents(span / 8 + 1);
    return 0;
}
