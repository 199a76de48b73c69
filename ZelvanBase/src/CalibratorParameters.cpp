#include "zelvan/CalibratorParameters.h"

#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>

#include "zelvan/Logger.h"

namespace zelvan {

namespace {

using nlohmann::json;

// Reading: each helper checks presence, type and range, and on failure fills `error`.

const json* member(const json& object, const char* name, std::string& error) {
    const auto it = object.find(name);
    if (it == object.end()) {
        error = std::string("member \"") + name + "\" is missing";
        return nullptr;
    }
    return &*it;
}

bool readInteger(const json& object, const char* name, int64_t low, int64_t high, int64_t& out,
                 std::string& error) {
    const json* value = member(object, name, error);
    if (value == nullptr) return false;
    bool inRange = false;
    if (value->is_number_unsigned()) {
        const auto v = value->get<uint64_t>();
        inRange = high >= 0 && v <= static_cast<uint64_t>(high);
        out = static_cast<int64_t>(v);
    } else if (value->is_number_integer()) {
        out = value->get<int64_t>();
        inRange = out >= low && out <= high;
    } else {
        error = std::string("member \"") + name + "\" is not an integer";
        return false;
    }
    if (!inRange) error = std::string("member \"") + name + "\" is out of range";
    return inRange;
}

bool readUint16(const json& object, const char* name, uint16_t& out, std::string& error) {
    int64_t v = 0;
    if (!readInteger(object, name, 0, std::numeric_limits<uint16_t>::max(), v, error)) return false;
    out = static_cast<uint16_t>(v);
    return true;
}

bool readInt32(const json& object, const char* name, int32_t& out, std::string& error) {
    int64_t v = 0;
    if (!readInteger(object, name, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(),
                     v, error)) {
        return false;
    }
    out = static_cast<int32_t>(v);
    return true;
}

bool toDoubles(const json& array, const std::string& what, std::vector<double>& out, std::string& error) {
    if (!array.is_array()) {
        error = what + " is not an array";
        return false;
    }
    std::vector<double> values;
    values.reserve(array.size());
    for (const json& element : array) {
        if (!element.is_number()) {
            error = what + " holds an element that is not a number";
            return false;
        }
        values.push_back(element.get<double>());
    }
    out = std::move(values);
    return true;
}

bool readDoubles(const json& object, const char* name, std::vector<double>& out, std::string& error) {
    const json* value = member(object, name, error);
    return value != nullptr && toDoubles(*value, std::string("member \"") + name + "\"", out, error);
}

bool readMatrix(const json& object, const char* name, CalibrationMatrix& out, std::string& error) {
    const json* value = member(object, name, error);
    if (value == nullptr) return false;
    if (!value->is_object()) {
        error = std::string("member \"") + name + "\" is not an object";
        return false;
    }
    CalibrationMatrix matrix;
    int64_t type = 0;
    if (!readInt32(*value, "rows", matrix.rows, error) || !readInt32(*value, "cols", matrix.cols, error) ||
        !readInteger(*value, "type", std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(),
                     type, error) ||
        !readDoubles(*value, "data", matrix.data, error)) {
        error = std::string("in \"") + name + "\": " + error;
        return false;
    }
    matrix.type = type;
    out = std::move(matrix);
    return true;
}

bool readTransforms(const json& object, std::map<std::string, std::vector<double>>& out, std::string& error) {
    const json* value = member(object, "transforms", error);
    if (value == nullptr) return false;
    if (!value->is_object()) {
        error = "member \"transforms\" is not an object";
        return false;
    }
    std::map<std::string, std::vector<double>> transforms;
    for (auto it = value->begin(); it != value->end(); ++it) {
        if (!toDoubles(it.value(), "transform \"" + it.key() + "\"", transforms[it.key()], error))
            return false;
    }
    out = std::move(transforms);
    return true;
}

bool fromJson(const json& root, CalibratorParameters& out, std::string& error) {
    if (!root.is_object()) {
        error = "the top level is not an object";
        return false;
    }
    const json* description = member(root, "description", error);
    if (description == nullptr) return false;
    if (!description->is_string()) {
        error = "member \"description\" is not a string";
        return false;
    }
    CalibratorParameters p;
    p.description = description->get<std::string>();
    const bool complete = readUint16(root, "dvs_width", p.dvs_width, error) &&
                          readUint16(root, "dvs_height", p.dvs_height, error) &&
                          readUint16(root, "aps_width", p.aps_width, error) &&
                          readUint16(root, "aps_height", p.aps_height, error) &&
                          readMatrix(root, "dvs_matrix", p.dvs_matrix, error) &&
                          readMatrix(root, "aps_matrix", p.aps_matrix, error) &&
                          readTransforms(root, p.transforms, error) &&
                          readDoubles(root, "dvs_coefficients", p.dvs_coefficients, error) &&
                          readDoubles(root, "aps_coefficients", p.aps_coefficients, error);
    if (complete) out = std::move(p);
    return complete;
}

// Writing.

bool allFinite(const std::vector<double>& values) {
    for (double v : values) {
        if (!std::isfinite(v)) return false;
    }
    return true;
}

bool allFinite(const CalibratorParameters& p) {
    if (!allFinite(p.dvs_matrix.data) || !allFinite(p.aps_matrix.data) || !allFinite(p.dvs_coefficients) ||
        !allFinite(p.aps_coefficients)) {
        return false;
    }
    for (const auto& [key, values] : p.transforms) {
        if (!allFinite(values)) return false;
    }
    return true;
}

// Written in the record's member order.
using ordered_json = nlohmann::ordered_json;

ordered_json matrixToJson(const CalibrationMatrix& m) {
    ordered_json j = ordered_json::object();
    j["rows"] = m.rows;
    j["cols"] = m.cols;
    j["type"] = m.type;
    j["data"] = m.data;
    return j;
}

ordered_json toJson(const CalibratorParameters& p) {
    ordered_json j = ordered_json::object();
    j["description"] = p.description;
    j["dvs_width"] = p.dvs_width;
    j["dvs_height"] = p.dvs_height;
    j["aps_width"] = p.aps_width;
    j["aps_height"] = p.aps_height;
    j["dvs_matrix"] = matrixToJson(p.dvs_matrix);
    j["aps_matrix"] = matrixToJson(p.aps_matrix);
    ordered_json transforms = ordered_json::object();
    for (const auto& [key, values] : p.transforms) transforms[key] = values;
    j["transforms"] = std::move(transforms);
    j["dvs_coefficients"] = p.dvs_coefficients;
    j["aps_coefficients"] = p.aps_coefficients;
    return j;
}

bool parseText(const char* begin, const char* end, CalibratorParameters& params) {
    // Unused device storage after the document reads as NUL or 0xFF bytes.
    while (end != begin && (end[-1] == '\0' || static_cast<unsigned char>(end[-1]) == 0xFF)) --end;
    std::string error;
    try {
        const json root = json::parse(begin, end);
        if (fromJson(root, params, error)) return true;
    } catch (const std::exception& e) {
        error = e.what();
    }
    ZV_LOG(LOG_ERROR, "Invalid calibration parameters: %s", error.c_str());
    return false;
}

}  // namespace

bool jsonDataToParam(const uint8_t* bytes, size_t size, CalibratorParameters& params) {
    if (bytes == nullptr && size != 0) {
        ZV_LOG(LOG_ERROR, "Invalid calibration parameters: no data");
        return false;
    }
    const char* begin = reinterpret_cast<const char*>(bytes);
    return parseText(begin, begin + size, params);
}

bool jsonDataToParam(const std::vector<uint8_t>& bytes, CalibratorParameters& params) {
    return jsonDataToParam(bytes.data(), bytes.size(), params);
}

bool jsonDataToParam(const std::string& bytes, CalibratorParameters& params) {
    return parseText(bytes.data(), bytes.data() + bytes.size(), params);
}

bool jsonFileToParam(const std::string& path, CalibratorParameters& params) {
    std::string text;
    try {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            ZV_LOG(LOG_ERROR, "Failed to open calibration file: %s", path.c_str());
            return false;
        }
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad()) {
            ZV_LOG(LOG_ERROR, "Failed to read calibration file: %s", path.c_str());
            return false;
        }
    } catch (const std::exception& e) {
        ZV_LOG(LOG_ERROR, "Failed to read calibration file: %s (%s)", path.c_str(), e.what());
        return false;
    }
    return parseText(text.data(), text.data() + text.size(), params);
}

bool paramToJsonFile(const CalibratorParameters& params, const std::string& path) {
    if (!allFinite(params)) {
        ZV_LOG(LOG_ERROR, "Calibration parameters hold a number that is not finite; not written to %s",
               path.c_str());
        return false;
    }
    try {
        const std::string text =
            toJson(params).dump(4, ' ', false, ordered_json::error_handler_t::replace) + "\n";
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (out) {
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
            out.close();
        }
        if (!out) {
            ZV_LOG(LOG_ERROR, "Failed to write calibration file: %s", path.c_str());
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        ZV_LOG(LOG_ERROR, "Failed to write calibration file: %s (%s)", path.c_str(), e.what());
        return false;
    }
}

}  // namespace zelvan
