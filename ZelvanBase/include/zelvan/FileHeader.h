// Text header of a raw event file.
#pragma once

#include <string>

#include "zelvan/Types.h"

namespace zelvan {

// Header text for a recording described by `info`: "% " lines, each ended by "\n", closed by
// "% end\n". Lines in order:
//   % aps_start_timestamp N           only when info.aps_start_timestamp != 0 (fusion recordings,
//                                     whose header starts with this line)
//   % evt 3.0
//   % format EVT3;height=H;width=W
//   % geometry WxH
//   % serial_number S                 only when the serial number is not empty
//   % dvs_start_timestamp N
//   % date YYYY-MM-DD HH:MM:SS        local time, see timePointToString
//   % camera_integrator_name Zelvan
//   % end
// Control characters in the serial number (line feeds included) are written as '_' so that the
// serial always stays on its own line.
std::string generateDvsFileHeader(const DvsFileInfo& info);

}  // namespace zelvan
