#include "os/clock.hpp"

#include <time.h>

namespace vell::os {

std::string utc_now_iso() {
  time_t now = ::time(nullptr);
  struct tm tm {};
  ::gmtime_r(&now, &tm);
  char buf[32];
  ::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::int64_t unix_now() {
  return static_cast<std::int64_t>(::time(nullptr));
}

std::int64_t monotonic_ms() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

void sleep_ms(int ms) {
  struct timespec ts {
    ms / 1000, static_cast<long>(ms % 1000) * 1'000'000L
  };
  while (::nanosleep(&ts, &ts) != 0) {
  }
}

} // namespace vell::os
