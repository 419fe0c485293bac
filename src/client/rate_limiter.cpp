#include "client/rate_limiter.h"

#include <iostream>
#include <stdexcept>

#include "client/seams.h"
#include "client/state.h"

namespace rest_client {

namespace {

std::chrono::steady_clock::time_point now() {
    const auto& clock = seams().clock;
    return clock ? clock() : std::chrono::steady_clock::now();
}

}  // namespace

bool rate_limit() {
    std::lock_guard<std::mutex> lock(operation_limit_mutex);
    const auto current = now();
    while (!record.timestamps.empty()) {
        // Ages count in whole milliseconds: an entry 3000.9 ms old still counts.
        auto age = std::chrono::duration_cast<std::chrono::milliseconds>(
            current - record.timestamps.front());
        if (static_cast<double>(age.count()) > record.window_ms)
            record.timestamps.pop_front();
        else
            break;
    }
    if (record.timestamps.size() <= static_cast<size_t>(record.max_operations))
        record.timestamps.push_back(current);
    return record.timestamps.size() > static_cast<size_t>(record.max_operations);
}

void check_rate_limit() {
    if (!rate_limit()) return;
    write_line(std::cout, Colour::red,
               "[Tarvo] Request limit reached, please try again later. If you are inserting "
               "multiple vectors, please use INSERT_VECTOR_BATCH.");
    throw std::runtime_error("Too many operations in a short time period!");
}

}  // namespace rest_client
