#include "os/process.hpp"

#include "temp_dir.hpp"

#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <limits>
#include <string>

namespace vell::os {
namespace {

constexpr std::uint64_t k_u64_max = std::numeric_limits<std::uint64_t>::max();

std::uint64_t system_pid_max() {
  std::ifstream in("/proc/sys/kernel/pid_max");
  std::uint64_t value = 0;
  in >> value;
  return value;
}

// A child that does nothing until it is killed; killed and reaped at the end
// of the scope unless the test reaped it.
class PausedChild {
public:
  // `before_pausing` runs in the child first; it must end with _exit on failure.
  explicit PausedChild(const std::function<void()>& before_pausing = {}) : m_pid(::fork()) {
    if (m_pid == 0) {
      if (before_pausing) {
        before_pausing();
      }
      for (;;) {
        ::pause();
      }
    }
  }
  PausedChild(const PausedChild&) = delete;
  PausedChild& operator=(const PausedChild&) = delete;
  ~PausedChild() {
    if (m_pid > 0 && !m_reaped) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
  }
  bool started() const { return m_pid > 0; }
  std::uint64_t pid() const { return static_cast<std::uint64_t>(m_pid); }
  int reap() {
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_reaped = true;
    return status;
  }

private:
  pid_t m_pid;
  bool m_reaped = false;
};

TEST(ProcessAlive, FalseForPidsOutsideTheSystemRange) {
  ASSERT_GT(system_pid_max(), 1u);
  const std::uint64_t self = self_pid();
  const std::uint64_t cases[] = {
      0,
      system_pid_max() + 1,
      4'194'305,
      4294967295,               // -1 as a 32-bit pid_t: every process
      (std::uint64_t{1} << 32), // 0 as a 32-bit pid_t: our process group
      (std::uint64_t{1} << 32) + self,
      std::uint64_t{1} << 63,
      k_u64_max,
  };
  const auto own_start = process_start_time(self);
  ASSERT_TRUE(own_start);
  for (std::uint64_t pid : cases) {
    SCOPED_TRACE(pid);
    EXPECT_FALSE(process_alive(pid));
    EXPECT_FALSE(process_alive(pid, own_start));
    EXPECT_EQ(process_start_time(pid), std::nullopt);
  }
}

TEST(ProcessAlive, TrueForLiveProcessesOnlyWithAMatchingStartTime) {
  const auto start = process_start_time(self_pid());
  ASSERT_TRUE(start);
  EXPECT_TRUE(process_alive(self_pid()));
  EXPECT_TRUE(process_alive(self_pid(), start));
  EXPECT_FALSE(process_alive(self_pid(), *start + 1));
  // Process 1 always exists; whether we may signal it or not, it is alive.
  EXPECT_TRUE(process_alive(1));

  PausedChild child;
  ASSERT_TRUE(child.started());
  const auto child_start = process_start_time(child.pid());
  ASSERT_TRUE(child_start);
  EXPECT_GE(*child_start, *start);
  EXPECT_TRUE(process_alive(child.pid(), child_start));
}

TEST(ProcessAlive, FalseForAZombieAndForAReapedChild) {
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::_exit(0);
  }
  // Wait until the child has exited but leave it unreaped: a zombie.
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
  ASSERT_EQ(::kill(pid, 0), 0) << "the zombie should still have its pid";
  EXPECT_FALSE(process_alive(static_cast<std::uint64_t>(pid)));

  ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
  EXPECT_FALSE(process_alive(static_cast<std::uint64_t>(pid)));
}

TEST(ProcessStartTime, ReadsPastParenthesesAndSpacesInTheProcessName) {
  int go[2];
  int ready[2];
  ASSERT_EQ(::pipe(go), 0);
  ASSERT_EQ(::pipe(ready), 0);
  // A name that, parsed from the first ')', shifts every field and reads as
  // state 'Z' (a zombie).
  static const char k_name[] = "x) Z 1 2 (y";
  PausedChild child([&] {
    char c = 0;
    if (::read(go[0], &c, 1) != 1 || ::prctl(PR_SET_NAME, k_name) != 0 || ::write(ready[1], "r", 1) != 1) {
      ::_exit(1);
    }
  });
  ASSERT_TRUE(child.started());
  const auto before = process_start_time(child.pid());
  ASSERT_TRUE(before);

  char c = 0;
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  for (int fd : {go[0], go[1], ready[0], ready[1]}) {
    ::close(fd);
  }
  ASSERT_EQ(vell_test::read_bytes("/proc/" + std::to_string(child.pid()) + "/comm"), std::string(k_name) + "\n");

  EXPECT_EQ(process_start_time(child.pid()), before);
  EXPECT_TRUE(process_alive(child.pid()));
  EXPECT_TRUE(process_alive(child.pid(), before));
}

TEST(SendSignal, SignalsALiveProcess) {
  const std::pair<Signal, int> cases[] = {{Signal::terminate, SIGTERM}, {Signal::kill, SIGKILL}};
  for (const auto& [signal, number] : cases) {
    SCOPED_TRACE(number);
    PausedChild child;
    ASSERT_TRUE(child.started());
    EXPECT_TRUE(send_signal(child.pid(), signal));
    const int status = child.reap();
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), number);
    // Gone and reaped: nothing left to signal.
    EXPECT_FALSE(send_signal(child.pid(), signal));
  }
}

// How a sandboxed send_signal call went.
constexpr int k_refused = 0;
constexpr int k_reported_sent = 1;
constexpr int k_caller_killed = 2;
constexpr int k_bystander_killed = 3;
constexpr int k_no_namespace = 4;
constexpr int k_broken = 5;

// Runs as process 1 of a fresh PID namespace: starts a bystander, then a
// caller that sends SIGKILL to `target()`, and says what became of both.
int send_next_to_bystander(std::uint64_t (*target)()) {
  const pid_t bystander = ::fork();
  if (bystander == 0) {
    for (;;) {
      ::pause();
    }
  }
  const pid_t caller = ::fork();
  if (bystander < 0 || caller < 0) {
    return k_broken;
  }
  if (caller == 0) {
    ::_exit(send_signal(target(), Signal::kill) ? k_reported_sent : k_refused);
  }
  int status = 0;
  int result = k_broken;
  if (::waitpid(caller, &status, 0) == caller) {
    result = WIFSIGNALED(status) ? k_caller_killed : WEXITSTATUS(status);
  }
  if (result == k_refused && ::waitpid(bystander, nullptr, WNOHANG) != 0) {
    result = k_bystander_killed;
  }
  ::kill(bystander, SIGKILL);
  ::waitpid(bystander, nullptr, 0);
  return result;
}

// Calls send_signal inside a new session and PID namespace, so that a wrong
// kill(0, ...) reaches only the sandbox's process group and a wrong
// kill(-1, ...) only the sandbox's processes, never the test run or the
// machine. Returns one of the k_ outcomes above.
int sandboxed_send_signal(std::uint64_t (*target)()) {
  const pid_t outer = ::fork();
  if (outer < 0) {
    return k_broken;
  }
  if (outer == 0) {
    if (::setsid() < 0 || ::unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0) {
      ::_exit(k_no_namespace);
    }
    const pid_t init = ::fork();
    if (init == 0) {
      ::_exit(send_next_to_bystander(target));
    }
    int status = 0;
    if (init < 0 || ::waitpid(init, &status, 0) != init || !WIFEXITED(status)) {
      ::_exit(k_broken);
    }
    ::_exit(WEXITSTATUS(status));
  }
  int status = 0;
  if (::waitpid(outer, &status, 0) != outer) {
    return k_broken;
  }
  // The outer process shares the caller's process group: kill(0, ...) ends it.
  return WIFSIGNALED(status) ? k_caller_killed : WEXITSTATUS(status);
}

TEST(SendSignal, RefusesPidsThatWouldReachOtherProcessesOrItself) {
  struct Case {
    const char* name;
    std::uint64_t (*target)();
  };
  const Case cases[] = {
      {"0", [] { return std::uint64_t{0}; }},
      {"4294967295", [] { return std::uint64_t{4294967295}; }},
      {"2^32", [] { return std::uint64_t{1} << 32; }},
      {"2^63", [] { return std::uint64_t{1} << 63; }},
      {"2^64-1", [] { return k_u64_max; }},
      {"own pid", [] { return self_pid(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int outcome = sandboxed_send_signal(c.target);
    if (outcome == k_no_namespace) {
      GTEST_SKIP() << "no user and PID namespace available to contain a wrong kill";
    }
    EXPECT_EQ(outcome, k_refused) << "1: reported sent, 2: the caller was killed, 3: a bystander was killed";
  }
}

} // namespace
} // namespace vell::os
