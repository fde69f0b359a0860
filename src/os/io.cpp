#include "os/io.hpp"

#include "os/fs.hpp"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

namespace vell::os {
namespace {

// Reads standard input to its end or `limit`; with `timeout_ms` >= 0, also
// stops once no input arrived for that long.
Result<StdinData> read_stdin_until(std::size_t limit, int timeout_ms) {
  StdinData data;
  char buf[65536];
  for (;;) {
    if (timeout_ms >= 0) {
      struct pollfd pfd {
        STDIN_FILENO, POLLIN, 0
      };
      int ready = ::poll(&pfd, 1, timeout_ms);
      if (ready < 0) {
        if (errno == EINTR) {
          continue;
        }
        return last_error();
      }
      if (ready == 0) {
        data.truncated = true; // the writer went quiet without closing
        break;
      }
      if ((pfd.revents & POLLNVAL) != 0) {
        break; // no standard input at all
      }
    }
    ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) {
        continue;
      }
      if (errno == EBADF) {
        break; // no standard input at all: nothing to read
      }
      return last_error();
    }
    if (n == 0) {
      break;
    }
    auto count = static_cast<std::size_t>(n);
    if (data.bytes.size() + count > limit) {
      data.bytes.append(buf, limit - data.bytes.size());
      data.truncated = true;
      break;
    }
    data.bytes.append(buf, count);
  }
  return data;
}

} // namespace

void ignore_sigpipe() {
  ::signal(SIGPIPE, SIG_IGN);
}

Result<StdinData> read_stdin(std::size_t limit) {
  return read_stdin_until(limit, -1);
}

Result<StdinData> read_stdin_bounded(std::size_t limit, int timeout_ms) {
  if (::isatty(STDIN_FILENO) == 1) {
    return StdinData{};
  }
  return read_stdin_until(limit, timeout_ms);
}

std::error_code write_stdout(std::string_view data) {
  return write_all_fd(STDOUT_FILENO, data);
}

void write_stderr_line(std::string_view line) {
  std::string text(line);
  text += '\n';
  (void)write_all_fd(STDERR_FILENO, text);
}

std::optional<std::string> get_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) {
    return std::nullopt;
  }
  return std::string(value);
}

std::uint32_t current_uid() {
  return ::geteuid();
}

} // namespace vell::os
