// Runs named cases of one build of native_vell as a child process, the way
// the self-tests judge it: only those cases, plain output, and nothing of the
// self-test's own environment steering them.
#pragma once

#include "support/child_process.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vell_selftest {

// A case takes milliseconds, the deferred case about 2 s; one that waits on a
// vell that never answers takes the 30 s after which native_vell gives up.
inline constexpr std::chrono::milliseconds k_run_limit{100'000};

// Runs `cases` of `options.program`, with `options`' environment and working
// directory. The developer's session (VELL_SESSION_ID) and harness settings
// meant for the self-test itself (GTEST_*) never reach the child.
std::optional<vell_test::Output> run_cases(vell_test::SpawnOptions options, const std::vector<std::string_view>& cases,
                                           std::string& error);

// The harness's line for a case that passed, and for one that failed.
std::string passed_line(std::string_view test_case);
std::string failed_line(std::string_view test_case);

} // namespace vell_selftest
