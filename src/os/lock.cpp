#include "os/lock.hpp"

#include "os/result.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace vell::os {

FileLock::FileLock(FileLock&& other) noexcept : m_path(std::move(other.m_path)), m_fd(other.m_fd) {
  other.m_fd = -1;
}

FileLock::~FileLock() {
  release();
}

std::error_code FileLock::open_file() {
  if (m_fd >= 0) {
    return {};
  }
  m_fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  return m_fd < 0 ? last_error() : std::error_code{};
}

std::error_code FileLock::acquire() {
  if (auto ec = open_file()) {
    return ec;
  }
  while (::flock(m_fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      auto ec = last_error();
      release();
      return ec;
    }
  }
  return {};
}

bool FileLock::try_acquire(std::error_code& ec) {
  ec = open_file();
  if (ec) {
    return false;
  }
  while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) {
      continue;
    }
    if (errno != EWOULDBLOCK) {
      ec = last_error();
    }
    release();
    return false;
  }
  return true;
}

void FileLock::release() {
  if (m_fd >= 0) {
    ::close(m_fd); // closing the only descriptor drops the flock
    m_fd = -1;
  }
}

bool lock_is_held(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    return false;
  }
  bool held = false;
  while (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
    if (errno == EINTR) {
      continue;
    }
    held = errno == EWOULDBLOCK;
    break;
  }
  ::close(fd);
  return held;
}

} // namespace vell::os
