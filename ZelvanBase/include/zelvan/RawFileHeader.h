// Reading the text header of a raw event file.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <utility>
#include <vector>

#include "zelvan/Types.h"

namespace zelvan {

// What the header of a raw event file says.
//
// The header is a run of lines that start with '%'. It ends after the line "% end", or, in files
// without that line, just before the first line that does not start with '%'. Lines understood:
//   "% evt V"                  V must be 3.0, anything else rejects the file
//   "% format EVT3;k=v;..."    the first item must be EVT3; width= and height= give the size
//   "% geometry WxH"           the size (a later line overrides an earlier one)
//   "% serial_number S"
//   "% dvs_start_timestamp N"  time of the stream (us) at the start of the recording; the decoder
//                              resumes from it
//   "% aps_start_timestamp N"  time of the first frame of a fusion recording
//   "% date YYYY-MM-DD HH:MM:SS"  (also "% Date ...")
// Other lines are kept in `lines` and otherwise ignored. Without a size the file is 1280 x 720.
struct RawFileHeader {
    DvsFileInfo info;
    bool has_dvs_start_timestamp = false;
    bool has_aps_start_timestamp = false;
    bool has_end_line = false;
    uint64_t payload_offset = 0;                             // first byte of the event data
    std::vector<std::pair<std::string, std::string>> lines;  // every "% key value" line, in order

    // Stream format text for the decoder: "EVT3;height=H;width=W".
    std::string formatText() const;
};

// Parses the header at the start of `in`. On rejection returns false and puts one line of
// explanation in `error`; the stream position is then unspecified.
bool readRawFileHeader(std::istream& in, RawFileHeader& header, std::string& error);

// Opens `path` and parses its header; errors include a missing or unreadable file.
bool readRawFileHeader(const std::string& path, RawFileHeader& header, std::string& error);

}  // namespace zelvan
