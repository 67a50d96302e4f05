// varnock-check's exit statuses, for a checking run and for --diagnose.
#ifndef VARNOCK_CHECK_EXIT_STATUS_H_
#define VARNOCK_CHECK_EXIT_STATUS_H_

namespace varnock::check {

enum CheckExitStatus : int {
  kCheckOk = 0,           // messages arrived, none corrupt; --help, --version; a passed preflight
  kCheckNoBus = 1,        // the bus could not be opened, or LCM cannot receive on it
  kCheckUsage = 2,        // bad command line
  kCheckCorrupt = 3,      // a corrupt message was received
  kCheckShortfall = 4,    // nothing was received, or a --max-loss or --min-frames limit missed
  kDiagnoseFailed = 5,    // --diagnose: a check failed
  kCheckOutputError = 6,  // writing the report failed
};

}  // namespace varnock::check

#endif  // VARNOCK_CHECK_EXIT_STATUS_H_
