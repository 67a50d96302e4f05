// What every program's main does with its command line before a run.
#ifndef VARNOCK_CLI_PROGRAM_H_
#define VARNOCK_CLI_PROGRAM_H_

#include <cstdio>
#include <optional>
#include <string>

#include "cli/command_line.h"
#include "cli/exit_status.h"

namespace varnock {

// A parsed command line: an error message ("" when none) or a request.
struct CommandLine {
  std::string error;
  Request request = Request::kRun;
};

// "Usage: PROG SYNOPSIS" and a pointer to --help, for standard error.
std::string usage_line(Program p, const char* synopsis);

// The second line of --version: the release of the LCM library this process
// has loaded, "LCM 1.5.2 (the library loaded now)". Any thread.
std::string lcm_version_line();

// Answers what is not a run: a usage error on `err` (kExitUsage), --help or
// --version on `out` (kExitOk; `help` is the whole help text; --version
// names the program's release and, below it, LCM's). nullopt when
// the command line asks for a run. Main thread, before the run.
std::optional<int> answer_command_line(Program p, const CommandLine& line, const char* synopsis,
                                       const std::string& help, std::FILE* out = stdout,
                                       std::FILE* err = stderr);

}  // namespace varnock

#endif  // VARNOCK_CLI_PROGRAM_H_
