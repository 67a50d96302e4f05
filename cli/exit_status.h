// The exit statuses of every varnock program, one vocabulary with one
// number each, and what each means for the program that gives it. The
// table also writes each program's "Exit status" paragraph of --help.
#ifndef VARNOCK_CLI_EXIT_STATUS_H_
#define VARNOCK_CLI_EXIT_STATUS_H_

#include <string>

namespace varnock {

enum ExitStatus : int {
  kExitOk = 0,              // the run did what was asked; --help or --version answered
  kExitNoBus = 1,           // the bus could not be opened (varnock-pace: or no frame)
  kExitUsage = 2,           // bad command line
  kExitCorrupt = 3,         // varnock-check: a corrupt message arrived
  kExitShortfall = 4,       // too little arrived, or a limit was missed
  kExitDiagnoseFailed = 5,  // varnock-check --diagnose: a check failed
  kExitOutputError = 6,     // the report could not be written
  kExitDamagedLog = 7,      // varnock-check: a log was damaged; reading stopped before its end
};

enum class Program { kVarnock, kCheck, kPace, kGather };

// "varnock", "varnock-check", ...
const char* program_name(Program p);

// The "Exit status:" paragraph of `p`'s --help: a line for each status the
// program gives, with its meaning there, then how a signal ends it.
std::string exit_status_help(Program p);

// The status of a run stopped by signal `signo`: what a shell reports for a
// process that signal killed.
constexpr int exit_status_for_signal(int signo) { return 128 + signo; }

}  // namespace varnock

#endif  // VARNOCK_CLI_EXIT_STATUS_H_
