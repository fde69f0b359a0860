// The end-to-end cases judged against a vell that misbehaves: every row runs
// one case of native_vell_faulty (native_vell built against fault_vell) with
// one fault injected through VELL_FAULT, and requires the case to fail with
// the message of the check that the fault breaks. A case that passed there
// would pass against a broken vell. Rows without a fault, and rows whose
// fault the cases must accept, require the case to pass.

#include "selftest_support.hpp"
#include "support/child_process.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using vell_selftest::contains;

// Runs the named cases of native_vell_faulty with `fault` injected ("" for none).
std::optional<vell_test::Output> run_cases(std::string_view fault, const std::vector<std::string_view>& cases,
                                           std::string& error) {
  return vell_selftest::run_cases(vell_selftest::with_fault(NATIVE_VELL_FAULTY, fault), cases, error);
}

// ---------------------------------------------------------------------------
// Faults the cases must catch
// ---------------------------------------------------------------------------

struct CaughtRow {
  std::string_view fault;
  std::string_view test_case;
  // Texts the case's failure report must hold: its message, and where it
  // matters the value it saw.
  std::vector<std::string_view> expected;
};

const std::vector<CaughtRow> k_caught{
    // Setup and direct delivery
    {"succeeds_with_1", "native_setup", {"setup should exit 0", "Which is: 1"}},
    {"killed_by_signal", "native_setup", {"setup should exit 0", "Which is: -1"}},
    {"markers_on_stdout", "native_setup", {"setup stderr should contain 'READY:testid', got: "}},
    {"setup_leaves_no_ready_file",
     "native_setup",
     {R"(assertion failed: home.path().join(".qrd/vellery/testid/ready").exists())"}},
    {"succeeds_with_1", "native_deliver", {"deliver should exit 0"}},
    {"markers_on_stdout", "native_deliver", {"deliver stderr should contain 'SENT:recvr', got: "}},
    {"fails_with_2", "native_deliver_no_target", {"deliver to nonexistent should exit 1", "Which is: 2"}},
    {"markers_on_stdout",
     "native_deliver_no_target",
     {"deliver_no_target stderr should contain 'NO_PERCH:nosuchid', got: "}},
    {"succeeds_with_1", "native_deliver_with_both_args_backward_compat", {"deliver with both args should exit 0"}},
    {"markers_on_stdout",
     "native_deliver_with_both_args_backward_compat",
     {"deliver with both args should succeed, got: "}},
    // Reply and listeners
    {"markers_on_stdout", "native_reply", {"reply stderr should contain REPLIED or NO_MESSAGES, got: "}},
    {"markers_on_stdout", "native_poll_and_deliver", {"deliver should confirm SENT:p2ptest, got: "}},
    {"poll_prints_nothing", "native_poll_and_deliver", {"poll should have received the message, got stdout: "}},
    {"poll_prints_on_stderr", "native_poll_and_deliver", {"poll should have received the message, got stdout: "}},
    {"succeeds_with_1", "native_spool_fallback", {"deliver->exit_code", "Which is: 1"}},
    // The listener then waits for a message that never comes, until the
    // runner's bound ends it.
    {"deliver_loses_body",
     "native_spool_fallback",
     {"failed to wait for poll spool: did not exit within 30000 ms; killed"}},
    {"poll_prints_on_stderr", "native_spool_fallback", {"poll should have received the spooled message, got stdout: "}},
    {"succeeds_with_1", "deferred_send_does_not_wake_idle_poll", {"vell send --deferred should exit 0; stderr: "}},
    {"deferred_send_wakes",
     "deferred_send_does_not_wake_idle_poll",
     {"poll child exited early after deferred send (status: exit code 0); stdout captured: "}},
    {"deferred_wakes_listener",
     "deferred_send_does_not_wake_idle_poll",
     {"deferred send must not wake idle poll, but stdout contained DEFERRED_NOTICE: "}},
    {"normal_send_fails", "deferred_send_does_not_wake_idle_poll", {"vell send (normal) should exit 0; stderr: "}},
    {"every_send_deferred",
     "deferred_send_does_not_wake_idle_poll",
     {"normal send did not wake poll within 2 s; captured stdout: "}},
    {"poll_exits_2", "deferred_send_does_not_wake_idle_poll", {"poll should exit successfully; got: exit code 2"}},
    {"poll_prints_nothing",
     "deferred_send_does_not_wake_idle_poll",
     {"poll must deliver REAL_MESSAGE on normal send; got: "}},
    {"deferred_send_is_lost",
     "deferred_send_does_not_wake_idle_poll",
     {"on wake, poll should drain all messages incl. deferred; got: "}},
    // Listing
    {"succeeds_with_1", "native_list_empty", {"list empty should exit 0"}},
    {"list_prints_on_stdout", "native_list_empty", {"list empty stdout should be empty"}},
    {"list_drops_hint", "native_list_empty", {"list_empty stderr should contain the LIST-05 hint, got: "}},
    {"list_hangs", "native_list_empty", {"failed to run vell list: did not exit within 30000 ms; killed"}},
    {"succeeds_with_1", "native_list_one_default_terse", {"list should exit 0"}},
    {"list_drops_active", "native_list_one_default_terse", {"default list should contain 'ACTIVE:listone', got: "}},
    {"terse_list_shows_pending", "native_list_one_default_terse", {"default list must NOT contain 'pending=', got: "}},
    {"terse_list_dumps_record",
     "native_list_one_default_terse",
     {R"(default list must NOT contain info.json dump signature '"vell_id"', got: )"}},
    {"succeeds_with_1", "native_list_one_verbose_full", {"list --verbose should exit 0"}},
    {"list_drops_active", "native_list_one_verbose_full", {"verbose list should contain 'ACTIVE:listvb', got: "}},
    {"verbose_list_drops_pending", "native_list_one_verbose_full", {"verbose list should contain 'pending=0', got: "}},
    {"verbose_list_counts_one_pending",
     "native_list_one_verbose_full",
     {"verbose list should contain 'pending=0', got: ", "pending=1"}},
    {"verbose_list_drops_record",
     "native_list_one_verbose_full",
     {R"(verbose list should contain info.json dump key '"vell_id"', got: )"}},
    // Stop and session commands
    {"stop_drops_marker",
     "native_stop_nonexistent",
     {"stop_nonexistent stderr should contain 'STOPPED:nosuchid', got: "}},
    {"succeeds_with_1", "native_stop_all", {"stop --all should exit 0"}},
    {"stop_drops_marker", "native_stop_all", {"stop_all stderr should contain 'STOPPED:all', got: "}},
    {"succeeds_with_1", "native_cleanup_session_empty", {"cleanup-session empty should exit 0"}},
    {"succeeds_with_1", "native_session_resume_empty", {"session-resume empty should exit 0"}},
    {"resume_on_stderr",
     "native_session_resume_skip_worker",
     {"session-resume should include normal perch 'testbird', got: "}},
    {"resume_names_worker",
     "native_session_resume_skip_worker",
     {"session-resume should NOT include worker perch 'testbird-w1', got: "}},
    // Identity resolution
    {"fails_with_2",
     "native_deliver_without_from_arg_resolution_error",
     {"deliver without from should exit 1 when resolution fails"}},
    {"resolution_marker_dropped",
     "native_deliver_without_from_arg_resolution_error",
     {"deliver without from stderr should contain resolution error, got: "}},
    {"deliver_hint_without_send",
     "native_deliver_without_from_arg_resolution_error",
     {"error should contain command hint, got: "}},
    {"fails_with_2",
     "native_reply_without_my_id_resolution_error",
     {"reply without my_id should exit 1 when resolution fails"}},
    {"resolution_marker_dropped",
     "native_reply_without_my_id_resolution_error",
     {"reply without my_id should show resolution error, got: "}},
    {"fails_with_2",
     "native_send_without_from_resolution_error",
     {"send without from should exit 1 when resolution fails"}},
    {"resolution_marker_dropped",
     "native_send_without_from_resolution_error",
     {"send without from should show resolution error, got: "}},
    {"fails_with_2",
     "native_reboot_without_id_resolution_error",
     {"reboot without id should exit 1 when resolution fails"}},
    {"resolution_marker_dropped",
     "native_reboot_without_id_resolution_error",
     {"reboot without id should show resolution error, got: "}},
    {"live_usage_error",
     "native_live_commune_without_self_id_resolution_error",
     {"commune without self_id should not produce CLI11 usage error, got: "}},
    {"live_lowercase_usage_error",
     "native_live_commune_without_self_id_resolution_error",
     {"commune without self_id should not produce CLI11 usage error, got: "}},
    {"fails_with_2",
     "native_live_psyche_download_without_self_id_resolution_error",
     {"psyche-download without self_id should exit 1 when resolution fails"}},
    {"resolution_marker_dropped",
     "native_live_psyche_download_without_self_id_resolution_error",
     {"psyche-download without self_id should show resolution error, got: "}},
    {"live_usage_error",
     "native_live_psyche_download_without_self_id_resolution_error",
     {"psyche-download should not show CLI11 usage error, got: "}},
    {"fails_with_2",
     "native_live_signoff_with_true_as_first_arg",
     {"signoff true should exit 1 when resolution fails"}},
    {"resolution_marker_dropped",
     "native_live_signoff_with_true_as_first_arg",
     {"signoff true should attempt resolution and show error, got: "}},
    {"live_usage_error",
     "native_live_signoff_with_true_as_first_arg",
     {"signoff true should not show CLI11 usage error, got: "}},
    {"live_usage_error",
     "native_live_commune_with_explicit_id",
     {"commune with explicit id should not produce usage error, got: "}},
    // Worker perches
    {"hook_drops_worker_silently",
     "nested_worker_layout",
     {"expected a nested worker perch under \"", R"(phase25nw/nested" OR the hook to surface a no-op stderr signal)"}},
    // The no-op signal is "could not" in lower case; the resolution marker
    // is no such signal.
    {"hook_drops_worker_unable_to_resolve",
     "nested_worker_layout",
     {"expected a nested worker perch under \"", "no-op stderr signal; stderr=vell: Could not determine your perch"}},
    // A worker name is the parent id, "-w" and digits, nothing else.
    {"hook_names_worker_without_number",
     "nested_worker_layout",
     {"expected a nested worker perch under \"", "no-op stderr signal; stderr="}},
    {"hook_names_worker_with_letters",
     "nested_worker_layout",
     {"expected a nested worker perch under \"", "no-op stderr signal; stderr="}},
    {"hook_adds_flat_worker",
     "nested_worker_layout",
     {"no worker perch should ever land at the legacy flat layout under vellery/<parent>-w{N}; stderr="}},
    // A no-op signal excuses a missing nested worker, never a flat one.
    {"hook_declines_with_flat_worker",
     "nested_worker_layout",
     {"no worker perch should ever land at the legacy flat layout under vellery/<parent>-w{N}; stderr=vell: could "
      "not"}},
    {"doctor_drops_orphan_line",
     "sweep_own_orphaned_workers_e2e",
     {"expected D-21 'orphan worker perches detected' line in doctor output, got: "}},
    {"markers_on_stdout",
     "sweep_own_orphaned_workers_e2e",
     {"expected D-21 'orphan worker perches detected' line in doctor output, got: "}},
    {"doctor_removes_live_worker",
     "sweep_own_orphaned_workers_e2e",
     {"alive nested worker must survive a read-only doctor call"}},
};

void PrintTo(const CaughtRow& row, std::ostream* out) {
  *out << row.fault << " in " << row.test_case;
}

class Caught : public testing::TestWithParam<CaughtRow> {};

TEST_P(Caught, CaseFailsWithItsMessage) {
  const CaughtRow& row = GetParam();
  std::string error;
  const auto run = run_cases(row.fault, {row.test_case}, error);
  ASSERT_TRUE(run) << "cannot run " << NATIVE_VELL_FAULTY << ": " << error;
  const std::string& out = run->out;
  // The harness reports failed cases with exit code 1; anything else, a
  // signal above all, means the test executable itself broke.
  EXPECT_EQ(run->status.describe(), "exit code 1") << out << run->err;
  EXPECT_TRUE(contains(out, vell_selftest::failed_line(row.test_case)))
      << "fault " << row.fault << " did not fail " << row.test_case << ":\n"
      << out << run->err;
  for (const std::string_view text : row.expected) {
    EXPECT_TRUE(contains(out, text)) << "expected the report to hold: " << text << "\ngot:\n" << out << run->err;
  }
}

std::string caught_name(const testing::TestParamInfo<CaughtRow>& info) {
  return std::string(info.param.fault) + "_in_" + std::string(info.param.test_case);
}

INSTANTIATE_TEST_SUITE_P(Faults, Caught, testing::ValuesIn(k_caught), caught_name);

// A case without a row here has never been seen to fail.
TEST(Faults, ReachEveryCaseThatStartsVell) {
  for (const std::string_view name : vell_selftest::vell_cases()) {
    EXPECT_TRUE(
        std::any_of(k_caught.begin(), k_caught.end(), [name](const CaughtRow& row) { return row.test_case == name; }))
        << "no fault row for " << name;
  }
}

// ---------------------------------------------------------------------------
// Runs the cases must pass
// ---------------------------------------------------------------------------

struct PassRow {
  std::string_view fault; // "" for none
  std::vector<std::string_view> cases;
  std::string_view label; // names a row of several cases
};

// Without a fault fault_vell is the real vell, so every case that starts vell
// must pass; otherwise a failure under a fault would prove nothing.
std::vector<PassRow> without_fault() {
  std::vector<PassRow> rows;
  for (const std::string_view name : vell_selftest::vell_cases()) {
    rows.push_back({"", {name}, ""});
  }
  return rows;
}

// Behaviour the cases leave free, and the document cases, which start no vell.
const std::vector<PassRow> k_tolerated{
    // Exit codes the cases leave free.
    {"succeeds_with_1", {"native_stop_nonexistent"}, ""},
    {"succeeds_with_1", {"native_reply"}, ""},
    {"succeeds_with_1", {"native_poll_and_deliver"}, ""},
    {"succeeds_with_1", {"nested_worker_layout"}, ""},
    {"poll_exits_2", {"native_poll_and_deliver"}, ""},
    {"live_lowercase_usage_error", {"native_live_signoff_with_true_as_first_arg"}, ""},
    {"live_lowercase_usage_error", {"native_live_commune_with_explicit_id"}, ""},
    // Only standard error is searched for a usage text.
    {"live_usage_on_stdout", {"native_live_commune_with_explicit_id"}, ""},
    {"hook_declines", {"nested_worker_layout"}, ""},
    // Names that only look like worker names may stand in the flat layout.
    {"hook_adds_flat_lookalikes", {"nested_worker_layout"}, ""},
    {"killed_by_signal",
     {"psyche_md_contains_25_3_absorption_section", "psyche_md_forbids_projects_write_tool_calls",
      "skill_files_have_no_project_context_name_attr"},
     "documents"},
};

void PrintTo(const PassRow& row, std::ostream* out) {
  *out << (row.fault.empty() ? "no fault" : row.fault) << " in";
  for (const std::string_view name : row.cases) {
    *out << ' ' << name;
  }
}

class Passes : public testing::TestWithParam<PassRow> {};

TEST_P(Passes, EveryCasePasses) {
  const PassRow& row = GetParam();
  std::string error;
  const auto run = run_cases(row.fault, row.cases, error);
  ASSERT_TRUE(run) << "cannot run " << NATIVE_VELL_FAULTY << ": " << error;
  const std::string passed =
      "[  PASSED  ] " + std::to_string(row.cases.size()) + (row.cases.size() == 1 ? " test." : " tests.");
  EXPECT_TRUE(run->status.success()) << run->status.describe() << '\n' << run->out << run->err;
  EXPECT_TRUE(contains(run->out, passed)) << "expected: " << passed << "\ngot:\n" << run->out << run->err;
}

std::string pass_name(const testing::TestParamInfo<PassRow>& info) {
  const PassRow& row = info.param;
  const std::string subject(row.label.empty() ? row.cases.front() : row.label);
  return subject + (row.fault.empty() ? "_without_fault" : "_with_" + std::string(row.fault));
}

INSTANTIATE_TEST_SUITE_P(NoFault, Passes, testing::ValuesIn(without_fault()), pass_name);
INSTANTIATE_TEST_SUITE_P(Tolerated, Passes, testing::ValuesIn(k_tolerated), pass_name);

} // namespace
