// Children are started with posix_spawn rather than fork: the test process is
// threaded (and may run under ThreadSanitizer, which does not support fork in
// a threaded process), and glibc's posix_spawn reports a failed exec as its
// own error instead of a child that exits 127.
//
// SIGPIPE: the test process's disposition is left alone, so a test can still
// rely on the default. Every write to a child's input happens with SIGPIPE
// blocked in the writing thread, which turns a reader that has gone away into
// an EPIPE error; the SIGPIPE that the write left pending is taken off again
// before the mask is restored.
#include "support/child_process.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace vell_test {
namespace {

using Clock = std::chrono::steady_clock;

// While the child runs, the output loop wakes at least this often to notice
// that it has exited even though something it started keeps the pipes open.
constexpr std::chrono::milliseconds k_exit_check_interval{100};

std::string errno_text(int error_number) {
  std::array<char, 256> buffer{};
  // GNU strerror_r: returns a pointer that may or may not be `buffer`.
  return strerror_r(error_number, buffer.data(), buffer.size());
}

void close_fd(int& fd) noexcept {
  if (fd >= 0) {
    // No retry on EINTR: Linux has released the descriptor either way, and a
    // second close could hit a descriptor another thread just opened.
    ::close(fd);
    fd = -1;
  }
}

// Both ends of a pipe, closed on destruction unless handed on.
struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() = default;
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  ~Pipe() {
    close_fd(read);
    close_fd(write);
  }
};

// A pipe end that lands on 0, 1 or 2 (the test process runs with one of its
// standard streams closed) would be overwritten by the child's dup2 of
// another stream before it is itself duplicated.
bool move_above_standard_streams(int& fd) {
  if (fd > 2) {
    return true;
  }
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (moved < 0) {
    return false;
  }
  close_fd(fd);
  fd = moved;
  return true;
}

bool open_pipe(Pipe& pipe, std::string& error) {
  std::array<int, 2> fds{};
  if (pipe2(fds.data(), O_CLOEXEC) != 0) {
    error = "cannot create a pipe: " + errno_text(errno);
    return false;
  }
  pipe.read = fds[0];
  pipe.write = fds[1];
  if (!move_above_standard_streams(pipe.read) || !move_above_standard_streams(pipe.write)) {
    error = "cannot create a pipe: " + errno_text(errno);
    return false;
  }
  return true;
}

// Blocks SIGPIPE in the calling thread for the lifetime of the object. A
// SIGPIPE raised meanwhile by this thread's writes is discarded before the
// old mask comes back, unless one was already pending when we started (that
// one belongs to someone else and is left alone).
class SigpipeBlock {
public:
  SigpipeBlock() {
    sigemptyset(&m_pipe_only);
    sigaddset(&m_pipe_only, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    m_was_pending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &m_pipe_only, &m_old_mask);
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;
  ~SigpipeBlock() {
    if (!m_was_pending) {
      sigset_t pending;
      sigemptyset(&pending);
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        const timespec no_wait{0, 0};
        while (sigtimedwait(&m_pipe_only, nullptr, &no_wait) < 0 && errno == EINTR) {
        }
      }
    }
    pthread_sigmask(SIG_SETMASK, &m_old_mask, nullptr);
  }

private:
  sigset_t m_pipe_only{};
  sigset_t m_old_mask{};
  bool m_was_pending = false;
};

// The body of the stdin writer thread. `fd` is non-blocking so that closing
// the `cancel` pipe's other end can always stop the thread, even when the
// reader is a process that holds the pipe open without reading.
void write_until_done_or_cancelled(int fd, const std::string& data, int cancel) {
  {
    const SigpipeBlock no_sigpipe;
    std::size_t written = 0;
    while (written < data.size()) {
      std::array<pollfd, 2> fds{{{fd, POLLOUT, 0}, {cancel, POLLIN, 0}}};
      if (poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) {
          continue;
        }
        break;
      }
      if (fds[1].revents != 0) {
        break;
      }
      // Any event on `fd`, POLLERR included, is answered by the write itself.
      const ssize_t count = ::write(fd, data.data() + written, data.size() - written);
      if (count < 0) {
        if (errno == EINTR || errno == EAGAIN) {
          continue;
        }
        break; // EPIPE and the like: the child does not want the rest
      }
      written += static_cast<std::size_t>(count);
    }
  }
  close_fd(fd);
  close_fd(cancel);
}

std::string_view variable_name(std::string_view entry) {
  return entry.substr(0, entry.find('='));
}

// The inherited environment, then `set_env` in order (each replacing every
// entry of its name), then `remove_env`.
std::vector<std::string> child_environment(const SpawnOptions& options) {
  std::vector<std::string> env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    env.emplace_back(*entry);
  }
  for (const auto& [name, value] : options.set_env) {
    const auto same_name = [&name](const std::string& entry) { return variable_name(entry) == name; };
    const auto first = std::find_if(env.begin(), env.end(), same_name);
    if (first == env.end()) {
      env.push_back(name + "=" + value);
    } else {
      *first = name + "=" + value;
      env.erase(std::remove_if(first + 1, env.end(), same_name), env.end());
    }
  }
  for (const auto& name : options.remove_env) {
    std::erase_if(env, [&name](const std::string& entry) { return variable_name(entry) == name; });
  }
  return env;
}

// c_str() would silently cut a string at an embedded NUL.
bool check_options(const SpawnOptions& options, std::string& error) {
  const auto has_nul = [](const std::string& text) { return text.find('\0') != std::string::npos; };
  if (has_nul(options.program)) {
    error = "program path contains a NUL byte";
    return false;
  }
  for (const auto& arg : options.args) {
    if (has_nul(arg)) {
      error = "argument contains a NUL byte";
      return false;
    }
  }
  const auto bad_name = [&has_nul](const std::string& name) {
    return name.empty() || name.find('=') != std::string::npos || has_nul(name);
  };
  for (const auto& [name, value] : options.set_env) {
    if (bad_name(name) || has_nul(value)) {
      error = "invalid environment variable '" + name + "'";
      return false;
    }
  }
  for (const auto& name : options.remove_env) {
    if (bad_name(name)) {
      error = "invalid environment variable '" + name + "'";
      return false;
    }
  }
  return true;
}

ExitStatus decode_wait_status(int raw) {
  ExitStatus status;
  if (WIFEXITED(raw)) {
    status.code = WEXITSTATUS(raw);
    status.signal = 0;
  } else if (WIFSIGNALED(raw)) {
    status.code = -1;
    status.signal = WTERMSIG(raw);
  }
  return status;
}

// posix_spawn's attribute and file-action objects, destroyed on every path.
struct SpawnSetup {
  posix_spawnattr_t attr{};
  posix_spawn_file_actions_t actions{};
  bool attr_ok = false;
  bool actions_ok = false;
  SpawnSetup() {
    attr_ok = posix_spawnattr_init(&attr) == 0;
    actions_ok = posix_spawn_file_actions_init(&actions) == 0;
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    if (attr_ok) {
      posix_spawnattr_destroy(&attr);
    }
    if (actions_ok) {
      posix_spawn_file_actions_destroy(&actions);
    }
  }
};

} // namespace

std::string ExitStatus::describe() const {
  if (signal == 0) {
    return "exit code " + std::to_string(code);
  }
  std::string text = "killed by signal " + std::to_string(signal);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
  if (const char* abbreviation = sigabbrev_np(signal)) {
    return text + " (SIG" + abbreviation + ")";
  }
#endif
  // No short name (real-time signals, older C libraries): the description.
  if (const char* description = strsignal(signal)) {
    return text + " (" + description + ")";
  }
  return text;
}

struct ChildProcess::Writer {
  std::thread thread;
  int cancel = -1; // closing this wakes the thread and makes it stop
};

std::optional<ChildProcess> ChildProcess::spawn(const SpawnOptions& options, std::string& error) {
  if (!check_options(options, error)) {
    return std::nullopt;
  }
  const std::vector<std::string> env = child_environment(options);
  std::vector<char*> envp;
  envp.reserve(env.size() + 1);
  for (const auto& entry : env) {
    envp.push_back(const_cast<char*>(entry.c_str()));
  }
  envp.push_back(nullptr);
  std::vector<char*> argv;
  argv.reserve(options.args.size() + 2);
  argv.push_back(const_cast<char*>(options.program.c_str()));
  for (const auto& arg : options.args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);

  Pipe in;
  Pipe out;
  Pipe err;
  const bool pipe_stdin = options.stdin_mode == StdinMode::pipe;
  if ((pipe_stdin && !open_pipe(in, error)) || !open_pipe(out, error) || !open_pipe(err, error)) {
    return std::nullopt;
  }

  SpawnSetup setup;
  if (!setup.attr_ok || !setup.actions_ok) {
    error = "cannot prepare to start '" + options.program + "'";
    return std::nullopt;
  }
  // The child starts from a clean slate whatever the test process blocks or
  // ignores: an ignored SIGPIPE, say, would otherwise survive the exec and
  // change how the program under test behaves.
  sigset_t all_signals;
  sigfillset(&all_signals);
  sigset_t no_signals;
  sigemptyset(&no_signals);
  int rc = posix_spawnattr_setsigdefault(&setup.attr, &all_signals);
  if (rc == 0) {
    rc = posix_spawnattr_setsigmask(&setup.attr, &no_signals);
  }
  if (rc == 0 && options.new_process_group) {
    rc = posix_spawnattr_setpgroup(&setup.attr, 0);
  }
  if (rc == 0) {
    const int flags =
        POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | (options.new_process_group ? POSIX_SPAWN_SETPGROUP : 0);
    rc = posix_spawnattr_setflags(&setup.attr, static_cast<short>(flags));
  }
  if (rc == 0 && pipe_stdin) {
    rc = posix_spawn_file_actions_adddup2(&setup.actions, in.read, STDIN_FILENO);
  }
  if (rc == 0) {
    rc = posix_spawn_file_actions_adddup2(&setup.actions, out.write, STDOUT_FILENO);
  }
  if (rc == 0) {
    rc = posix_spawn_file_actions_adddup2(&setup.actions, err.write, STDERR_FILENO);
  }
  if (rc == 0 && !options.working_dir.empty()) {
    rc = posix_spawn_file_actions_addchdir_np(&setup.actions, options.working_dir.c_str());
  }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // Descriptors the test process (or a library in it) opened without
  // O_CLOEXEC would otherwise reach the child; an inherited pipe end can keep
  // another child's input from ever seeing EOF.
  if (rc == 0) {
    rc = posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
  }
#endif
  if (rc != 0) {
    error = "cannot prepare to start '" + options.program + "': " + errno_text(rc);
    return std::nullopt;
  }

  pid_t pid = -1;
  rc = posix_spawn(&pid, options.program.c_str(), &setup.actions, &setup.attr, argv.data(), envp.data());
  if (rc != 0) {
    error = "cannot execute '" + options.program + "'" +
            (options.working_dir.empty() ? "" : " in '" + options.working_dir + "'") + ": " + errno_text(rc);
    return std::nullopt;
  }

  ChildProcess child;
  child.m_pid = pid;
  child.m_stdin = std::exchange(in.write, -1);
  child.m_stdout = std::exchange(out.read, -1);
  child.m_stderr = std::exchange(err.read, -1);
  // The child's ends are closed here by the Pipe destructors; keeping them
  // open in this process would hide the child's EOF and EPIPE from us.
  return std::optional<ChildProcess>(std::move(child));
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept {
  take_from(other);
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    release();
    take_from(other);
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  release();
}

void ChildProcess::take_from(ChildProcess& other) noexcept {
  m_pid = std::exchange(other.m_pid, -1);
  m_reaped = std::exchange(other.m_reaped, false);
  m_lost = std::exchange(other.m_lost, false);
  m_status = other.m_status;
  m_stdin = std::exchange(other.m_stdin, -1);
  m_stdout = std::exchange(other.m_stdout, -1);
  m_stderr = std::exchange(other.m_stderr, -1);
  m_writer = std::exchange(other.m_writer, nullptr);
}

void ChildProcess::release() noexcept {
  kill();
  finish_writer();
  if (m_pid > 0 && !m_reaped) {
    reap_blocking();
  }
  close_fd(m_stdin);
  close_fd(m_stdout);
  close_fd(m_stderr);
  m_pid = -1;
}

void ChildProcess::kill() {
  if (m_pid > 0 && !m_reaped) {
    ::kill(m_pid, SIGKILL);
  }
}

void ChildProcess::finish_writer() noexcept {
  if (m_writer == nullptr) {
    return;
  }
  close_fd(m_writer->cancel);
  if (m_writer->thread.joinable()) {
    m_writer->thread.join();
  }
  delete m_writer;
  m_writer = nullptr;
}

void ChildProcess::record_exit(int raw_status) noexcept {
  m_status = decode_wait_status(raw_status);
  m_reaped = true;
}

bool ChildProcess::check_exit(std::string& error) {
  int raw = 0;
  pid_t result = -1;
  do {
    result = waitpid(m_pid, &raw, WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (result == 0) {
    return true;
  }
  if (result < 0) {
    const int cause = errno;
    if (cause == ECHILD) {
      // Reaped behind our back (SIGCHLD ignored?): the pid is no longer ours
      // to signal.
      m_reaped = true;
      m_lost = true;
    }
    error = "cannot wait for process " + std::to_string(m_pid) + ": " + errno_text(cause);
    return false;
  }
  record_exit(raw);
  return true;
}

void ChildProcess::reap_blocking() noexcept {
  int raw = 0;
  pid_t result = -1;
  do {
    result = waitpid(m_pid, &raw, 0);
  } while (result < 0 && errno == EINTR);
  if (result == m_pid) {
    record_exit(raw);
  } else {
    m_reaped = true;
    m_lost = true;
  }
}

void ChildProcess::feed_stdin(std::string data) {
  if (m_stdin < 0) {
    return;
  }
  int fd = std::exchange(m_stdin, -1);
  std::array<int, 2> cancel{-1, -1};
  if (pipe2(cancel.data(), O_CLOEXEC) != 0) {
    close_fd(fd); // errors are ignored; the child sees end of input
    return;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) {
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  }
  auto writer = std::make_unique<Writer>();
  try {
    writer->thread = std::thread([fd, cancel_read = cancel[0], payload = std::move(data)]() {
      write_until_done_or_cancelled(fd, payload, cancel_read);
    });
  } catch (const std::system_error&) {
    close_fd(fd);
    close_fd(cancel[0]);
    close_fd(cancel[1]);
    return;
  }
  writer->cancel = cancel[1];
  m_writer = writer.release();
}

bool ChildProcess::write_stdin(const std::string& data, std::string& error) {
  if (m_stdin < 0) {
    error = "standard input is not open";
    return false;
  }
  const SigpipeBlock no_sigpipe;
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t count = ::write(m_stdin, data.data() + written, data.size() - written);
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      error = "cannot write to standard input: " + errno_text(errno);
      return false;
    }
    written += static_cast<std::size_t>(count);
  }
  return true;
}

void ChildProcess::close_stdin() {
  close_fd(m_stdin);
}

int ChildProcess::take_stdout() {
  return std::exchange(m_stdout, -1);
}

std::optional<ExitStatus> ChildProcess::try_wait(std::string& error) {
  if (m_pid <= 0) {
    error = "no child process";
    return std::nullopt;
  }
  if (!m_reaped && !check_exit(error)) {
    if (m_reaped) {
      finish_writer();
    }
    return std::nullopt;
  }
  if (!m_reaped) {
    return std::nullopt;
  }
  finish_writer();
  if (m_lost) {
    error = "the exit status of process " + std::to_string(m_pid) + " was lost";
    return std::nullopt;
  }
  return m_status;
}

std::optional<Output> ChildProcess::wait_with_output(std::string& error, std::chrono::milliseconds limit) {
  if (m_pid <= 0) {
    error = "no child process";
    return std::nullopt;
  }
  const auto deadline = Clock::now() + limit;
  // Nothing can be written once we are waiting for the end, and a child that
  // waits for the end of its input would otherwise never get there.
  close_fd(m_stdin);
  const auto until_deadline = [&deadline](std::chrono::milliseconds cap) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp(left, std::chrono::milliseconds{0}, cap).count());
  };

  Output result;
  std::array<int*, 2> fds{&m_stdout, &m_stderr};
  std::array<std::string*, 2> sinks{&result.out, &result.err};
  std::array<char, 64 * 1024> buffer{};
  bool timed_out = false;
  bool poll_failed = false;
  while (m_stdout >= 0 || m_stderr >= 0) {
    std::array<pollfd, 2> polled{};
    std::array<std::size_t, 2> which{};
    nfds_t count = 0;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (*fds[i] >= 0) {
        polled[count] = pollfd{*fds[i], POLLIN, 0};
        which[count] = i;
        ++count;
      }
    }
    const int timeout = until_deadline(m_reaped ? limit : k_exit_check_interval);
    if (timeout == 0 && Clock::now() >= deadline) {
      timed_out = true;
      break;
    }
    const int ready = poll(polled.data(), count, timeout);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      error = "cannot wait for output of process " + std::to_string(m_pid) + ": " + errno_text(errno);
      poll_failed = true;
      break;
    }
    if (ready == 0) {
      if (!m_reaped) {
        std::string ignored;
        check_exit(ignored);
      }
      continue;
    }
    for (nfds_t k = 0; k < count; ++k) {
      if (polled[k].revents == 0) {
        continue;
      }
      const std::size_t i = which[k];
      const ssize_t got = ::read(*fds[i], buffer.data(), buffer.size());
      if (got > 0) {
        sinks[i]->append(buffer.data(), static_cast<std::size_t>(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        close_fd(*fds[i]); // end of output, or a read error treated as one
      }
    }
  }

  if (poll_failed) {
    close_fd(m_stdout);
    close_fd(m_stderr);
    kill();
    if (!m_reaped) {
      reap_blocking();
    }
    finish_writer();
    return std::nullopt;
  }

  // Both outputs are closed, but a child can close them and keep running.
  auto pause = std::chrono::microseconds{100};
  while (!timed_out && !m_reaped) {
    if (!check_exit(error)) {
      finish_writer();
      return std::nullopt;
    }
    if (m_reaped) {
      break;
    }
    const auto now = Clock::now();
    if (now >= deadline) {
      timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::microseconds{10'000});
  }

  if (timed_out) {
    std::string ignored;
    if (!m_reaped) {
      check_exit(ignored);
    }
    const bool had_exited = m_reaped;
    close_fd(m_stdout);
    close_fd(m_stderr);
    if (!had_exited) {
      kill();
      reap_blocking();
    }
    finish_writer();
    const std::string limit_text = std::to_string(limit.count()) + " ms";
    if (had_exited && !m_lost) {
      error = "ended with " + m_status.describe() + " but its output stayed open for " + limit_text +
              " (a process it started still holds it)";
    } else {
      error = "did not exit within " + limit_text + "; killed";
    }
    return std::nullopt;
  }

  finish_writer();
  if (m_lost) {
    error = "the exit status of process " + std::to_string(m_pid) + " was lost";
    return std::nullopt;
  }
  result.status = m_status;
  return result;
}

std::optional<Output> run_to_completion(const SpawnOptions& options, const std::optional<std::string>& input,
                                        std::string& error, std::chrono::milliseconds limit) {
  std::optional<ChildProcess> child = ChildProcess::spawn(options, error);
  if (!child) {
    return std::nullopt;
  }
  if (input) {
    child->feed_stdin(*input);
  } else {
    child->close_stdin();
  }
  return child->wait_with_output(error, limit);
}

} // namespace vell_test
