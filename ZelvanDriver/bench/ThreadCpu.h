// CPU time of the process's threads by name, read from /proc, for benchmarks that report what a
// pipeline's threads cost per event.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace zelvan::bench {

// CPU seconds used so far by the live threads named `name` (summed), or -1 when there is none.
inline double threadCpuSeconds(const std::string& name) {
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return -1;
    double result = -1;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string base = std::string("/proc/self/task/") + entry->d_name;
        std::ifstream comm(base + "/comm");
        std::string thread_name;
        std::getline(comm, thread_name);
        if (thread_name != name) continue;
        std::ifstream stat(base + "/stat");
        std::string line;
        std::getline(stat, line);
        // Fields after the command's closing parenthesis; utime and stime are fields 14 and 15.
        const auto close = line.rfind(')');
        if (close == std::string::npos || close + 2 > line.size()) continue;
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) stime = std::stoull(field);
        }
        result = std::max(result, 0.0) + double(utime + stime) / double(sysconf(_SC_CLK_TCK));
    }
    closedir(dir);
    return result;
}

}  // namespace zelvan::bench
