// vell's exit codes, named once.
#pragma once

namespace vell {

inline constexpr int k_exit_ok = 0;
// The thing to act on is not there: no such perch, no message to answer,
// the caller's own perch cannot be determined, no Psyche.
inline constexpr int k_exit_not_found = 1;
// The command line or its input is wrong: unknown option, bad id, empty or
// oversized body.
inline constexpr int k_exit_usage = 2;
// The system refused: a file could not be read or written, a signal not sent.
inline constexpr int k_exit_system = 3;
// Another process holds what was asked for: the perch already has a listener.
inline constexpr int k_exit_busy = 4;
// A bug in vell.
inline constexpr int k_exit_internal = 70;

} // namespace vell
