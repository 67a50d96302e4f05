// varnock-pace's run: the paced publish cycle, the rate lines and the total.
#ifndef VARNOCK_PACE_PACER_H_
#define VARNOCK_PACE_PACER_H_

#include <lcm/lcm.h>

#include <cstdint>
#include <string>

#include "pace/options.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace varnock::pace {

enum PaceExitStatus : int {
  kPaceDone = 0,   // a key or --seconds ended the run; --help or --version answered
  kPaceNoRun = 1,  // the bus could not be opened, or the frame not allocated
  kPaceUsage = 2,  // bad command line
};

// "<second> rate: requested <R> achieved <A>\n": R as given, or "max" for
// 0; A is `cycles` over `elapsed_ns`, one decimal (0.0 when no time passed).
std::string rate_line(int64_t second, double requested_hz, int64_t cycles, int64_t elapsed_ns);

// "total: <cycles> cycles in <S> s: requested <R> achieved <A>\n", S with
// three decimals.
std::string total_line(double requested_hz, int64_t cycles, int64_t elapsed_ns);

// The bus a run with `options` opens: --url, else LCM_DEFAULT_URL, else LCM's default.
std::string url_in_use(const Options& options);

// Publishes cycles on `bus` as `options` ask until a key is waiting, a stop
// signal arrives or --seconds have passed. Each cycle: a status record on
// RECSTAT, a frame on TFIMAGE; a rate line whenever a cycle starts in a new
// calendar second, and the total line at the end. Returns kPaceDone, or
// exit_status_for_signal. The waits between cycles are where held signals
// are taken. Throws std::bad_alloc when the frame cannot be allocated.
int run_cycles(lcm_t* bus, const Options& options, Clock& clock, Console& console);

// The whole program: the banner, the bus, the cycles. Returns the exit
// status; kPaceNoRun (with a message on standard error) when the bus cannot
// be opened.
int run_pace(const Options& options, Clock& clock, Console& console);

}  // namespace varnock::pace

#endif  // VARNOCK_PACE_PACER_H_
