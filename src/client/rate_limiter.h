// At most 10 operations in any sliding window of 3000 ms.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>

namespace rest_client {

struct OperationLimit {
    std::deque<std::chrono::steady_clock::time_point> timestamps;
    double window_ms = 3000.0;
    int32_t max_operations = 10;
};
extern OperationLimit record;
extern std::mutex operation_limit_mutex;

// True when the current operation is over the limit (and records it).
bool rate_limit();
// Returns when the operation may go ahead; otherwise prints the refusal line
// and throws std::runtime_error.
void check_rate_limit();

}  // namespace rest_client
