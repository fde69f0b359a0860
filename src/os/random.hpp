// Unpredictable short tokens for unique temporary names.
#pragma once

#include <string>

namespace vell::os {

// 12 lower-case hex digits from the kernel's random source (getrandom(2)),
// falling back to time and pid mixing if that fails.
std::string random_token();

} // namespace vell::os
