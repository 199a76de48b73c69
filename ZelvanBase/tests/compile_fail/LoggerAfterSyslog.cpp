// Must not compile: <syslog.h> makes LOG_INFO and LOG_WARNING macros, and zelvan/Logger.h refuses to be
// included after it. The test that compiles this file passes only on that refusal's message.
#include <syslog.h>

#include "zelvan/Logger.h"

int main() { return zelvan::LOG_INFO; }
