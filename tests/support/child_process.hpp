// Child-process runner for the end-to-end tests: starts a program with pipes
// on its standard streams, feeds its input, collects both outputs without
// letting either pipe stall the child, and never leaves the child behind.
//
// POSIX only. Nothing here throws; failures are reported as error texts.
// The test process's SIGPIPE disposition is left as it is: writes to a
// child's input block SIGPIPE in the writing thread only and see EPIPE.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vell_test {

// How the child's standard input is connected.
enum class StdinMode {
  pipe,    // a pipe whose writing end the runner holds
  inherit, // the test process's own standard input
};

struct SpawnOptions {
  std::string program;           // path of the executable
  std::vector<std::string> args; // argv[1..], in order
  // Added to (or replacing in) the inherited environment, in this order.
  std::vector<std::pair<std::string, std::string>> set_env;
  // Removed from the child's environment after set_env is applied.
  std::vector<std::string> remove_env;
  StdinMode stdin_mode = StdinMode::pipe;
  // The child's working directory; empty keeps the test process's own.
  std::string working_dir;
  // Puts the child into a new process group of its own (its pgid is its pid),
  // which everything it starts joins unless it moves elsewhere itself.
  bool new_process_group = false;
};

// How a child ended: an exit code, or the signal that killed it.
struct ExitStatus {
  int code = -1;  // exit code, or -1 when the child died of a signal
  int signal = 0; // the terminating signal, 0 when the child exited
  bool success() const { return signal == 0 && code == 0; }
  // "exit code N" or "killed by signal N (NAME)".
  std::string describe() const;
};

// Everything a finished child wrote, and how it ended.
struct Output {
  ExitStatus status;
  std::string out; // standard output, complete
  std::string err; // standard error, complete
};

// The default bound on waiting for a child; a child still running then is
// killed and the wait reports an error naming the time-out.
inline constexpr std::chrono::milliseconds k_default_wait{30'000};

class ChildProcess {
public:
  // Starts the child. On failure returns nullopt and sets `error` to a
  // description such as "cannot execute '/x/vell': No such file or directory".
  // The child gets every signal at its default action and none blocked, and
  // no descriptors of this process other than its standard streams.
  static std::optional<ChildProcess> spawn(const SpawnOptions& options, std::string& error);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Kills (SIGKILL) and reaps a child that is still running, closes every pipe.
  ~ChildProcess();

  int pid() const { return m_pid; }

  // Writes all of `data` to the child's standard input and closes it. The
  // write happens on a writer thread so that a child that does not read its
  // input cannot block the caller; write errors (EPIPE) are ignored. The
  // writer is joined before any wait returns. Without a stdin pipe: no-op.
  void feed_stdin(std::string data);

  // Writes `data` synchronously (for small payloads); false and `error` on failure.
  bool write_stdin(const std::string& data, std::string& error);

  // Closes the child's standard input (idempotent).
  void close_stdin();

  // Hands the reading end of the child's standard output to the caller, who
  // then owns and must close it. Returns -1 if it was already taken.
  int take_stdout();

  // Closes standard input (unless handed to feed_stdin), reads standard
  // output (unless taken) and standard error to their ends concurrently,
  // then reaps the child. If the child has not exited within `limit`, it is
  // killed and nullopt is returned with `error` set to "did not exit within
  // N ms; killed". If the child has ended but something it started still
  // holds its output open at `limit`, nullopt is returned with `error` set
  // to "ended with <describe()> but its output stayed open for N ms (a
  // process it started still holds it)". A pending stdin writer is stopped
  // and joined before this returns.
  std::optional<Output> wait_with_output(std::string& error, std::chrono::milliseconds limit = k_default_wait);

  // Non-blocking: the exit status if the child has ended (reaping it),
  // nullopt while it runs. On a failure of the check itself sets `error`
  // and returns nullopt.
  std::optional<ExitStatus> try_wait(std::string& error);

  // Sends SIGKILL if the child has not been reaped yet (idempotent).
  void kill();

private:
  ChildProcess() = default;
  // Kills and reaps a running child, stops the writer, closes every pipe.
  void release() noexcept;
  void take_from(ChildProcess& other) noexcept;
  // Stops the stdin writer (whatever it has not written is dropped) and joins it.
  void finish_writer() noexcept;
  void record_exit(int raw_status) noexcept;
  // waitpid(WNOHANG): reaps the child if it has ended. False and `error` on failure.
  bool check_exit(std::string& error);
  void reap_blocking() noexcept;

  int m_pid = -1;
  bool m_reaped = false;
  bool m_lost = false; // reaped by someone else: the pid is not ours, the status unknown
  ExitStatus m_status{};
  int m_stdin = -1;
  int m_stdout = -1;
  int m_stderr = -1;
  struct Writer;
  Writer* m_writer = nullptr; // pending stdin writer thread, if any
};

// Runs a child to completion: starts it, feeds `input` (if any; otherwise
// its standard input is closed at once), collects both outputs and waits at
// most `limit`. On failure returns nullopt with `error` set.
std::optional<Output> run_to_completion(const SpawnOptions& options, const std::optional<std::string>& input,
                                        std::string& error, std::chrono::milliseconds limit = k_default_wait);

} // namespace vell_test
