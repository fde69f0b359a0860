// Advisory whole-file locks (flock(2)) on lock files that are never unlinked.
// A lock dies with the process that holds it, so no lock can go stale.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

namespace vell::os {

class FileLock {
public:
  explicit FileLock(std::string path) : m_path(std::move(path)) {}
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  FileLock(FileLock&& other) noexcept;
  ~FileLock(); // releases the lock

  // Blocks until the lock is held. The lock file is created (0600) if missing.
  [[nodiscard]] std::error_code acquire();

  // Takes the lock only if nobody holds it: true when taken; false with no
  // error when another process holds it.
  [[nodiscard]] bool try_acquire(std::error_code& ec);

  void release();
  bool held() const { return m_fd >= 0; }
  int fd() const { return m_fd; }
  const std::string& path() const { return m_path; }

private:
  std::error_code open_file();
  std::string m_path;
  int m_fd = -1;
};

// True when some process holds the lock at `path`. A missing lock file means
// nobody does. Takes and drops the lock to find out, so it never blocks.
bool lock_is_held(const std::string& path);

// The pids that hold a flock(2) lock on the file at `path`, as the kernel
// lists them in /proc/locks; empty when none does or the list cannot be read.
std::vector<std::uint64_t> flock_holders(const std::string& path);

} // namespace vell::os
