// What the self-tests share: the names of the cases, how to run some of them
// in one build of native_vell (only those cases, plain output, nothing of the
// self-test's own environment steering them), and small helpers.
#pragma once

#include "support/child_process.hpp"

#include <array>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vell_selftest {

// The 29 cases of native_vell, in the order the harness must list them.
inline constexpr std::array<std::string_view, 29> k_case_names{
    "deferred_send_does_not_wake_idle_poll",
    "native_cleanup_session_empty",
    "native_deliver",
    "native_deliver_no_target",
    "native_deliver_with_both_args_backward_compat",
    "native_deliver_without_from_arg_resolution_error",
    "native_list_empty",
    "native_list_one_default_terse",
    "native_list_one_verbose_full",
    "native_live_commune_with_explicit_id",
    "native_live_commune_without_self_id_resolution_error",
    "native_live_psyche_download_without_self_id_resolution_error",
    "native_live_signoff_with_true_as_first_arg",
    "native_poll_and_deliver",
    "native_reboot_without_id_resolution_error",
    "native_reply",
    "native_reply_without_my_id_resolution_error",
    "native_send_without_from_resolution_error",
    "native_session_resume_empty",
    "native_session_resume_skip_worker",
    "native_setup",
    "native_spool_fallback",
    "native_stop_all",
    "native_stop_nonexistent",
    "nested_worker_layout",
    "psyche_md_contains_25_3_absorption_section",
    "psyche_md_forbids_projects_write_tool_calls",
    "skill_files_have_no_project_context_name_attr",
    "sweep_own_orphaned_workers_e2e",
};

// The cases that judge documents and never start vell.
bool is_document_case(std::string_view name);

// The 26 cases that start vell, in registry order.
std::vector<std::string_view> vell_cases();

// A case takes milliseconds, the deferred case about 2 s; one that waits on a
// vell that never answers takes the 30 s after which native_vell gives up.
inline constexpr std::chrono::milliseconds k_run_limit{100'000};

// Options for running `program`, a native_vell built against fault_vell, with
// `fault` injected through VELL_FAULT ("" for none).
vell_test::SpawnOptions with_fault(std::string program, std::string_view fault);

// `options` made ready to run `cases` (every case when empty) of
// `options.program`, after the arguments `options` already holds. Harness
// settings meant for the self-test itself (GTEST_*) never reach the child,
// nor does the developer's session (VELL_SESSION_ID) unless `options` sets it.
vell_test::SpawnOptions case_options(vell_test::SpawnOptions options, const std::vector<std::string_view>& cases);

// Runs the child that case_options() describes to its end.
std::optional<vell_test::Output> run_cases(vell_test::SpawnOptions options, const std::vector<std::string_view>& cases,
                                           std::string& error);

// The harness's line for a case that passed, and for one that failed.
std::string passed_line(std::string_view test_case);
std::string failed_line(std::string_view test_case);

bool contains(std::string_view text, std::string_view needle);
std::size_t count(std::string_view text, std::string_view needle);

// A directory of the test's own under the temporary directory, made empty
// when created and removed with everything in it when destroyed.
class ScratchDir {
public:
  explicit ScratchDir(std::string_view name);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return m_path; }

private:
  std::filesystem::path m_path;
};

} // namespace vell_selftest
