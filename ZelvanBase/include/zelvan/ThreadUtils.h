// Small thread helpers: naming the current thread, and joining threads whose owner went away while
// running on them.
#pragma once

#include <functional>
#include <thread>

namespace zelvan {

// Names the calling thread for debuggers and `top -H` (at most 15 characters are kept). Does nothing
// where the platform has no thread names.
void setCurrentThreadName(const char* name);

// Joins `thread` on a process-wide joiner thread once it ends. For the one case where the owner of a
// thread is destroyed on that very thread (a camera released from its own callback): the owner cannot
// join itself, and the thread, which leaves its function right after, still gets joined. The joiner
// itself is joined when the process exits.
void joinWhenFinished(std::thread thread);

// Runs `task` on that same joiner thread, after what was handed over before it. For work that must
// not run on the thread that asks for it (destroying an object on one of its own threads).
void runOnJoiner(std::function<void()> task);

}  // namespace zelvan
