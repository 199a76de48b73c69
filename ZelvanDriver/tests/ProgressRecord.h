// A progress callback for tests: keeps every call, checks that done never exceeds total and never goes
// back, and asks the operation to stop at a chosen call.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "zelvan/DvsFileReader.h"

namespace zelvan::testing {

struct ProgressRecord {
    struct Call {
        uint64_t done = 0;
        uint64_t total = 0;
    };
    std::vector<Call> calls;
    // The call (counted from 1) that answers false; every call before it answers true.
    size_t stop_at = std::numeric_limits<size_t>::max();
    // Stops at the first call whose done reaches total, whatever stop_at says.
    bool stop_at_end = false;

    // The callback to hand to a reader; it refers to this record.
    DvsFileReader::ProgressCallback callback() {
        return [this](uint64_t done, uint64_t total) {
            EXPECT_LE(done, total);
            if (!calls.empty()) {
                EXPECT_GE(done, calls.back().done) << "call " << calls.size() + 1;
                EXPECT_EQ(total, calls.back().total) << "call " << calls.size() + 1;
            }
            calls.push_back({done, total});
            return calls.size() < stop_at && !(stop_at_end && done == total);
        };
    }
    void reset(size_t stop = std::numeric_limits<size_t>::max()) {
        calls.clear();
        stop_at = stop;
        stop_at_end = false;
    }
};

}  // namespace zelvan::testing
