// File-system primitives: whole-file reads, exclusive and atomic writes,
// no-replace links, directory listing. Paths are plain strings; nothing here
// follows a symbolic link where that would let a replaced directory redirect
// a write (O_NOFOLLOW on the final component).
#pragma once

#include "os/result.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vell::os {

enum class FileKind { missing, regular, directory, symlink, other };

struct FileInfo {
  FileKind kind = FileKind::missing;
  std::uint32_t mode = 0;   // permission bits
  std::uint32_t owner = 0;  // uid
  std::int64_t mtime_s = 0; // modification time, seconds since the epoch
  std::uint64_t size = 0;
};

// lstat(2); a missing path yields kind == missing, not an error.
Result<FileInfo> file_info(const std::string& path);

bool exists(const std::string& path);
bool is_directory(const std::string& path); // follows no link: a symlink is not a directory

// Writes all of `data` to an open descriptor (EINTR retried, short writes resumed).
std::error_code write_all_fd(int fd, std::string_view data);

// Reads a whole regular file. ENOENT when missing.
Result<std::string> read_file(const std::string& path);

// Creates one directory with `mode` (then chmod to exactly `mode`, so the
// umask cannot widen or narrow it). EEXIST is success when a directory is there.
std::error_code make_dir(const std::string& path, std::uint32_t mode = 0700);

// Creates one new directory; EEXIST when anything is already there.
std::error_code make_new_dir(const std::string& path, std::uint32_t mode = 0700);

// Creates a directory and its missing parents, each with `mode`.
std::error_code make_dirs(const std::string& path, std::uint32_t mode = 0700);

// Creates `dir/name` exclusively (O_EXCL, mode 0600) and writes `data`,
// checking every write and the close. With `sync`, fsyncs the file.
// On failure the partial file is removed.
std::error_code write_new_file(const std::string& path, std::string_view data, bool sync);

// Replaces `path` atomically: writes a temporary file in the same directory,
// then renames it over `path`. Readers see the old or the new content, never
// a mix. With `sync`, fsyncs the file and then the directory.
std::error_code write_file_atomic(const std::string& path, std::string_view data, bool sync = false);

// Writes an empty file (creating or truncating it).
std::error_code touch(const std::string& path);

// link(2): makes `to` a new name for `from`, never replacing an existing
// `to` (EEXIST instead).
std::error_code link_noreplace(const std::string& from, const std::string& to);

// rename(2) within one file system.
std::error_code rename_path(const std::string& from, const std::string& to);

// unlink(2); a missing file is success.
std::error_code remove_file(const std::string& path);

// Removes a directory tree (no link is followed); a missing tree is success.
std::error_code remove_tree(const std::string& path);

// Calls `visit` with each name in a directory (without "." and ".."), in no
// particular order, without collecting them. ENOENT when missing.
std::error_code for_each_name(const std::string& path, const std::function<void(std::string_view)>& visit);

// Names in a directory, without "." and "..", unsorted. ENOENT when missing.
Result<std::vector<std::string>> list_dir(const std::string& path);

// fsync of a directory, making entries created in it durable.
std::error_code sync_dir(const std::string& path);

// The process's working directory, or "" when it cannot be had.
std::string current_dir();

// Joins path pieces with '/'.
std::string join(std::string_view a, std::string_view b);

} // namespace vell::os

namespace vell::os {

// Reads everything from an open descriptor, from offset 0.
Result<std::string> read_fd(int fd);

// Replaces the contents of an open file in place (pwrite at 0, then truncate).
// Only for small files guarded by a lock, such as counters.
std::error_code replace_fd_contents(int fd, std::string_view data, bool sync);

} // namespace vell::os

namespace vell::os {

// An open directory whose final path component was not a symbolic link when
// opened. Names created through it land in that very directory, even if the
// path is replaced by a link afterwards.
class DirHandle {
public:
  // Opens `path` (O_DIRECTORY | O_NOFOLLOW); ELOOP or ENOTDIR for a link or file.
  static Result<DirHandle> open(const std::string& path);
  DirHandle(DirHandle&& other) noexcept;
  DirHandle& operator=(DirHandle&& other) noexcept;
  DirHandle(const DirHandle&) = delete;
  DirHandle& operator=(const DirHandle&) = delete;
  ~DirHandle();

  // Creates `name` exclusively (0600) with `data`, as write_new_file does.
  std::error_code write_new(const std::string& name, std::string_view data, bool sync) const;

  // Makes `to_dir/to_name` a new name for `name`, never replacing (EEXIST).
  std::error_code link_to(const std::string& name, const DirHandle& to_dir, const std::string& to_name) const;

  // Removes `name`; a missing name is success.
  std::error_code remove(const std::string& name) const;

  std::error_code sync() const;

private:
  explicit DirHandle(int fd) : m_fd(fd) {}
  int m_fd = -1;
};

} // namespace vell::os
