// varnock-pace's exit statuses; a run ended by a signal dies of it
// (exit_status_for_signal in app/exit_status.h).
#ifndef VARNOCK_PACE_EXIT_STATUS_H_
#define VARNOCK_PACE_EXIT_STATUS_H_

namespace varnock::pace {

enum PaceExitStatus : int {
  kPaceDone = 0,   // a key or --seconds ended the run; --help or --version answered
  kPaceNoRun = 1,  // the bus could not be opened, or the frame not allocated
  kPaceUsage = 2,  // bad command line
};

}  // namespace varnock::pace

#endif  // VARNOCK_PACE_EXIT_STATUS_H_
