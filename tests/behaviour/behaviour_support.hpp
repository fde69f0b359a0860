// Shared fixture of the behaviour cases: every case gets a home directory of
// its own, runs the built vell as real child processes with an environment it
// controls, and looks at what vell left on disk. Nothing of vell is linked in.
#pragma once

#include "support/child_process.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vell_behaviour {

namespace fs = std::filesystem;

using Env = std::vector<std::pair<std::string, std::string>>;

// The bound on anything the cases wait for: a process to start, to wake, to
// end. Generous, so that a loaded machine never fails a case.
inline constexpr std::chrono::milliseconds k_liveness{10'000};

// The exit codes vell's command line promises.
inline constexpr int k_exit_ok = 0;
inline constexpr int k_exit_not_found = 1;
inline constexpr int k_exit_usage = 2;
inline constexpr int k_exit_busy = 4;

// What poll prints for one message: the body, a newline unless the body ends
// with one, then the reply line.
std::string handed_out(const std::string& body, const std::string& sender);

// The whole file, or nullopt when it cannot be read.
std::optional<std::string> read_file(const fs::path& path);

// Writes `bytes` to `path`, replacing it; false when that fails.
bool write_file(const fs::path& path, const std::string& bytes);

// Everything below `dir`: each entry's relative path, type, permissions,
// modification time, and for a file its size and contents. Two equal
// snapshots mean nothing was created, removed, rewritten or renamed.
std::string tree_snapshot(const fs::path& dir);

// Field 22 of /proc/PID/stat (the start time in clock ticks), or nullopt.
std::optional<std::uint64_t> process_start_time(int pid);

// A running `vell poll`: its standard output is read as it comes, its
// standard error goes to a file so that markers can be awaited while it runs.
class Listener {
public:
  Listener(vell_test::ChildProcess child, std::string id, fs::path err_file);
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  ~Listener();

  int pid() const { return m_child.pid(); }

  // Waits until READY:ID is on its standard error. Fails (with the reason)
  // when it exits first or does not get there within k_liveness.
  testing::AssertionResult wait_ready();

  // Reads standard output until `done(all output so far)` holds. Fails when
  // the output ends or `limit` passes first.
  testing::AssertionResult read_until(const std::function<bool(const std::string&)>& done,
                                      std::chrono::milliseconds limit = k_liveness);

  // Reads until the output holds `count` complete messages.
  testing::AssertionResult read_messages(std::size_t count, std::chrono::milliseconds limit = k_liveness);

  // True when output is readable within `window` (used only to show that
  // nothing comes: a deferred message must not wake a listener).
  bool output_within(std::chrono::milliseconds window);

  // Everything read from standard output so far.
  const std::string& output() const { return m_output; }

  // Its standard error so far.
  std::string error_text() const;

  void send_signal(int signal);

  // Waits for it to end (reading the rest of its output), at most k_liveness.
  std::optional<vell_test::ExitStatus> wait_exit();

  // The exit status if it has ended, nullopt while it runs.
  std::optional<vell_test::ExitStatus> try_exit();

private:
  vell_test::ChildProcess m_child;
  std::string m_id;
  fs::path m_err_file;
  int m_out = -1;
  std::string m_output;
  bool m_eof = false;
};

// One body and its sender as poll printed them.
struct Received {
  std::string body; // without the newline poll adds
  std::string sender;
};

// Splits poll's output into messages whose bodies hold no newline of their
// own; a trailing partial message is left out.
std::vector<Received> parse_one_line_messages(const std::string& output);

class VellTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  const fs::path& home() const { return m_home; }
  // The state root: QRD_HOME of every child.
  fs::path root() const { return m_home / "state"; }
  fs::path perch_dir(const std::string& id) const { return root() / "vellery" / id; }
  fs::path worker_dir(const std::string& parent, const std::string& id) const {
    return perch_dir(parent) / "nested" / id;
  }
  fs::path inbox(const std::string& id) const { return perch_dir(id) / "inbox"; }

  // The child's environment: HOME, USERPROFILE and QRD_HOME name this case's
  // home, VELL_SESSION_ID, VELL_PARENT_ID and VELL_DURABLE are removed unless
  // `env` sets them; `env` is applied last.
  vell_test::SpawnOptions options(const std::string& program, std::vector<std::string> args, const Env& env = {}) const;

  // Runs vell to completion with `input` on its standard input (closed at
  // once without). A child that cannot run or does not end within the
  // liveness bound fails the case and gives exit code -1.
  vell_test::Output vell(std::vector<std::string> args, const std::optional<std::string>& input = std::nullopt,
                         const Env& env = {}) const;

  // Runs "/bin/sh -c SCRIPT sh VELL ARGS...": the script reaches vell as "$0"
  // and its arguments as "$@" (for redirections such as >/dev/full).
  vell_test::Output vell_through_shell(const std::string& script, std::vector<std::string> args,
                                       const std::optional<std::string>& input = std::nullopt) const;

  // Starts `vell poll ID EXTRA...` in the background.
  std::unique_ptr<Listener> start_poll(const std::string& id, std::vector<std::string> extra = {}, const Env& env = {});

  // Starts a poll and waits for its READY marker; null (and a failure) when it does not get there.
  std::unique_ptr<Listener> start_ready_poll(const std::string& id, std::vector<std::string> extra = {},
                                             const Env& env = {});

  // `vell setup ID`, which must succeed.
  testing::AssertionResult setup(const std::string& id, const Env& env = {}) const;

  // `vell deliver TARGET SENDER` with `body`, which must succeed.
  testing::AssertionResult deliver(const std::string& target, const std::string& sender, const std::string& body) const;

  // The message file names in a directory, sorted; empty when it is missing.
  std::vector<std::string> names_in(const fs::path& dir) const;

private:
  fs::path m_home;
  int m_poll_count = 0;
};

} // namespace vell_behaviour
