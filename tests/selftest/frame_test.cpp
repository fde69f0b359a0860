// The frame of native_vell seen from outside: what it registers with the
// harness, and how it keeps its cases apart. Each case gets a home of its own
// that is gone when the case ends, passed or failed; the developer's session
// reaches only the runs that may see it; and no process a case started
// outlives the case.
//
// The runs go through native_vell_faulty, whose fault_vell writes a line per
// vell invocation to the file named by VELL_TRACE (see fault_vell.cpp).

#include "selftest_support.hpp"
#include "support/child_process.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using vell_selftest::contains;
using vell_selftest::count;
using vell_selftest::ScratchDir;
using namespace std::chrono_literals;

vell_test::SpawnOptions faulty(std::string_view fault = "") {
  return vell_selftest::with_fault(NATIVE_VELL_FAULTY, fault);
}

// ---------------------------------------------------------------------------
// The registry
// ---------------------------------------------------------------------------

std::vector<std::string> listed_names(const std::string& listing) {
  std::vector<std::string> names;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("  ")) {
      names.push_back(line.substr(2));
    }
  }
  return names;
}

TEST(Registry, ListsTheTwentyNineCasesInByteOrder) {
  vell_test::SpawnOptions options = faulty();
  options.args = {"--gtest_list_tests"};
  std::string error;
  const auto run = vell_selftest::run_cases(options, {}, error);
  ASSERT_TRUE(run) << error;
  ASSERT_TRUE(run->status.success()) << run->status.describe() << '\n' << run->err;
  EXPECT_TRUE(run->out.starts_with("native_vell.\n")) << run->out;
  const std::vector<std::string> expected(vell_selftest::k_case_names.begin(), vell_selftest::k_case_names.end());
  const std::vector<std::string> names = listed_names(run->out);
  EXPECT_EQ(names, expected);
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  EXPECT_FALSE(contains(run->out, "DISABLED_"));
}

TEST(Registry, RegistersEachCaseAtTheLineOfItsFunction) {
  ScratchDir dir("vell_frame_registry");
  const fs::path listing_file = dir.path() / "list.json";
  vell_test::SpawnOptions options = faulty();
  options.args = {"--gtest_list_tests", "--gtest_output=json:" + listing_file.string()};
  std::string error;
  const auto run = vell_selftest::run_cases(options, {}, error);
  ASSERT_TRUE(run) << error;
  ASSERT_TRUE(run->status.success()) << run->status.describe() << '\n' << run->err;

  const fs::path source = fs::path(PROJECT_ROOT) / "tests/native_vell.cpp";
  std::vector<std::string> source_lines{""}; // line numbers count from 1
  std::ifstream source_stream(source);
  for (std::string line; std::getline(source_stream, line);) {
    source_lines.push_back(line);
  }
  ASSERT_GT(source_lines.size(), 1U) << "cannot read " << source;

  std::ifstream listing_stream(listing_file);
  const auto listing = nlohmann::json::parse(listing_stream, nullptr, false);
  ASSERT_FALSE(listing.is_discarded()) << "the listing is not JSON";
  const auto& suites = listing.at("testsuites");
  ASSERT_EQ(suites.size(), 1U);
  const auto& cases = suites.at(0).at("testsuite");
  ASSERT_EQ(cases.size(), vell_selftest::k_case_names.size());
  for (const auto& entry : cases) {
    const std::string name = entry.at("name").get<std::string>();
    SCOPED_TRACE(name);
    EXPECT_EQ(fs::path(entry.at("file").get<std::string>()), source);
    const std::size_t line = entry.at("line").get<std::size_t>();
    ASSERT_LT(line, source_lines.size());
    EXPECT_TRUE(source_lines[line].starts_with("VELL_CASE(" + name + ")"))
        << "line " << line << " is: " << source_lines[line];
  }
}

TEST(Registry, RunsEveryCaseOnceAndOnlyAFailedCaseFails) {
  std::string error;
  const auto all = vell_selftest::run_cases(faulty(), {}, error);
  ASSERT_TRUE(all) << error;
  EXPECT_TRUE(all->status.success()) << all->status.describe() << '\n' << all->out << all->err;
  EXPECT_TRUE(contains(all->out, "[==========] 29 tests from 1 test suite ran.")) << all->out;
  for (const std::string_view name : vell_selftest::k_case_names) {
    EXPECT_EQ(count(all->out, vell_selftest::passed_line(name) + " ("), 1U) << name;
  }

  // A failed case ends neither the run nor the cases after it, and fails the run.
  const auto some = vell_selftest::run_cases(faulty("setup_leaves_no_ready_file"),
                                             {"native_list_empty", "native_setup", "native_stop_all"}, error);
  ASSERT_TRUE(some) << error;
  EXPECT_EQ(some->status.describe(), "exit code 1") << some->out << some->err;
  EXPECT_TRUE(contains(some->out, vell_selftest::failed_line("native_setup"))) << some->out;
  EXPECT_TRUE(contains(some->out, vell_selftest::passed_line("native_list_empty"))) << some->out;
  EXPECT_TRUE(contains(some->out, vell_selftest::passed_line("native_stop_all"))) << some->out;
  EXPECT_TRUE(contains(some->out, "[  PASSED  ] 2 tests.")) << some->out;
}

TEST(Registry, DocumentCasesNeedNoVellAndTheOthersSayWhatTheyCouldNotStart) {
  vell_test::SpawnOptions options;
  options.program = NATIVE_VELL_WITHOUT_VELL;
  std::string error;
  std::vector<std::string_view> documents;
  std::copy_if(vell_selftest::k_case_names.begin(), vell_selftest::k_case_names.end(), std::back_inserter(documents),
               vell_selftest::is_document_case);
  const auto passing = vell_selftest::run_cases(options, documents, error);
  ASSERT_TRUE(passing) << error;
  EXPECT_TRUE(passing->status.success()) << passing->status.describe() << '\n' << passing->out;
  EXPECT_TRUE(contains(passing->out, "[  PASSED  ] 3 tests.")) << passing->out;

  const auto failing = vell_selftest::run_cases(options, vell_selftest::vell_cases(), error);
  ASSERT_TRUE(failing) << error;
  EXPECT_EQ(failing->status.describe(), "exit code 1") << failing->out;
  const std::string reason = std::string("cannot execute '") + MISSING_VELL + "': No such file or directory";
  for (const std::string_view name : vell_selftest::vell_cases()) {
    // The report of one case runs from its RUN line to its verdict.
    const std::string_view out = failing->out;
    const auto start = out.find("[ RUN      ] native_vell." + std::string(name) + "\n");
    const auto verdict = out.find(vell_selftest::failed_line(name) + " (", start);
    ASSERT_TRUE(start != std::string_view::npos && verdict != std::string_view::npos) << name << " did not fail:\n"
                                                                                      << out;
    EXPECT_TRUE(contains(out.substr(start, verdict - start), reason)) << out.substr(start, verdict - start);
  }
}

// ---------------------------------------------------------------------------
// Isolation
// ---------------------------------------------------------------------------

// One vell invocation, as fault_vell recorded it.
struct Call {
  std::string home;
  std::string qrd_home;
  std::string session; // "-" when unset
  std::vector<std::string> args;
};

std::vector<Call> read_trace(const fs::path& file) {
  std::vector<Call> calls;
  std::ifstream stream(file);
  for (std::string line; std::getline(stream, line);) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, '\t');) {
      fields.push_back(field);
    }
    if (fields.size() >= 5) {
      calls.push_back({fields[1], fields[2], fields[3], {fields.begin() + 4, fields.end()}});
    }
  }
  return calls;
}

std::string describe(const Call& call) {
  std::string text = "vell";
  for (const std::string& arg : call.args) {
    text += ' ' + arg;
  }
  return text + " (HOME=" + call.home + ", VELL_SESSION_ID=" + call.session + ")";
}

TEST(Isolation, CasesSideBySideGetHomesOfTheirOwnGoneWhenTheyEnd) {
  ScratchDir dir("vell_frame_homes");
  const std::vector<std::string_view> cases{"native_setup", "native_deliver", "native_list_empty", "native_stop_all"};
  // Two runs at once; in the second, native_setup fails.
  const std::vector<std::string_view> faults{"", "setup_leaves_no_ready_file"};
  std::vector<vell_test::ChildProcess> runs;
  for (std::size_t r = 0; r < faults.size(); ++r) {
    vell_test::SpawnOptions options = faulty(faults[r]);
    options.set_env.emplace_back("VELL_TRACE", (dir.path() / ("trace" + std::to_string(r))).string());
    std::string error;
    auto child = vell_test::ChildProcess::spawn(vell_selftest::case_options(options, cases), error);
    ASSERT_TRUE(child) << error;
    runs.push_back(std::move(*child));
  }
  std::set<std::string> all_homes;
  for (std::size_t r = 0; r < runs.size(); ++r) {
    SCOPED_TRACE("run " + std::to_string(r));
    std::string error;
    const auto output = runs[r].wait_with_output(error, vell_selftest::k_run_limit);
    ASSERT_TRUE(output) << error;
    EXPECT_EQ(output->status.success(), faults[r].empty()) << output->out;
    if (!faults[r].empty()) {
      EXPECT_TRUE(contains(output->out, vell_selftest::failed_line("native_setup"))) << output->out;
    }

    const std::vector<Call> calls = read_trace(dir.path() / ("trace" + std::to_string(r)));
    std::set<std::string> homes;
    for (const Call& call : calls) {
      homes.insert(call.home);
      EXPECT_EQ(fs::path(call.qrd_home), fs::path(call.home) / ".qrd") << describe(call);
    }
    // Every case ran vell in one home of its own, and left nothing of it.
    EXPECT_EQ(homes.size(), cases.size());
    for (const std::string& home : homes) {
      EXPECT_TRUE(fs::path(home).is_absolute()) << home;
      EXPECT_FALSE(fs::exists(home)) << "left behind: " << home;
      EXPECT_TRUE(all_homes.insert(home).second) << "both runs used " << home;
    }
  }
}

TEST(Isolation, TheDevelopersSessionNeverReachesTheIdentityRuns) {
  ScratchDir dir("vell_frame_session");
  const fs::path trace = dir.path() / "trace";
  vell_test::SpawnOptions options = faulty();
  options.set_env.emplace_back("VELL_SESSION_ID", "developer-session");
  options.set_env.emplace_back("VELL_TRACE", trace.string());
  // The seven cases that withhold the session, and two whose other runs keep it.
  const std::vector<std::string_view> cases{"native_deliver_without_from_arg_resolution_error",
                                            "native_live_commune_without_self_id_resolution_error",
                                            "native_live_psyche_download_without_self_id_resolution_error",
                                            "native_live_signoff_with_true_as_first_arg",
                                            "native_reboot_without_id_resolution_error",
                                            "native_reply_without_my_id_resolution_error",
                                            "native_send_without_from_resolution_error",
                                            "native_live_commune_with_explicit_id",
                                            "nested_worker_layout"};
  std::string error;
  const auto run = vell_selftest::run_cases(options, cases, error);
  ASSERT_TRUE(run) << error;
  EXPECT_TRUE(run->status.success()) << run->status.describe() << '\n' << run->out;

  // The runs under test act without an own id and must not see the session;
  // the set-up, clean-up and hook runs inherit it.
  const std::set<std::string> withheld{"deliver", "live", "reboot", "reply", "send"};
  std::map<std::string, int> seen;
  for (const Call& call : read_trace(trace)) {
    ASSERT_FALSE(call.args.empty());
    const bool must_withhold = withheld.count(call.args.front()) != 0;
    EXPECT_EQ(call.session, must_withhold ? "-" : "developer-session") << describe(call);
    ++seen[call.args.front()];
  }
  for (const char* command : {"deliver", "live", "reboot", "reply", "send", "setup", "hook-subagent-start"}) {
    EXPECT_GT(seen[command], 0) << "no " << command << " run was traced";
  }
}

// The processes of process group `group` that still run (zombies aside).
std::vector<std::string> running_members(int group) {
  std::vector<std::string> members;
  std::error_code error;
  for (fs::directory_iterator entry("/proc", error), end; !error && entry != end; entry.increment(error)) {
    std::ifstream stat(entry->path() / "stat");
    std::string text;
    if (!std::getline(stat, text)) {
      continue;
    }
    // pid (comm) state ppid pgrp ...; comm may hold blanks and parentheses.
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
      continue;
    }
    std::istringstream rest(text.substr(close + 1));
    char state = 0;
    int parent = 0;
    int member_group = 0;
    if (rest >> state >> parent >> member_group && member_group == group && state != 'Z') {
      members.push_back(text.substr(0, close + 1));
    }
  }
  return members;
}

// Waits a little for the group to empty, as killed processes finish dying.
std::vector<std::string> survivors(int group) {
  std::vector<std::string> members = running_members(group);
  for (int tries = 0; tries < 40 && !members.empty(); ++tries) {
    std::this_thread::sleep_for(50ms);
    members = running_members(group);
  }
  return members;
}

TEST(Isolation, NoProcessOutlivesItsCase) {
  // The check itself: a shell that leaves a sleeper behind is caught.
  {
    vell_test::SpawnOptions leaver;
    leaver.program = "/bin/sh";
    leaver.args = {"-c", "sleep 60 >/dev/null 2>&1 &"};
    leaver.new_process_group = true;
    std::string error;
    auto child = vell_test::ChildProcess::spawn(leaver, error);
    ASSERT_TRUE(child) << error;
    const int group = child->pid();
    ASSERT_TRUE(child->wait_with_output(error)) << error;
    const std::vector<std::string> left = running_members(group);
    EXPECT_EQ(left.size(), 1U);
    ::kill(-group, SIGKILL);
  }

  // Every case that starts vell, passing; then cases failing while their
  // listener still runs.
  struct Run {
    std::string_view fault;
    std::vector<std::string_view> cases;
  };
  const std::vector<Run> runs{
      {"", vell_selftest::vell_cases()},
      {"every_send_deferred", {"deferred_send_does_not_wake_idle_poll"}},
      {"deferred_wakes_listener", {"deferred_send_does_not_wake_idle_poll"}},
      {"poll_exits_2", {"deferred_send_does_not_wake_idle_poll", "native_spool_fallback"}},
      {"doctor_removes_live_worker", {"sweep_own_orphaned_workers_e2e"}},
  };
  for (const Run& run : runs) {
    SCOPED_TRACE(run.fault.empty() ? "no fault" : std::string(run.fault));
    vell_test::SpawnOptions options = faulty(run.fault);
    options.new_process_group = true;
    std::string error;
    auto child = vell_test::ChildProcess::spawn(vell_selftest::case_options(options, run.cases), error);
    ASSERT_TRUE(child) << error;
    const int group = child->pid();
    const auto output = child->wait_with_output(error, vell_selftest::k_run_limit);
    ASSERT_TRUE(output) << error;
    EXPECT_EQ(output->status.success(), run.fault.empty()) << output->out;
    const std::vector<std::string> left = survivors(group);
    for (const std::string& process : left) {
      ADD_FAILURE() << "still running after its case: " << process;
    }
    ::kill(-group, SIGKILL);
  }
}

} // namespace
