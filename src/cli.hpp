// vell's command line: parses argv, runs one command, returns the exit code.
#pragma once

namespace vell {

// Never throws and never calls exit(): every error becomes one line on
// standard error (plus hint lines) and its exit code.
int run_cli(int argc, char** argv);

} // namespace vell
