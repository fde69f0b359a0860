#include "os/wake.hpp"

#include "os/result.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace vell::os {
namespace {

constexpr int k_fallback_poll_ms = 100;

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

void drain(int fd) {
  alignas(struct inotify_event) char buf[4096];
  while (::read(fd, buf, sizeof buf) > 0) {
  }
}

} // namespace

Wakeup::Wakeup() {
  sigset_t set = stop_signals();
  ::sigprocmask(SIG_BLOCK, &set, nullptr);
  m_signal_fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

Wakeup::~Wakeup() {
  if (m_inotify >= 0) {
    ::close(m_inotify);
  }
  if (m_signal_fd >= 0) {
    ::close(m_signal_fd);
  }
}

std::error_code Wakeup::watch(const std::string& dir) {
  int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    return {}; // no instance to be had: rescan periodically instead
  }
  // A link(2) into the directory raises IN_CREATE, a rename(2) IN_MOVED_TO.
  if (::inotify_add_watch(fd, dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW) < 0) {
    auto ec = last_error();
    ::close(fd);
    if (ec == std::errc::no_space_on_device) {
      return {}; // watch limit reached: rescan periodically instead
    }
    return ec;
  }
  m_inotify = fd;
  return {};
}

bool Wakeup::stop_requested() {
  if (m_stop) {
    return true;
  }
  if (m_signal_fd >= 0) {
    struct signalfd_siginfo info {};
    if (::read(m_signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      m_stop = true;
    }
  } else {
    sigset_t pending;
    sigemptyset(&pending);
    ::sigpending(&pending);
    if (sigismember(&pending, SIGTERM) || sigismember(&pending, SIGINT) || sigismember(&pending, SIGHUP)) {
      m_stop = true;
    }
  }
  return m_stop;
}

Wakeup::Reason Wakeup::wait() {
  for (;;) {
    if (stop_requested()) {
      return Reason::stop;
    }
    struct pollfd fds[2] = {{m_signal_fd, POLLIN, 0}, {m_inotify, POLLIN, 0}};
    int timeout = (m_inotify < 0 || m_signal_fd < 0) ? k_fallback_poll_ms : -1;
    int n = ::poll(fds, 2, timeout);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (stop_requested()) {
      return Reason::stop;
    }
    if (n == 0 && m_inotify < 0) {
      return Reason::changed; // periodic rescan in fallback mode
    }
    if (n > 0 && (fds[1].revents & POLLIN) != 0) {
      // Event names are not trusted: the caller rescans, so the queue
      // (including an overflow notice) only needs emptying.
      drain(m_inotify);
      return Reason::changed;
    }
    if (n < 0) {
      return Reason::changed; // poll itself failed: rescanning is always safe
    }
  }
}

} // namespace vell::os
