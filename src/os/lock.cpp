#include "os/lock.hpp"

#include "os/result.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "os/fs.hpp"

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

std::vector<std::uint64_t> flock_holders(const std::string& path) {
  std::vector<std::uint64_t> pids;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    return pids;
  }
  auto table = read_file("/proc/locks");
  if (!table) {
    return pids;
  }
  // Lines read "1: FLOCK  ADVISORY  WRITE 4242 fd:01:1234567 0 EOF", the
  // device as hex major:minor and the inode in decimal; "->" marks waiters.
  char device[32];
  std::snprintf(device, sizeof device, "%02x:%02x:", ::major(st.st_dev), ::minor(st.st_dev));
  std::string file_id = device + std::to_string(st.st_ino);
  std::istringstream lines(*table);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, id;
    fields >> number >> kind;
    if (kind == "->" || kind != "FLOCK") {
      continue;
    }
    fields >> mode >> access >> pid >> id;
    if (id == file_id) {
      try {
        pids.push_back(std::stoull(pid));
      } catch (const std::exception&) {
        // a malformed line names no holder
      }
    }
  }
  return pids;
}

} // namespace vell::os
