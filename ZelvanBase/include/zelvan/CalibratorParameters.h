// Calibration record of a fusion camera (event sensor plus frame sensor) and its JSON files.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zelvan {

// A matrix as stored by the calibration tooling: its shape, an element type code and the elements in
// row order. This library only carries it.
struct CalibrationMatrix {
    int32_t rows = 0;
    int32_t cols = 0;
    int64_t type = 0;
    std::vector<double> data;

    bool operator==(const CalibrationMatrix&) const = default;
};

struct CalibratorParameters {
    std::string description;  // free text, carried along
    uint16_t dvs_width = 1280;
    uint16_t dvs_height = 720;
    uint16_t aps_width = 3840;
    uint16_t aps_height = 2160;
    CalibrationMatrix dvs_matrix;  // carried along
    CalibrationMatrix aps_matrix;  // carried along
    // Affine transforms, six numbers a, b, c, d, e, f each (x' = a*x + b*y + c, y' = d*x + e*y + f):
    // "1" maps event-sensor pixels to frame-sensor pixels, "0" the other way.
    std::map<std::string, std::vector<double>> transforms;
    std::vector<double> dvs_coefficients;  // carried along
    std::vector<double> aps_coefficients;  // carried along

    bool operator==(const CalibratorParameters&) const = default;
};

// The JSON text is one object with the members of the record under their names above, each matrix as
// an object {"rows", "cols", "type", "data"}, and "transforms" as an object of number arrays. Numbers
// are written so that every double reads back bit for bit; members the reader does not know are
// ignored. Every member must be present with the right type and in range: otherwise the readers return
// false, log one line at LOG_ERROR and leave `params` unchanged. Nothing here throws.

// Reads a record from JSON text. NUL and 0xFF bytes after the JSON text (unused space of a device's
// storage) are ignored.
bool jsonDataToParam(const std::string& bytes, CalibratorParameters& params);
bool jsonDataToParam(const std::vector<uint8_t>& bytes, CalibratorParameters& params);
bool jsonDataToParam(const uint8_t* bytes, size_t size, CalibratorParameters& params);

// Reads a record from a JSON file.
bool jsonFileToParam(const std::string& path, CalibratorParameters& params);

// Writes the record as JSON (four-space indent) to `path`, replacing the file. Returns false, and logs
// at LOG_ERROR, when the file cannot be written or a number is not finite (JSON has no NaN or
// infinity). Invalid UTF-8 in the description is written as U+FFFD.
bool paramToJsonFile(const CalibratorParameters& params, const std::string& path);

}  // namespace zelvan
