// Wall-clock and monotonic time.
#pragma once

#include <cstdint>
#include <string>

namespace vell::os {

// The current UTC time as "YYYY-MM-DDTHH:MM:SSZ".
std::string utc_now_iso();

// Seconds since the epoch.
std::int64_t unix_now();

// Milliseconds of a monotonic clock, for bounded waits.
std::int64_t monotonic_ms();

void sleep_ms(int ms);

} // namespace vell::os
