#include "os/lock.hpp"

#include "temp_dir.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace vell::os {
namespace {

TEST(FileLock, OneHolderAtATimeAndLockIsHeldSeesIt) {
  vell_test::TempDir dir;
  const std::string path = dir / ".listener.lock";
  EXPECT_FALSE(lock_is_held(path));
  EXPECT_FALSE(std::filesystem::exists(path)) << "checking a lock must not create its file";

  FileLock first(path);
  ASSERT_FALSE(first.acquire());
  EXPECT_TRUE(first.held());
  EXPECT_EQ(vell_test::mode_of(path), 0600u);
  EXPECT_TRUE(lock_is_held(path));

  FileLock second(path);
  std::error_code ec;
  EXPECT_FALSE(second.try_acquire(ec));
  EXPECT_FALSE(ec);
  EXPECT_FALSE(second.held());

  first.release();
  EXPECT_FALSE(lock_is_held(path));
  EXPECT_TRUE(second.try_acquire(ec));
  EXPECT_FALSE(ec);
  EXPECT_TRUE(std::filesystem::exists(path)) << "a lock file is never unlinked";
}

// stop relies on this list to signal only the process that really holds a
// perch's listener lock.
TEST(FileLock, FlockHoldersNamesTheHolderOfThatFileOnly) {
  vell_test::TempDir dir;
  const std::string path = dir / ".listener.lock";
  const std::string other = dir / "other.lock";
  FileLock unrelated(other);
  ASSERT_FALSE(unrelated.acquire());
  EXPECT_TRUE(flock_holders(path).empty()) << "a missing lock file has no holder";

  FileLock lock(path);
  std::error_code ec;
  ASSERT_TRUE(lock.try_acquire(ec));
  EXPECT_EQ(flock_holders(path), std::vector<std::uint64_t>{static_cast<std::uint64_t>(::getpid())});

  lock.release();
  EXPECT_TRUE(flock_holders(path).empty()) << "a released lock has no holder";
}

TEST(FileLock, DiesWithTheProcessHoldingIt) {
  vell_test::TempDir dir;
  const std::string path = dir / "lock";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    FileLock lock(path);
    if (lock.acquire() || ::write(ready[1], "r", 1) != 1) {
      ::_exit(1);
    }
    for (;;) {
      ::pause();
    }
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_TRUE(lock_is_held(path));

  ::kill(pid, SIGKILL);
  ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
  EXPECT_FALSE(lock_is_held(path));
  FileLock next(path);
  std::error_code ec;
  EXPECT_TRUE(next.try_acquire(ec));
}

TEST(FileLock, RefusesALockFileReplacedByASymlink) {
  vell_test::TempDir dir;
  vell_test::write_bytes(dir / "elsewhere", "");
  std::filesystem::create_symlink(dir / "elsewhere", dir / "lock");
  FileLock lock(dir / "lock");
  EXPECT_EQ(lock.acquire(), std::errc::too_many_symbolic_link_levels);
  EXPECT_FALSE(lock.held());
}

} // namespace
} // namespace vell::os
