#include "support/child_process.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace vell_test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

SpawnOptions shell(std::string script) {
  SpawnOptions options;
  options.program = "/bin/sh";
  options.args = {"-c", std::move(script)};
  return options;
}

// Spawns and fails the test when that fails; use under ASSERT_TRUE.
std::optional<ChildProcess> start(const SpawnOptions& options) {
  std::string error;
  std::optional<ChildProcess> child = ChildProcess::spawn(options, error);
  if (!child) {
    ADD_FAILURE() << "spawn failed: " << error;
  }
  return child;
}

Output finish(ChildProcess& child, std::chrono::milliseconds limit = k_default_wait) {
  std::string error;
  std::optional<Output> output = child.wait_with_output(error, limit);
  if (!output) {
    ADD_FAILURE() << "wait failed: " << error;
    return {};
  }
  return *output;
}

// What `seq FIRST LAST` prints.
std::string numbers(int first, int last) {
  std::string text;
  for (int i = first; i <= last; ++i) {
    text += std::to_string(i);
    text += '\n';
  }
  return text;
}

// True once the process is gone entirely: not running and not a zombie.
bool process_gone(int pid) {
  return ::kill(pid, 0) == -1 && errno == ESRCH;
}

std::set<std::string> open_descriptors() {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

TEST(ChildProcess, CollectsBothFloodedStreamsExactly) {
  // Standard error, then standard output, then standard error again, each far
  // beyond a pipe's capacity: draining the streams one after the other (in
  // either order) leaves the child blocked on the other pipe for ever.
  std::string error;
  const std::optional<Output> output =
      run_to_completion(shell("seq 1 300000 >&2; seq 1 600000; seq 300001 700000 >&2"), std::nullopt, error);
  ASSERT_TRUE(output) << error;
  EXPECT_EQ(output->status.describe(), "exit code 0");
  // Compared by size and equality rather than printed: several MiB each.
  EXPECT_EQ(output->out.size(), numbers(1, 600000).size());
  EXPECT_TRUE(output->out == numbers(1, 600000));
  EXPECT_EQ(output->err.size(), numbers(1, 700000).size());
  EXPECT_TRUE(output->err == numbers(1, 700000));
}

TEST(ChildProcess, FeedsInputOrClosesIt) {
  const std::string big(8 << 20, 'x');
  struct Case {
    const char* name;
    std::optional<std::string> input;
  };
  // No input must mean end of input at once, or `cat` would wait for ever;
  // 8 MiB through `cat` needs the writer and the reader to run together.
  const Case cases[] = {
      {"no input", std::nullopt},
      {"empty input", std::string{}},
      {"a line", std::string{"one line\n"}},
      {"8 MiB", big},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    const std::optional<Output> output = run_to_completion(shell("cat"), c.input, error, 20s);
    ASSERT_TRUE(output) << error;
    EXPECT_TRUE(output->status.success()) << output->status.describe();
    EXPECT_EQ(output->out.size(), c.input.value_or("").size());
    EXPECT_TRUE(output->out == c.input.value_or(""));
  }
}

TEST(ChildProcess, ChildLeavingInputUnreadNeitherHangsNorKillsTheTest) {
  // A SIGPIPE reaching this process would end it with the default action;
  // make sure nobody has quietly ignored it, or this test proves nothing.
  struct sigaction current {};
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
  ASSERT_EQ(current.sa_handler, SIG_DFL);

  const std::string big(8 << 20, 'y');
  struct Case {
    const char* script;
    int code;
    std::string out;
  };
  const Case cases[] = {
      {"exit 3", 3, ""},
      {"head -c 5; exit 4", 4, "yyyyy"},
      // The background `sleep` keeps the input pipe open without reading it
      // long after the child has gone; the writer must not hold up the wait.
      {"exec 3<&0; sleep 5 <&3 >/dev/null 2>&1 & exit 5", 5, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    const auto started = Clock::now();
    std::string error;
    const std::optional<Output> output = run_to_completion(shell(c.script), big, error, 20s);
    ASSERT_TRUE(output) << error;
    EXPECT_EQ(output->status.code, c.code);
    EXPECT_EQ(output->out, c.out);
    EXPECT_LT(Clock::now() - started, 4s);
  }

  // The synchronous write reports the broken pipe instead of dying of it.
  std::optional<ChildProcess> child = start(shell("exit 0"));
  ASSERT_TRUE(child);
  std::string error;
  const auto deadline = Clock::now() + 10s;
  while (!child->try_wait(error) && Clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_FALSE(child->write_stdin("late", error));
  EXPECT_EQ(error, "cannot write to standard input: Broken pipe");
}

TEST(ChildProcess, ReportsHowTheChildEnded) {
  struct Case {
    const char* script;
    int code;
    int signal;
    const char* described;
    bool success;
  };
  const Case cases[] = {
      {"exit 0", 0, 0, "exit code 0", true},
      {"exit 7", 7, 0, "exit code 7", false},
      {"exit 255", 255, 0, "exit code 255", false},
      {"kill -TERM $$", -1, SIGTERM, "killed by signal 15 (SIGTERM)", false},
      {"kill -KILL $$", -1, SIGKILL, "killed by signal 9 (SIGKILL)", false},
      {"kill -SEGV $$", -1, SIGSEGV, "killed by signal 11 (SIGSEGV)", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    std::string error;
    const std::optional<Output> output = run_to_completion(shell(c.script), std::nullopt, error);
    ASSERT_TRUE(output) << error;
    EXPECT_EQ(output->status.code, c.code);
    EXPECT_EQ(output->status.signal, c.signal);
    EXPECT_EQ(output->status.describe(), c.described);
    EXPECT_EQ(output->status.success(), c.success);
  }
}

TEST(ChildProcess, BuildsTheChildEnvironment) {
  ASSERT_EQ(setenv("VELL_RUNNER_KEPT", "kept", 1), 0);
  ASSERT_EQ(setenv("VELL_RUNNER_REPLACED", "old", 1), 0);
  ASSERT_EQ(setenv("VELL_RUNNER_REMOVED", "inherited", 1), 0);
  SpawnOptions options = shell("env");
  options.set_env = {
      {"VELL_RUNNER_REPLACED", "new"},
      {"VELL_RUNNER_ADDED", "first"},
      {"VELL_RUNNER_ADDED", "second=with equals"},
      {"VELL_RUNNER_REMOVED", "set then removed"},
  };
  options.remove_env = {"VELL_RUNNER_REMOVED", "VELL_RUNNER_NEVER_SET"};
  std::string error;
  const std::optional<Output> output = run_to_completion(options, std::nullopt, error);
  unsetenv("VELL_RUNNER_KEPT");
  unsetenv("VELL_RUNNER_REPLACED");
  unsetenv("VELL_RUNNER_REMOVED");
  ASSERT_TRUE(output) << error;

  std::multiset<std::string> ours;
  std::istringstream lines(output->out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("VELL_RUNNER_", 0) == 0) {
      ours.insert(line);
    }
  }
  const std::multiset<std::string> expected{
      "VELL_RUNNER_KEPT=kept",
      "VELL_RUNNER_REPLACED=new",
      "VELL_RUNNER_ADDED=second=with equals",
  };
  EXPECT_EQ(ours, expected);
}

TEST(ChildProcess, StartsTheChildInTheWorkingDirectoryAsked) {
  const std::filesystem::path dir =
      std::filesystem::canonical(testing::TempDir()) / ("child_process_cwd_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  SpawnOptions options = shell("pwd -P");
  options.working_dir = dir.string();
  std::string error;
  const std::optional<Output> moved = run_to_completion(options, std::nullopt, error);
  ASSERT_TRUE(moved) << error;
  EXPECT_EQ(moved->out, dir.string() + "\n");

  // Left empty, the child shares the test process's directory.
  options.working_dir.clear();
  const std::optional<Output> stayed = run_to_completion(options, std::nullopt, error);
  ASSERT_TRUE(stayed) << error;
  EXPECT_EQ(stayed->out, std::filesystem::canonical(std::filesystem::current_path()).string() + "\n");

  // A directory that is gone is reported with the program, not run elsewhere.
  options.working_dir = (dir / "gone").string();
  EXPECT_FALSE(ChildProcess::spawn(options, error));
  EXPECT_EQ(error, "cannot execute '/bin/sh' in '" + options.working_dir + "': No such file or directory");
  std::filesystem::remove_all(dir);
}

TEST(ChildProcess, StartsTheChildInAProcessGroupOfItsOwnWhenAsked) {
  // The shell prints its pid and its process group: equal only in a group of its own.
  SpawnOptions options = shell("read -r pid comm state ppid pgrp rest </proc/$$/stat; echo $pid $pgrp");
  for (const bool own_group : {false, true}) {
    SCOPED_TRACE(own_group);
    options.new_process_group = own_group;
    std::string error;
    const std::optional<Output> output = run_to_completion(options, std::nullopt, error);
    ASSERT_TRUE(output) << error;
    std::istringstream words(output->out);
    int pid = 0;
    int group = 0;
    ASSERT_TRUE(words >> pid >> group) << output->out << output->err;
    EXPECT_EQ(pid == group, own_group);
    EXPECT_EQ(group == getpgrp(), !own_group);
  }
}

TEST(ChildProcess, SpawnReportsAProgramThatCannotRun) {
  const std::filesystem::path dir = testing::TempDir() + "child_process_test_" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  const std::filesystem::path not_executable = dir / "not-executable";
  std::ofstream(not_executable) << "#!/bin/sh\nexit 0\n";
  std::filesystem::permissions(not_executable,
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  struct Case {
    std::string program;
    std::string message;
  };
  const Case cases[] = {
      {"/nonexistent/vell", "cannot execute '/nonexistent/vell': No such file or directory"},
      {not_executable.string(), "cannot execute '" + not_executable.string() + "': Permission denied"},
      {dir.string(), "cannot execute '" + dir.string() + "': Permission denied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    SpawnOptions options;
    options.program = c.program;
    std::string error;
    EXPECT_FALSE(ChildProcess::spawn(options, error));
    EXPECT_EQ(error, c.message);
  }
  std::filesystem::remove_all(dir);
}

TEST(ChildProcess, TimeOutKillsAChildThatNeverExits) {
  // The second child closes its outputs first, so the wait has no end of
  // output to stop at and must bound the wait for the exit itself.
  const char* scripts[] = {"exec sleep 30", "exec >&- 2>&-; exec sleep 30"};
  for (const char* script : scripts) {
    SCOPED_TRACE(script);
    std::optional<ChildProcess> child = start(shell(script));
    ASSERT_TRUE(child);
    const int pid = child->pid();
    const auto started = Clock::now();
    std::string error;
    EXPECT_FALSE(child->wait_with_output(error, 300ms));
    EXPECT_EQ(error, "did not exit within 300 ms; killed");
    const auto waited = Clock::now() - started;
    EXPECT_GE(waited, 300ms);
    EXPECT_LT(waited, 5s);
    EXPECT_TRUE(process_gone(pid)) << "process " << pid << " still exists";
  }
}

TEST(ChildProcess, TimeOutNamesAnOutputHeldOpenAfterTheChildEnded) {
  // The child exits at once but leaves a background process holding its
  // standard output: the wait ends at the limit, not when that process does.
  const auto started = Clock::now();
  std::string error;
  EXPECT_FALSE(run_to_completion(shell("sleep 5 & exit 6"), std::nullopt, error, 300ms));
  EXPECT_EQ(error, "ended with exit code 6 but its output stayed open for 300 ms "
                   "(a process it started still holds it)");
  EXPECT_LT(Clock::now() - started, 4s);
}

TEST(ChildProcess, TryWaitReportsTheStatusOnlyOnceTheChildHasEnded) {
  // The child cannot end before it has read a line, so the first check is
  // certain to find it running.
  std::optional<ChildProcess> child = start(shell("read line; exit 4"));
  ASSERT_TRUE(child);
  std::string error;
  EXPECT_FALSE(child->try_wait(error));
  EXPECT_EQ(error, "");
  ASSERT_TRUE(child->write_stdin("go\n", error)) << error;
  child->close_stdin();
  child->close_stdin();

  std::optional<ExitStatus> status;
  const auto deadline = Clock::now() + 10s;
  while (!(status = child->try_wait(error)) && error.empty() && Clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(status) << error;
  EXPECT_EQ(status->describe(), "exit code 4");
  // Reaped now: asking again gives the same answer, and kill() leaves the
  // (possibly reused) pid alone.
  child->kill();
  status = child->try_wait(error);
  ASSERT_TRUE(status) << error;
  EXPECT_EQ(status->code, 4);
}

TEST(ChildProcess, WaitClosesInputLeftOpen) {
  std::optional<ChildProcess> child = start(shell("cat"));
  ASSERT_TRUE(child);
  std::string error;
  ASSERT_TRUE(child->write_stdin("unterminated", error)) << error;
  const Output output = finish(*child, 10s);
  EXPECT_EQ(output.out, "unterminated");
  EXPECT_TRUE(output.status.success()) << output.status.describe();
}

TEST(ChildProcess, KillEndsTheChildWithSigkill) {
  std::optional<ChildProcess> child = start(shell("exec sleep 30"));
  ASSERT_TRUE(child);
  child->kill();
  const Output output = finish(*child);
  EXPECT_EQ(output.status.signal, SIGKILL);
}

TEST(ChildProcess, TakeStdoutHandsTheDescriptorOutOnce) {
  std::optional<ChildProcess> child = start(shell("echo to-out; echo to-err >&2"));
  ASSERT_TRUE(child);
  const int fd = child->take_stdout();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(child->take_stdout(), -1);
  std::string out;
  char buffer[256];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
    ASSERT_GT(n, 0) << std::strerror(errno);
    out.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  EXPECT_EQ(out, "to-out\n");
  const Output output = finish(*child);
  EXPECT_EQ(output.out, "");
  EXPECT_EQ(output.err, "to-err\n");
  EXPECT_TRUE(output.status.success());
}

TEST(ChildProcess, OwnerEndsTheChildAndMovesTransferOwnership) {
  std::optional<ChildProcess> first = start(shell("exec sleep 30"));
  ASSERT_TRUE(first);
  std::optional<ChildProcess> second = start(shell("exec sleep 30"));
  ASSERT_TRUE(second);
  const int first_pid = first->pid();
  const int second_pid = second->pid();
  {
    ChildProcess owner(std::move(*first));
    first.reset(); // destroys the moved-from object, which owns nothing
    EXPECT_EQ(owner.pid(), first_pid);
    EXPECT_EQ(::kill(first_pid, 0), 0) << "the move ended the child";

    owner = std::move(*second); // the child owned until now is ended
    EXPECT_EQ(owner.pid(), second_pid);
    EXPECT_TRUE(process_gone(first_pid));
    second.reset(); // likewise
    EXPECT_EQ(::kill(second_pid, 0), 0) << "the move ended the child";
  }
  EXPECT_TRUE(process_gone(second_pid));
}

TEST(ChildProcess, ClosesEveryDescriptor) {
  const std::set<std::string> before = open_descriptors();
  {
    std::optional<ChildProcess> running = start(shell("exec sleep 30"));
    ASSERT_TRUE(running);
    running->feed_stdin(std::string(1 << 20, 'z'));
  }
  {
    std::optional<ChildProcess> taken = start(shell("echo hi"));
    ASSERT_TRUE(taken);
    close(taken->take_stdout());
    finish(*taken);
  }
  std::string error;
  EXPECT_FALSE(run_to_completion(shell("exec sleep 30"), std::string(1 << 20, 'z'), error, 50ms));
  EXPECT_TRUE(run_to_completion(shell("cat"), std::string("x"), error)) << error;
  EXPECT_EQ(open_descriptors(), before);
}

TEST(ChildProcess, ChildGetsOnlyItsStandardStreams) {
  // Opened here without O_CLOEXEC: it must still not reach the child.
  const int stray = open("/dev/null", O_RDONLY);
  ASSERT_GE(stray, 0);
  std::string error;
  const std::optional<Output> output =
      run_to_completion(shell("for fd in 0 1 2 3 4 5 6 7 8 9 10 " + std::to_string(stray) +
                              "; do [ -e /proc/$$/fd/$fd ] && echo $fd; done"),
                        std::nullopt, error);
  close(stray);
  ASSERT_TRUE(output) << error;
  EXPECT_EQ(output->out, "0\n1\n2\n");
}

TEST(ChildProcess, InheritedStdinIsTheTestProcessOwn) {
  char ours[4096];
  const ssize_t length = readlink("/proc/self/fd/0", ours, sizeof ours);
  if (length < 0) {
    GTEST_SKIP() << "this process has no standard input";
  }
  SpawnOptions options = shell("readlink /proc/$$/fd/0");
  options.stdin_mode = StdinMode::inherit;
  std::string error;
  const std::optional<Output> output = run_to_completion(options, std::nullopt, error);
  ASSERT_TRUE(output) << error;
  EXPECT_EQ(output->out, std::string(ours, static_cast<std::size_t>(length)) + "\n");
}

} // namespace
} // namespace vell_test
