// Worker perches: made by the subagent-start hook, addressed like any perch,
// and swept by doctor when their holder is gone.
#include "behaviour_support.hpp"

#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>
#include <thread>

namespace vell_behaviour {
namespace {

const std::string k_payload = R"({"session_id":"s1","cwd":".","hook_event_name":"SubagentStart","agent_id":"a"})";

class WorkerTest : public VellTest {
protected:
  // Runs the hook for `parent`; returns the worker id it printed ("" if none).
  std::string make_worker(const std::string& parent) {
    auto hook = vell({"hook-subagent-start"}, k_payload, {{"VELL_PARENT_ID", parent}});
    EXPECT_EQ(hook.status.code, k_exit_ok) << hook.err;
    std::smatch match;
    static const std::regex k_id_line("VELL_WORKER_ID=(\\S+)");
    if (!std::regex_search(hook.out, match, k_id_line)) {
      ADD_FAILURE() << "the hook named no worker; stdout: " << hook.out << "; stderr: " << hook.err;
      return "";
    }
    return match[1];
  }

  // Replaces a worker's record with one naming `pid` as its holder.
  testing::AssertionResult set_holder(const std::string& parent, const std::string& worker, std::uint64_t pid) {
    std::string record = R"({"vell_id":")" + worker + R"(","pid":)" + std::to_string(pid) +
                         R"(,"mode":"listen","started":"2024-01-01T00:00:00Z","session_id":"s1",)"
                         R"("state":"working","parent":")" +
                         parent + R"("})";
    if (!write_file(worker_dir(parent, worker) / "info.json", record)) {
      return testing::AssertionFailure() << "cannot write the record of " << worker;
    }
    return testing::AssertionSuccess();
  }
};

TEST_F(WorkerTest, ConcurrentHooksMakeDistinctNestedWorkers) {
  constexpr int k_hooks = 8;
  ASSERT_TRUE(setup("P"));
  std::vector<std::string> ids(k_hooks);
  std::vector<std::thread> hooks;
  for (int i = 0; i < k_hooks; ++i) {
    hooks.emplace_back([this, i, &ids] { ids[static_cast<std::size_t>(i)] = make_worker("P"); });
  }
  for (auto& thread : hooks) {
    thread.join();
  }
  std::set<std::string> distinct(ids.begin(), ids.end());
  std::set<std::string> expected;
  for (int n = 1; n <= k_hooks; ++n) {
    expected.insert("P-w" + std::to_string(n));
  }
  EXPECT_EQ(distinct, expected);
  for (const auto& id : expected) {
    SCOPED_TRACE(id);
    EXPECT_TRUE(fs::is_directory(worker_dir("P", id) / "inbox"));
    EXPECT_TRUE(fs::is_regular_file(worker_dir("P", id) / "info.json"));
    EXPECT_FALSE(fs::exists(perch_dir(id))) << "a worker in the flat layout";
  }
  EXPECT_EQ(names_in(root() / "vellery"), std::vector<std::string>{"P"});
}

// Hosts run hooks, and agents their tool calls, through "sh -c", which exits
// as soon as vell does. Recording that shell as the holder would make every
// fresh worker look orphaned, and doctor --fix would sweep a live one.
TEST_F(WorkerTest, ShellWrappedCallsRecordTheCallerNotTheShell) {
  const std::string script = "\"$0\" \"$@\"; status=$?; exit $status"; // not exec'd: the shell stays between
  auto through_shell = [&](std::vector<std::string> args, const std::optional<std::string>& input, const Env& env) {
    args.insert(args.begin(), VELL_EXE);
    args.insert(args.begin(), script);
    args.insert(args.begin(), "-c");
    std::string error;
    auto output = vell_test::run_to_completion(options("/bin/sh", args, env), input, error);
    EXPECT_TRUE(output.has_value()) << error;
    return output;
  };
  auto recorded_pid = [&](const fs::path& record) -> std::string {
    std::smatch match;
    static const std::regex k_pid("\"pid\":([0-9]+)");
    auto text = read_file(record).value_or("");
    return std::regex_search(text, match, k_pid) ? std::string(match[1]) : "none";
  };
  const std::string self = std::to_string(::getpid());

  ASSERT_TRUE(through_shell({"setup", "P"}, std::nullopt, {}));
  EXPECT_EQ(recorded_pid(perch_dir("P") / "info.json"), self) << "setup recorded its shell wrapper";

  ASSERT_TRUE(through_shell({"hook-subagent-start"}, k_payload, {{"VELL_PARENT_ID", "P"}}));
  ASSERT_TRUE(fs::is_directory(worker_dir("P", "P-w1")));
  EXPECT_EQ(recorded_pid(worker_dir("P", "P-w1") / "info.json"), self) << "the hook recorded its shell wrapper";

  auto doctor = vell({"doctor"});
  EXPECT_EQ(doctor.err.find("orphan"), std::string::npos) << doctor.err;
  auto fixed = vell({"doctor", "--fix"});
  EXPECT_TRUE(fs::is_directory(worker_dir("P", "P-w1"))) << "doctor --fix swept a live worker: " << fixed.err;
}

TEST_F(WorkerTest, HookWithoutAUsableParentCreatesNothing) {
  struct Case {
    const char* name;
    Env env;
    std::string payload;
  };
  const std::vector<Case> cases = {
      {"no VELL_PARENT_ID", {}, k_payload},
      {"empty VELL_PARENT_ID", {{"VELL_PARENT_ID", ""}}, k_payload},
      {"unknown parent", {{"VELL_PARENT_ID", "nobody"}}, k_payload},
      {"parent id that is a path", {{"VELL_PARENT_ID", "../P"}}, k_payload},
      {"malformed payload", {{"VELL_PARENT_ID", "P"}}, R"({"session_id":)"},
      {"payload not an object", {{"VELL_PARENT_ID", "P"}}, "[1,2]"},
      {"hostile session id", {{"VELL_PARENT_ID", "P"}}, R"({"session_id":"../../etc"})"},
  };
  ASSERT_TRUE(setup("P"));
  auto before = tree_snapshot(home());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto hook = vell({"hook-subagent-start"}, c.payload, c.env);
    EXPECT_EQ(hook.status.code, k_exit_ok) << hook.err;
    bool explained = hook.err.find("no_parent") != std::string::npos || hook.err.find("could not") != std::string::npos;
    EXPECT_TRUE(explained) << "stderr: " << hook.err;
    EXPECT_EQ(hook.out.find("VELL_WORKER_ID"), std::string::npos) << hook.out;
    EXPECT_EQ(tree_snapshot(home()), before);
  }
}

TEST_F(WorkerTest, WorkerIsAddressableAndListedUnderItsParent) {
  ASSERT_TRUE(setup("P"));
  ASSERT_TRUE(setup("Q"));
  ASSERT_EQ(make_worker("P"), "P-w1");

  auto list = vell({"list"});
  EXPECT_EQ(list.status.code, k_exit_ok) << list.err;
  EXPECT_TRUE(list.out.empty()) << list.out;
  auto parent_at = list.err.find("ACTIVE:P\n");
  auto worker_at = list.err.find("  ACTIVE:P-w1");
  auto other_at = list.err.find("ACTIVE:Q");
  ASSERT_NE(parent_at, std::string::npos) << list.err;
  ASSERT_NE(worker_at, std::string::npos) << "worker not indented under its parent:\n" << list.err;
  EXPECT_LT(parent_at, worker_at) << list.err;
  EXPECT_TRUE(other_at == std::string::npos || other_at > worker_at) << "worker not listed under its parent:\n"
                                                                     << list.err;

  ASSERT_TRUE(deliver("P-w1", "P", "task"));
  auto polled = vell({"poll", "P-w1", "--once"});
  EXPECT_EQ(polled.status.code, k_exit_ok) << polled.err;
  EXPECT_EQ(polled.out, handed_out("task", "P"));
  auto report = vell({"send", "P", "P-w1"}, "done");
  EXPECT_EQ(report.status.code, k_exit_ok) << report.err;
  EXPECT_EQ(vell({"poll", "P", "--once"}).out, handed_out("done", "P-w1"));
}

TEST_F(WorkerTest, DoctorReportsOrphansReadOnlyAndFixSweepsThemIntoTheParent) {
  ASSERT_TRUE(setup("P"));
  // P-w1 and P-w2 are orphans: their records name pids no process can have
  // (4294967295 is -1 as a 32-bit pid, 0 is the caller's process group). P-w3
  // is held by this test process and stays.
  ASSERT_EQ(make_worker("P"), "P-w1");
  ASSERT_EQ(make_worker("P"), "P-w2");
  ASSERT_EQ(make_worker("P"), "P-w3");
  ASSERT_TRUE(set_holder("P", "P-w1", 4294967295u));
  ASSERT_TRUE(set_holder("P", "P-w2", 0));
  ASSERT_TRUE(set_holder("P", "P-w3", static_cast<std::uint64_t>(::getpid())));
  ASSERT_TRUE(deliver("P-w1", "alice", "from alice\n"));
  ASSERT_TRUE(deliver("P-w1", "bob", "from bob"));
  ASSERT_TRUE(deliver("P-w2", "carol", "from carol"));
  ASSERT_TRUE(deliver("P-w3", "dave", "for the live worker"));

  auto before = tree_snapshot(home());
  auto check = vell({"doctor"});
  EXPECT_EQ(check.status.code, k_exit_not_found) << check.err;
  EXPECT_NE(check.err.find("orphan worker perches detected"), std::string::npos) << check.err;
  EXPECT_NE(check.err.find("P-w1"), std::string::npos) << check.err;
  EXPECT_NE(check.err.find("P-w2"), std::string::npos) << check.err;
  EXPECT_EQ(check.err.find("P-w3"), std::string::npos) << "the live worker was reported:\n" << check.err;
  EXPECT_EQ(tree_snapshot(home()), before) << "doctor without --fix changed the disk";

  auto fix = vell({"doctor", "--fix"});
  EXPECT_EQ(fix.status.code, k_exit_ok) << fix.err;
  EXPECT_FALSE(fs::exists(worker_dir("P", "P-w1")));
  EXPECT_FALSE(fs::exists(worker_dir("P", "P-w2")));
  EXPECT_EQ(names_in(worker_dir("P", "P-w3") / "inbox").size(), 1u) << "the live worker was touched";
  EXPECT_TRUE(fs::exists(worker_dir("P", "P-w3") / "ready"));

  auto again = vell({"doctor"});
  EXPECT_EQ(again.status.code, k_exit_ok) << "problems left after --fix:\n" << again.err;

  auto parent = vell({"poll", "P", "--once"});
  EXPECT_EQ(parent.status.code, k_exit_ok) << parent.err;
  auto moved = parse_one_line_messages(parent.out);
  std::vector<std::pair<std::string, std::string>> got;
  for (const auto& m : moved) {
    got.emplace_back(m.sender, m.body);
  }
  // Each orphan's messages keep their sender and their order; which orphan
  // is swept first is not fixed.
  auto alice = std::find(got.begin(), got.end(), std::pair<std::string, std::string>{"alice", "from alice"});
  auto bob = std::find(got.begin(), got.end(), std::pair<std::string, std::string>{"bob", "from bob"});
  auto carol = std::find(got.begin(), got.end(), std::pair<std::string, std::string>{"carol", "from carol"});
  EXPECT_EQ(got.size(), 3u) << parent.out;
  EXPECT_TRUE(alice != got.end() && bob != got.end() && carol != got.end()) << parent.out;
  EXPECT_LT(alice - got.begin(), bob - got.begin()) << parent.out;

  auto live = vell({"poll", "P-w3", "--once"});
  EXPECT_EQ(live.out, handed_out("for the live worker", "dave"));
}

} // namespace
} // namespace vell_behaviour
