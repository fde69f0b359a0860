#include "os/random.hpp"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>

namespace vell::os {

std::string random_token() {
  std::uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    bits = static_cast<std::uint64_t>(ts.tv_nsec) * 0x9E3779B97F4A7C15ULL ^ static_cast<std::uint64_t>(::getpid())
                                                                                << 32;
  }
  static const char k_hex[] = "0123456789abcdef";
  std::string out(12, '0');
  for (auto& c : out) {
    c = k_hex[bits & 0xF];
    bits >>= 4;
  }
  return out;
}

} // namespace vell::os
