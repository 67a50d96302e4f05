// Process exit statuses.
#ifndef VARNOCK_APP_EXIT_STATUS_H_
#define VARNOCK_APP_EXIT_STATUS_H_

namespace varnock {

enum ExitStatus : int {
  kExitKeyPressed = 0,  // a key ended the run
  kExitHelp = 0,        // --help or --version was answered
  kExitNoBus = 1,       // no bus instance could be created
  kExitUsage = 2,       // an argument varnock does not take
};

// The status of a run stopped by signal `signo`: what a shell reports for a
// process that signal killed, as main then makes it.
constexpr int exit_status_for_signal(int signo) { return 128 + signo; }

}  // namespace varnock

#endif  // VARNOCK_APP_EXIT_STATUS_H_
