#include "core/ids.hpp"

#include "core/error.hpp"

namespace vell {
namespace {

bool allowed(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
}

} // namespace

std::optional<std::string> id_problem(std::string_view id) {
  if (id.empty()) {
    return "is empty";
  }
  if (id.size() > k_max_id_length) {
    return "is longer than " + std::to_string(k_max_id_length) + " bytes";
  }
  if (id.front() == '.' || id.front() == '-') {
    return std::string("starts with '") + id.front() + "'";
  }
  for (char c : id) {
    if (!allowed(c)) {
      if (c == '/') {
        return "contains '/'";
      }
      return "contains a character other than letters, digits, '.', '_' and '-'";
    }
  }
  return std::nullopt;
}

void require_valid_id(std::string_view kind, std::string_view id) {
  if (auto problem = id_problem(id)) {
    throw Error(k_exit_usage, "invalid " + std::string(kind) + " '" + printable(id) + "': " + *problem,
                {"ids are 1 to 64 letters, digits, '.', '_' or '-', not starting with '.' or '-'"});
  }
}

std::string printable(std::string_view text) {
  static const char k_hex[] = "0123456789abcdef";
  std::string out;
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7f) {
      out += c;
    } else {
      out += "\\x";
      out += k_hex[u >> 4];
      out += k_hex[u & 0xF];
    }
  }
  return out;
}

std::optional<std::string> worker_parent(std::string_view id) {
  auto pos = id.rfind("-w");
  if (pos == std::string_view::npos || pos == 0 || pos + 2 >= id.size()) {
    return std::nullopt;
  }
  for (char c : id.substr(pos + 2)) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
  }
  return std::string(id.substr(0, pos));
}

} // namespace vell
