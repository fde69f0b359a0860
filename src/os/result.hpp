// A value or the system error that kept it from being produced. The OS layer
// never throws; callers decide how to word and escalate a failure.
#pragma once

#include <cerrno>
#include <system_error>
#include <utility>
#include <variant>

namespace vell::os {

template <typename T> class Result {
public:
  Result(T value) : m_v(std::move(value)) {}
  Result(std::error_code ec) : m_v(ec) {}

  bool ok() const { return std::holds_alternative<T>(m_v); }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<T>(m_v); }
  const T& value() const { return std::get<T>(m_v); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  std::error_code error() const { return ok() ? std::error_code{} : std::get<std::error_code>(m_v); }

private:
  std::variant<T, std::error_code> m_v;
};

inline std::error_code last_error() {
  return {errno, std::generic_category()};
}

} // namespace vell::os
