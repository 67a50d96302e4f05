// varnock-check's run: open the bus, subscribe, account second by second.
#ifndef VARNOCK_CHECK_RUN_H_
#define VARNOCK_CHECK_RUN_H_

#include <lcm/lcm.h>

#include <memory>
#include <string>

#include "check/checker.h"
#include "check/options.h"
#include "check/output.h"
#include "check/socket_stats.h"
#include "platform/clock.h"

namespace varnock::check {

enum CheckExitStatus : int {
  kCheckOk = 0,           // the run went well: messages arrived, none corrupt
  kCheckNoBus = 1,        // the bus could not be opened, or LCM cannot receive on it
  kCheckUsage = 2,        // bad command line
  kCheckCorrupt = 3,      // a corrupt message was received
  kCheckShortfall = 4,    // nothing was received, or a --max-loss or --min-frames limit missed
  kCheckOutputError = 6,  // writing the report failed
};

// The LCM default provider's URL.
inline constexpr char kLcmDefaultUrl[] = "udpm://239.255.76.67:7667?ttl=0";

// The URL a run with `options` opens: --url, else LCM_DEFAULT_URL, else LCM's default.
std::string url_in_use(const Options& options);

// Varnock's two channels subscribed to `checker`, with `clock` telling the
// handlers the time; unsubscribed when destroyed. The frame handler takes
// `handler_ns` longer than it needs, as a slow subscriber would.
class CheckSubscription {
 public:
  CheckSubscription(lcm_t* bus, Checker& checker, Clock& clock, int64_t handler_ns = 0);
  ~CheckSubscription();
  CheckSubscription(const CheckSubscription&) = delete;
  CheckSubscription& operator=(const CheckSubscription&) = delete;

  // False when LCM could not subscribe (it could not set up receiving).
  bool subscribed() const { return status_ != nullptr && frames_ != nullptr; }

  struct Handlers;  // what LCM's callbacks are given

 private:
  lcm_t* bus_;
  std::unique_ptr<Handlers> handlers_;
  lcm_subscription_t* status_;
  lcm_subscription_t* frames_;
};

// Why a receive loop ended.
enum class LoopEnd { kSeconds, kSignal, kEndOfInput, kOutputError };

// Receives on `bus` (subscribed to `checker`) until `seconds` (0: no limit)
// have passed on the monotonic clock, a stop signal arrives, the bus
// delivers no more (a log read to its end) or a write to `out` fails. Settled
// rows go to `out` as they come; the caller writes what finish() returns and
// the summary. Once a second the kernel's drops on `socket` (may be null) are
// counted. `bus` must have a file descriptor (lcm_get_fileno >= 0).
LoopEnd receive(lcm_t* bus, int64_t seconds, Clock& clock, Checker& checker, ReportOutput& out,
                const ReceiveSocket* socket = nullptr);

// The line naming a limit of `options` that `s` missed, "" when none was.
std::string missed_limit(const Options& options, const Summary& s);

// Runs until options.seconds have passed, a stop signal or the end of the
// input; returns the exit status. Writes rows and the summary to standard
// output, notes and errors to standard error.
int run_check(const Options& options, Clock& clock);

}  // namespace varnock::check

#endif  // VARNOCK_CHECK_RUN_H_
