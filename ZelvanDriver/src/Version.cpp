#include "zelvan/Version.h"

namespace zelvan {

const char* driverVersion() { return ZELVAN_VERSION; }

}  // namespace zelvan
