#include "os/fs.hpp"

#include "os/random.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

namespace vell::os {
namespace {

std::error_code close_checked(int fd) {
  // close() must not be retried on EINTR on Linux: the descriptor is gone.
  if (::close(fd) != 0 && errno != EINTR) {
    return last_error();
  }
  return {};
}

} // namespace

std::error_code write_all_fd(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return last_error();
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

namespace {

// Creates `name` in `dir_fd` exclusively and writes `data`, checking every
// write and the close; the partial file is removed on failure.
std::error_code write_new_at(int dir_fd, const std::string& name, std::string_view data, bool sync) {
  int fd = ::openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    return last_error();
  }
  std::error_code ec = write_all_fd(fd, data);
  if (!ec && sync && ::fsync(fd) != 0) {
    ec = last_error();
  }
  if (auto cec = close_checked(fd); !ec) {
    ec = cec;
  }
  if (ec) {
    ::unlinkat(dir_fd, name.c_str(), 0);
  }
  return ec;
}

std::string dir_of(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

Result<FileInfo> file_info(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      return FileInfo{};
    }
    return last_error();
  }
  FileInfo info;
  if (S_ISREG(st.st_mode)) {
    info.kind = FileKind::regular;
  } else if (S_ISDIR(st.st_mode)) {
    info.kind = FileKind::directory;
  } else if (S_ISLNK(st.st_mode)) {
    info.kind = FileKind::symlink;
  } else {
    info.kind = FileKind::other;
  }
  info.mode = st.st_mode & 07777;
  info.owner = st.st_uid;
  info.mtime_s = st.st_mtim.tv_sec;
  info.size = static_cast<std::uint64_t>(st.st_size);
  return info;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Result<std::string> read_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    return last_error();
  }
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      auto ec = last_error();
      ::close(fd);
      return ec;
    }
    if (n == 0) {
      break;
    }
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

std::error_code make_dir(const std::string& path, std::uint32_t mode) {
  if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0) {
    if (errno == EEXIST && is_directory(path)) {
      return {};
    }
    return last_error();
  }
  if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) {
    return last_error();
  }
  return {};
}

std::error_code make_new_dir(const std::string& path, std::uint32_t mode) {
  if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0) {
    return last_error();
  }
  if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) {
    return last_error();
  }
  return {};
}

std::error_code make_dirs(const std::string& path, std::uint32_t mode) {
  if (path.empty() || is_directory(path)) {
    return {};
  }
  auto parent = dir_of(path);
  if (parent != path && parent != "." && parent != "/") {
    if (auto ec = make_dirs(parent, mode)) {
      return ec;
    }
  }
  return make_dir(path, mode);
}

std::error_code write_new_file(const std::string& path, std::string_view data, bool sync) {
  return write_new_at(AT_FDCWD, path, data, sync);
}

std::error_code write_file_atomic(const std::string& path, std::string_view data, bool sync) {
  std::string tmp = path + ".tmp." + std::to_string(::getpid()) + "." + random_token();
  if (auto ec = write_new_file(tmp, data, sync)) {
    return ec;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    auto ec = last_error();
    ::unlink(tmp.c_str());
    return ec;
  }
  if (sync) {
    return sync_dir(dir_of(path));
  }
  return {};
}

std::error_code touch(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    return last_error();
  }
  return close_checked(fd);
}

std::error_code link_noreplace(const std::string& from, const std::string& to) {
  if (::link(from.c_str(), to.c_str()) != 0) {
    return last_error();
  }
  return {};
}

std::error_code rename_path(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    return last_error();
  }
  return {};
}

std::error_code remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    return last_error();
  }
  return {};
}

std::error_code remove_tree(const std::string& path) {
  auto info = file_info(path);
  if (!info) {
    return info.error();
  }
  if (info->kind == FileKind::missing) {
    return {};
  }
  if (info->kind != FileKind::directory) {
    return remove_file(path);
  }
  auto names = list_dir(path);
  if (!names) {
    return names.error();
  }
  for (const auto& name : *names) {
    if (auto ec = remove_tree(join(path, name))) {
      return ec;
    }
  }
  if (::rmdir(path.c_str()) != 0 && errno != ENOENT) {
    return last_error();
  }
  return {};
}

std::error_code for_each_name(const std::string& path, const std::function<void(std::string_view)>& visit) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    return last_error();
  }
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    auto ec = last_error();
    ::close(fd);
    return ec;
  }
  errno = 0;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name != "." && name != "..") {
      visit(name);
    }
  }
  auto ec = errno != 0 ? last_error() : std::error_code{};
  ::closedir(dir);
  return ec;
}

Result<std::vector<std::string>> list_dir(const std::string& path) {
  std::vector<std::string> names;
  if (auto ec = for_each_name(path, [&](std::string_view name) { names.emplace_back(name); })) {
    return ec;
  }
  return names;
}

std::error_code sync_dir(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return last_error();
  }
  std::error_code ec;
  if (::fsync(fd) != 0) {
    ec = last_error();
  }
  ::close(fd);
  return ec;
}

std::string current_dir() {
  char buf[PATH_MAX];
  if (::getcwd(buf, sizeof buf) == nullptr) {
    return {};
  }
  return buf;
}

std::string join(std::string_view a, std::string_view b) {
  std::string out(a);
  if (!out.empty() && out.back() != '/') {
    out += '/';
  }
  out += b;
  return out;
}

} // namespace vell::os

namespace vell::os {

Result<std::string> read_fd(int fd) {
  std::string out;
  char buf[4096];
  off_t offset = 0;
  for (;;) {
    ssize_t n = ::pread(fd, buf, sizeof buf, offset);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return last_error();
    }
    if (n == 0) {
      break;
    }
    out.append(buf, static_cast<std::size_t>(n));
    offset += n;
  }
  return out;
}

std::error_code replace_fd_contents(int fd, std::string_view data, bool sync) {
  off_t offset = 0;
  while (!data.empty()) {
    ssize_t n = ::pwrite(fd, data.data(), data.size(), offset);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return last_error();
    }
    data.remove_prefix(static_cast<std::size_t>(n));
    offset += n;
  }
  if (::ftruncate(fd, offset) != 0) {
    return last_error();
  }
  if (sync && ::fsync(fd) != 0) {
    return last_error();
  }
  return {};
}

} // namespace vell::os

namespace vell::os {

Result<DirHandle> DirHandle::open(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return last_error();
  }
  return DirHandle(fd);
}

DirHandle::DirHandle(DirHandle&& other) noexcept : m_fd(other.m_fd) {
  other.m_fd = -1;
}

DirHandle& DirHandle::operator=(DirHandle&& other) noexcept {
  if (this != &other) {
    if (m_fd >= 0) {
      ::close(m_fd);
    }
    m_fd = other.m_fd;
    other.m_fd = -1;
  }
  return *this;
}

DirHandle::~DirHandle() {
  if (m_fd >= 0) {
    ::close(m_fd);
  }
}

std::error_code DirHandle::write_new(const std::string& name, std::string_view data, bool sync) const {
  return write_new_at(m_fd, name, data, sync);
}

std::error_code DirHandle::link_to(const std::string& name, const DirHandle& to_dir, const std::string& to_name) const {
  if (::linkat(m_fd, name.c_str(), to_dir.m_fd, to_name.c_str(), 0) != 0) {
    return last_error();
  }
  return {};
}

std::error_code DirHandle::remove(const std::string& name) const {
  if (::unlinkat(m_fd, name.c_str(), 0) != 0 && errno != ENOENT) {
    return last_error();
  }
  return {};
}

std::error_code DirHandle::sync() const {
  if (::fsync(m_fd) != 0) {
    return last_error();
  }
  return {};
}

} // namespace vell::os
