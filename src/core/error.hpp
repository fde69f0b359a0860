// The one error type commands throw. It carries the exit code and the line
// printed on standard error, plus optional hint lines saying how to fix it.
#pragma once

#include "core/exit_codes.hpp"

#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace vell {

class Error : public std::runtime_error {
public:
  Error(int exit_code, const std::string& message, std::vector<std::string> hints = {})
      : std::runtime_error(message), m_exit_code(exit_code), m_hints(std::move(hints)) {}

  int exit_code() const { return m_exit_code; }
  const std::vector<std::string>& hints() const { return m_hints; }

private:
  int m_exit_code;
  std::vector<std::string> m_hints;
};

// "cannot WHAT 'PATH': REASON" as a system error (exit 3).
[[noreturn]] inline void throw_system(const std::string& what, const std::string& path, std::error_code ec) {
  throw Error(k_exit_system, "cannot " + what + " '" + path + "': " + ec.message());
}

} // namespace vell
