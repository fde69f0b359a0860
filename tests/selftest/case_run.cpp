#include "case_run.hpp"

namespace vell_selftest {

std::optional<vell_test::Output> run_cases(vell_test::SpawnOptions options, const std::vector<std::string_view>& cases,
                                           std::string& error) {
  std::string filter = "--gtest_filter=";
  for (const std::string_view name : cases) {
    filter += "native_vell." + std::string(name) + ":";
  }
  options.args = {filter, "--gtest_color=no"};
  for (const char* name : {"VELL_SESSION_ID", "GTEST_FILTER", "GTEST_OUTPUT", "GTEST_SHARD_INDEX", "GTEST_TOTAL_SHARDS",
                           "GTEST_SHARD_STATUS_FILE", "GTEST_REPEAT", "GTEST_SHUFFLE", "GTEST_BREAK_ON_FAILURE",
                           "GTEST_FAIL_FAST", "GTEST_ALSO_RUN_DISABLED_TESTS"}) {
    options.remove_env.emplace_back(name);
  }
  return vell_test::run_to_completion(options, std::nullopt, error, k_run_limit);
}

std::string passed_line(std::string_view test_case) {
  return "[       OK ] native_vell." + std::string(test_case);
}

std::string failed_line(std::string_view test_case) {
  return "[  FAILED  ] native_vell." + std::string(test_case);
}

} // namespace vell_selftest
