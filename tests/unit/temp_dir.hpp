// Helpers shared by the unit tests: a private temporary directory per test,
// plain file helpers that do not go through vell's own file layer (so a test
// never checks that layer with itself), and capture of a thrown vell::Error.
#pragma once

#include "core/error.hpp"

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vell_test {

// A fresh directory (mode 0700) under the system's temporary directory,
// removed with everything in it when the object goes. Symbolic links inside
// are removed, never followed.
class TempDir {
public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vell-unit-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot create a temporary directory from " + pattern);
    }
    m_path = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }

  const std::string& path() const { return m_path; }
  std::string operator/(std::string_view name) const { return m_path + "/" + std::string(name); }

private:
  std::string m_path;
};

// Writes `data` to `path` byte for byte, creating or truncating the file.
inline void write_bytes(const std::string& path, std::string_view data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out.flush()) {
    throw std::runtime_error("cannot write " + path);
  }
}

// The whole content of `path`; throws when it cannot be opened.
inline std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The sorted names in a directory (no "." or "..").
inline std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Permission bits of `path` itself (a symbolic link is not followed).
inline unsigned mode_of(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    throw std::runtime_error("cannot stat " + path);
  }
  return st.st_mode & 07777u;
}

// The vell::Error `f` throws, or nullopt when it returns normally.
template <typename F> std::optional<vell::Error> thrown_error(F&& f) {
  try {
    f();
  } catch (const vell::Error& e) {
    return e;
  }
  return std::nullopt;
}

// Sets the process umask for one scope.
class ScopedUmask {
public:
  explicit ScopedUmask(mode_t mask) : m_old(::umask(mask)) {}
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;
  ~ScopedUmask() { ::umask(m_old); }

private:
  mode_t m_old;
};

// Sets (or, with nullopt, unsets) one environment variable for one scope and
// restores its previous state afterwards.
class ScopedEnv {
public:
  ScopedEnv(std::string name, const std::optional<std::string>& value) : m_name(std::move(name)) {
    if (const char* old = std::getenv(m_name.c_str())) {
      m_old = old;
    }
    apply(value);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() { apply(m_old); }

private:
  void apply(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(m_name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(m_name.c_str());
    }
  }
  std::string m_name;
  std::optional<std::string> m_old;
};

} // namespace vell_test
