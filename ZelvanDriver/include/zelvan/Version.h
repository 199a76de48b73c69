// Version of the driver library.
#pragma once

namespace zelvan {

// "major.minor.patch" of this build of the library.
const char* driverVersion();

}  // namespace zelvan
