// varnock-pace's run: the paced publish cycle and what it reports.
#ifndef VARNOCK_PACE_PACER_H_
#define VARNOCK_PACE_PACER_H_

#include <lcm/lcm.h>

#include <cstdint>
#include <string>

#include "cli/exit_status.h"
#include "metrics/metrics_output.h"
#include "pace/options.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/send_drops.h"

namespace varnock::pace {

// Publishes cycles on `bus` as `options` ask until a key is waiting, a stop
// signal arrives or --seconds have passed. Each cycle: a status record on
// RECSTAT, a frame on TFIMAGE; or, with --messages, a stream_message_t on
// each of the channels VARNOCK_MSG_<k>, each with its own sequence, under a
// publisher id drawn at random. A second's line whenever a cycle starts in a
// new calendar second, and the summary at the end (pace/report.h), as text
// or, with --json, JSON, each with the datagrams `drops` tells the host
// dropped of what it sent meanwhile; each second's figures to `metrics`
// too, when given. Each frame is stamped at least 2 ms after the last;
// messages have no such gap. Returns kExitOk,
// exit_status_for_signal, or kExitNoBus (no summary written) when LCM
// refused any message of the first cycle. The waits between cycles are where
// held signals are taken, and keys and signals are looked at least every
// millisecond. Throws std::bad_alloc when the frame cannot be allocated.
int run_cycles(lcm_t* bus, const Options& options, Clock& clock, Console& console,
               SendDropSource& drops, metrics::MetricsOutput* metrics = nullptr);

// A warning when frames of options.size stop carrying their sequence number
// during the run (a frame carries it while its period, 60 and up, is below
// its pixels): varnock-check can then count their loss only as a lower
// bound. A run without --seconds is judged by ten minutes. "" when they carry it
// throughout.
std::string sequence_warning(const Options& options);

// The whole program: the start line, the bus, the cycles. Returns the exit
// status; kExitNoBus (with a message on standard error) when the bus cannot
// be opened.
int run_pace(const Options& options, Clock& clock, Console& console, SendDropSource& drops);

}  // namespace varnock::pace

#endif  // VARNOCK_PACE_PACER_H_
