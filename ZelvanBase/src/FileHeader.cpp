#include "zelvan/FileHeader.h"

#include "zelvan/TimeUtils.h"

namespace zelvan {

namespace {

std::string singleLine(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) c = '_';
    }
    return out;
}

void addLine(std::string& header, const std::string& keyAndValue) {
    header += "% ";
    header += keyAndValue;
    header += '\n';
}

}  // namespace

std::string generateDvsFileHeader(const DvsFileInfo& info) {
    const std::string width = std::to_string(info.width);
    const std::string height = std::to_string(info.height);

    std::string header;
    if (info.aps_start_timestamp != 0) {
        addLine(header, "aps_start_timestamp " + std::to_string(info.aps_start_timestamp));
    }
    addLine(header, "evt 3.0");
    addLine(header, "format EVT3;height=" + height + ";width=" + width);
    addLine(header, "geometry " + width + "x" + height);
    if (!info.serial_number.empty()) addLine(header, "serial_number " + singleLine(info.serial_number));
    addLine(header, "dvs_start_timestamp " + std::to_string(info.dvs_start_timestamp));
    addLine(header, "date " + timePointToString(info.date));
    addLine(header, "camera_integrator_name Zelvan");
    addLine(header, "end");
    return header;
}

}  // namespace zelvan
