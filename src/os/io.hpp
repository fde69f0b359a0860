// Standard streams and the environment.
#pragma once

#include "os/result.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vell::os {

// Ignores SIGPIPE so that writing to a closed pipe fails with EPIPE instead of
// killing the process; every write is checked.
void ignore_sigpipe();

struct StdinData {
  std::string bytes;
  bool truncated = false; // more than `limit` bytes were offered
};

// Reads standard input to its end, keeping at most `limit` bytes; stops
// reading once the limit is passed. A closed or absent standard input reads
// as empty.
Result<StdinData> read_stdin(std::size_t limit);

// Like read_stdin, for hook payloads that must never hold the caller up: a
// terminal reads as empty, and reading stops after `timeout_ms` without
// input (what arrived by then is kept, `truncated` set).
Result<StdinData> read_stdin_bounded(std::size_t limit, int timeout_ms);

// Writes all of `data` to standard output (unbuffered, EINTR retried).
std::error_code write_stdout(std::string_view data);

// Writes one line to standard error; failures are ignored (there is nowhere
// left to report them).
void write_stderr_line(std::string_view line);

std::optional<std::string> get_env(const char* name);

// The effective user id.
std::uint32_t current_uid();

} // namespace vell::os
