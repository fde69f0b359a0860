// Process identity and liveness. A pid read from a record is untrusted: it
// may be 0, negative once narrowed, beyond the system's range, or reused.
#pragma once

#include <cstdint>
#include <optional>

namespace vell::os {

std::uint64_t self_pid();
std::uint64_t parent_pid();

// The process that really called vell: the parent, or, when the parent is a
// shell running a command string ("sh -c ...", "bash -lc ..."), the nearest
// ancestor that is not. Hosts run hooks and agents' tool calls through such
// shells, which exit as soon as vell does and would make a poor holder.
std::uint64_t caller_pid();

// The start time of a process in clock ticks since boot (field 22 of
// /proc/PID/stat), or nullopt when it cannot be read. Together with the pid it
// names one process even after the pid has been reused.
std::optional<std::uint64_t> process_start_time(std::uint64_t pid);

// True only if 0 < pid <= the system's pid_max, the process exists (EPERM
// counts as existing) and is not a zombie; with `start_time`, it must also
// match. Never passes 0, a negative or a wrapped value to kill(2).
bool process_alive(std::uint64_t pid, std::optional<std::uint64_t> start_time = std::nullopt);

enum class Signal { terminate, kill };

// Sends the signal after the same range check as process_alive; false when
// the pid is out of range or the kill fails.
bool send_signal(std::uint64_t pid, Signal signal);

} // namespace vell::os
