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

// The fields of /proc/PID/stat after the command name, which may itself hold
// spaces and parentheses: parse after the last ')'.
std::optional<std::string> stat_tail(std::uint64_t pid) {
  auto text = read_file("/proc/" + std::to_string(pid) + "/stat");
  if (!text) {
    return std::nullopt;
  }
  auto close = text->rfind(')');
  if (close == std::string::npos || close + 2 > text->size()) {
    return std::nullopt;
  }
  return text->substr(close + 2);
}

} // namespace

std::uint64_t self_pid() {
  return static_cast<std::uint64_t>(::getpid());
}
std::uint64_t parent_pid() {
  return static_cast<std::uint64_t>(::getppid());
}

namespace {

// The command name of a process (field 2 of /proc/PID/stat) and its parent (field 4).
struct StatHead {
  std::string comm;
  std::uint64_t ppid = 0;
};

std::optional<StatHead> stat_head(std::uint64_t pid) {
  auto text = read_file("/proc/" + std::to_string(pid) + "/stat");
  if (!text) {
    return std::nullopt;
  }
  auto open = text->find('(');
  auto close = text->rfind(')');
  if (open == std::string::npos || close == std::string::npos || close + 4 > text->size()) {
    return std::nullopt;
  }
  StatHead head{text->substr(open + 1, close - open - 1), 0};
  // After ") " come the state and a space, then the parent pid.
  auto ppid_at = text->find(' ', close + 2);
  if (ppid_at == std::string::npos) {
    return std::nullopt;
  }
  auto [p, ec] = std::from_chars(text->data() + ppid_at + 1, text->data() + text->size(), head.ppid);
  if (ec != std::errc{}) {
    return std::nullopt;
  }
  return head;
}

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
    auto head = stat_head(pid);
    if (!head || !is_shell(head->comm) || !runs_command_string(pid) || head->ppid <= 1) {
      return pid;
    }
    pid = head->ppid;
  }
  return pid;
}

std::optional<std::uint64_t> process_start_time(std::uint64_t pid) {
  if (!in_range(pid)) {
    return std::nullopt;
  }
  auto tail = stat_tail(pid);
  if (!tail) {
    return std::nullopt;
  }
  // tail starts at field 3 (state); the start time is field 22.
  std::size_t pos = 0;
  for (int field = 3; field < 22; ++field) {
    pos = tail->find(' ', pos);
    if (pos == std::string::npos) {
      return std::nullopt;
    }
    ++pos;
  }
  std::uint64_t value = 0;
  auto [p, ec] = std::from_chars(tail->data() + pos, tail->data() + tail->size(), value);
  if (ec != std::errc{}) {
    return std::nullopt;
  }
  return value;
}

bool process_alive(std::uint64_t pid, std::optional<std::uint64_t> start_time) {
  if (!in_range(pid)) {
    return false;
  }
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) {
    return false;
  }
  if (auto tail = stat_tail(pid)) {
    if (!tail->empty() && ((*tail)[0] == 'Z' || (*tail)[0] == 'X')) {
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
