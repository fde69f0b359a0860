#include "os/process.hpp"

#include "os/fs.hpp"

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string>

namespace vell::os {
namespace {

std::uint64_t pid_max() {
  static const std::uint64_t value = [] {
    std::uint64_t v = 4'194'304; // the kernel's upper bound for pid_max
    if (auto text = read_file("/proc/sys/kernel/pid_max")) {
      std::uint64_t parsed = 0;
      auto [p, ec] = std::from_chars(text->data(), text->data() + text->size(), parsed);
      if (ec == std::errc{} && parsed > 0) {
        v = parsed;
      }
    }
    return v;
  }();
  return value;
}

bool in_range(std::uint64_t pid) {
  return pid > 0 && pid <= pid_max();
}

// /proc/PID/stat split at the command name, which may itself hold spaces and
// parentheses: it runs from the first '(' to the last ')'.
struct ProcStat {
  std::string comm; // field 2
  std::string tail; // fields 3 on: state, ppid, ...
};

std::optional<ProcStat> read_stat(std::uint64_t pid) {
  auto text = read_file("/proc/" + std::to_string(pid) + "/stat");
  if (!text) {
    return std::nullopt;
  }
  auto open = text->find('(');
  auto close = text->rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open || close + 2 > text->size()) {
    return std::nullopt;
  }
  return ProcStat{text->substr(open + 1, close - open - 1), text->substr(close + 2)};
}

// Field `n` (3 = state, 4 = ppid, 22 = start time) as a number.
std::optional<std::uint64_t> stat_number(const ProcStat& stat, int n) {
  std::size_t pos = 0;
  for (int field = 3; field < n; ++field) {
    pos = stat.tail.find(' ', pos);
    if (pos == std::string::npos) {
      return std::nullopt;
    }
    ++pos;
  }
  std::uint64_t value = 0;
  auto [p, ec] = std::from_chars(stat.tail.data() + pos, stat.tail.data() + stat.tail.size(), value);
  if (ec != std::errc{}) {
    return std::nullopt;
  }
  return value;
}

} // namespace

std::uint64_t self_pid() {
  return static_cast<std::uint64_t>(::getpid());
}
std::uint64_t parent_pid() {
  return static_cast<std::uint64_t>(::getppid());
}

namespace {

bool is_shell(const std::string& comm) {
  for (const char* shell : {"sh", "bash", "dash", "zsh", "ksh", "mksh", "fish"}) {
    if (comm == shell) {
      return true;
    }
  }
  return false;
}

// True when the process was started with a command string: an option such
// as "-c", "-lc" or "-ic" among its arguments.
bool runs_command_string(std::uint64_t pid) {
  auto cmdline = read_file("/proc/" + std::to_string(pid) + "/cmdline");
  if (!cmdline) {
    return false;
  }
  std::size_t start = cmdline->find('\0'); // skip argv[0]
  while (start != std::string::npos && start + 1 < cmdline->size()) {
    auto end = cmdline->find('\0', start + 1);
    std::string_view arg(cmdline->data() + start + 1, (end == std::string::npos ? cmdline->size() : end) - start - 1);
    if (arg.size() >= 2 && arg[0] == '-' && arg[1] != '-' && arg.find('c') != std::string_view::npos) {
      return true;
    }
    start = end;
  }
  return false;
}

} // namespace

std::uint64_t caller_pid() {
  std::uint64_t pid = parent_pid();
  for (int depth = 0; depth < 8; ++depth) {
    auto stat = read_stat(pid);
    auto ppid = stat ? stat_number(*stat, 4) : std::nullopt;
    if (!ppid || !is_shell(stat->comm) || !runs_command_string(pid) || *ppid <= 1) {
      return pid;
    }
    pid = *ppid;
  }
  return pid;
}

std::optional<std::uint64_t> process_start_time(std::uint64_t pid) {
  if (!in_range(pid)) {
    return std::nullopt;
  }
  auto stat = read_stat(pid);
  return stat ? stat_number(*stat, 22) : std::nullopt;
}

bool process_alive(std::uint64_t pid, std::optional<std::uint64_t> start_time) {
  if (!in_range(pid)) {
    return false;
  }
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) {
    return false;
  }
  if (auto stat = read_stat(pid)) {
    if (!stat->tail.empty() && (stat->tail[0] == 'Z' || stat->tail[0] == 'X')) {
      return false; // a zombie holds nothing
    }
  }
  if (start_time) {
    auto actual = process_start_time(pid);
    return actual && *actual == *start_time;
  }
  return true;
}

bool send_signal(std::uint64_t pid, Signal signal) {
  if (!in_range(pid) || static_cast<std::uint64_t>(::getpid()) == pid) {
    return false;
  }
  return ::kill(static_cast<pid_t>(pid), signal == Signal::kill ? SIGKILL : SIGTERM) == 0;
}

} // namespace vell::os
