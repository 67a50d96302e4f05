// varnock-gather's exit statuses: the numbers varnock-check gives the same
// outcomes. A run ended by a signal dies of it.
#ifndef VARNOCK_GATHER_EXIT_STATUS_H_
#define VARNOCK_GATHER_EXIT_STATUS_H_

namespace varnock::gather {

enum GatherExitStatus : int {
  kGatherOk = 0,           // at least one checker reported; --help, --version
  kGatherNoBus = 1,        // the bus could not be opened, or LCM cannot receive on it
  kGatherUsage = 2,        // bad command line
  kGatherNothing = 4,      // no checker reported (malformed messages are none)
  kGatherOutputError = 6,  // standard output could not be written
};

}  // namespace varnock::gather

#endif  // VARNOCK_GATHER_EXIT_STATUS_H_
