#include "selftest_support.hpp"

#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <system_error>
#include <utility>

namespace vell_selftest {

bool is_document_case(std::string_view name) {
  return name.starts_with("psyche_md_") || name.starts_with("skill_files_");
}

std::vector<std::string_view> vell_cases() {
  std::vector<std::string_view> names;
  std::copy_if(k_case_names.begin(), k_case_names.end(), std::back_inserter(names),
               [](std::string_view name) { return !is_document_case(name); });
  return names;
}

vell_test::SpawnOptions with_fault(std::string program, std::string_view fault) {
  vell_test::SpawnOptions options;
  options.program = std::move(program);
  if (fault.empty()) {
    options.remove_env.emplace_back("VELL_FAULT");
  } else {
    options.set_env.emplace_back("VELL_FAULT", fault);
  }
  return options;
}

vell_test::SpawnOptions case_options(vell_test::SpawnOptions options, const std::vector<std::string_view>& cases) {
  if (!cases.empty()) {
    std::string filter = "--gtest_filter=";
    for (const std::string_view name : cases) {
      filter += "native_vell." + std::string(name) + ":";
    }
    options.args.push_back(std::move(filter));
  }
  options.args.emplace_back("--gtest_color=no");
  const bool session_given = std::any_of(options.set_env.begin(), options.set_env.end(),
                                         [](const auto& variable) { return variable.first == "VELL_SESSION_ID"; });
  if (!session_given) {
    options.remove_env.emplace_back("VELL_SESSION_ID");
  }
  for (const char* name : {"GTEST_FILTER", "GTEST_OUTPUT", "GTEST_SHARD_INDEX", "GTEST_TOTAL_SHARDS",
                           "GTEST_SHARD_STATUS_FILE", "GTEST_REPEAT", "GTEST_SHUFFLE", "GTEST_BREAK_ON_FAILURE",
                           "GTEST_FAIL_FAST", "GTEST_ALSO_RUN_DISABLED_TESTS", "GTEST_BRIEF"}) {
    options.remove_env.emplace_back(name);
  }
  return options;
}

std::optional<vell_test::Output> run_cases(vell_test::SpawnOptions options, const std::vector<std::string_view>& cases,
                                           std::string& error) {
  return vell_test::run_to_completion(case_options(std::move(options), cases), std::nullopt, error, k_run_limit);
}

std::string passed_line(std::string_view test_case) {
  return "[       OK ] native_vell." + std::string(test_case);
}

std::string failed_line(std::string_view test_case) {
  return "[  FAILED  ] native_vell." + std::string(test_case);
}

bool contains(std::string_view text, std::string_view needle) {
  return text.find(needle) != std::string_view::npos;
}

std::size_t count(std::string_view text, std::string_view needle) {
  std::size_t found = 0;
  for (std::size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + needle.size())) {
    ++found;
  }
  return found;
}

ScratchDir::ScratchDir(std::string_view name)
    : m_path(std::filesystem::temp_directory_path() / (std::string(name) + "." + std::to_string(::getpid()))) {
  std::filesystem::remove_all(m_path);
  std::filesystem::create_directories(m_path);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

} // namespace vell_selftest
