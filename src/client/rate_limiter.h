// The limiter's clock, replaceable so tests can control time.
#pragma once

#include <chrono>
#include <functional>

namespace rest_client {

using ClockFunction = std::function<std::chrono::steady_clock::time_point()>;
// An empty function restores the monotonic clock.
void set_rate_limit_clock(ClockFunction clock);

}  // namespace rest_client
