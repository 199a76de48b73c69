// Small thread helpers: naming the current thread, and a thread for work that must not run on the
// thread that asks for it.
#pragma once

#include <functional>

namespace zelvan {

// Names the calling thread for debuggers and `top -H` (at most 15 characters are kept). Does nothing
// where the platform has no thread names.
void setCurrentThreadName(const char* name);

// Runs `task` on a process-wide joiner thread, after the tasks handed over before it. For work that
// must not run on the thread that asks for it: destroying an object released on one of its own
// threads (a camera released in its own callback), whose destructor joins that thread. The joiner is
// joined when the process exits; a task handed over after that is dropped.
void runOnJoiner(std::function<void()> task);

}  // namespace zelvan
