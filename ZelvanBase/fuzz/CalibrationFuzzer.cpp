// Feeds arbitrary bytes to the calibration record reader. A rejected input leaves the record as it was;
// an accepted record is written to a file and must read back bit for bit, and the reader's overloads
// agree with each other.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "zelvan/CalibratorParameters.h"
#include "zelvan/Logger.h"

namespace {

std::string g_path;

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool identical(const zelvan::CalibratorParameters& a, const zelvan::CalibratorParameters& b) {
    if (!(a == b) || !sameBits(a.dvs_matrix.data, b.dvs_matrix.data) ||
        !sameBits(a.aps_matrix.data, b.aps_matrix.data) ||
        !sameBits(a.dvs_coefficients, b.dvs_coefficients) ||
        !sameBits(a.aps_coefficients, b.aps_coefficients))
        return false;
    for (const auto& [key, values] : a.transforms)
        if (!sameBits(values, b.transforms.at(key))) return false;
    return true;
}

zelvan::CalibratorParameters sentinel() {
    zelvan::CalibratorParameters p;
    p.description = "untouched";
    p.transforms["1"] = {1, 0, 0, 0, 1, 0};
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zelvan::Logger::Instance().setLevel(zelvan::LOG_ERROR + 1);
    const std::filesystem::path dir =
        std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    g_path = (dir / ("zelvan-calibration-fuzz-" + std::to_string(::getpid()) + ".json")).string();
    std::atexit([] { std::remove(g_path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zelvan::CalibratorParameters record = sentinel();
    const bool accepted = zelvan::jsonDataToParam(data, size, record);
    zelvan::CalibratorParameters from_text = sentinel();
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (zelvan::jsonDataToParam(text, from_text) != accepted || !identical(from_text, record)) std::abort();
    if (!accepted) {
        if (!identical(record, sentinel())) std::abort();
        return 0;
    }
    // JSON holds no NaN or infinity, so every accepted record can be written.
    if (!zelvan::paramToJsonFile(record, g_path)) std::abort();
    zelvan::CalibratorParameters back = sentinel();
    if (!zelvan::jsonFileToParam(g_path, back) || !identical(back, record)) std::abort();
    return 0;
}
