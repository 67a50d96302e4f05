// varnock-gather's run: open the bus, hear every checker on VARNOCK_CHECK,
// show them as the run goes and sum them up at its end.
#ifndef VARNOCK_GATHER_GATHER_RUN_H_
#define VARNOCK_GATHER_GATHER_RUN_H_

#include "gather/options.h"
#include "gather/screen.h"
#include "platform/clock.h"

namespace varnock::gather {

// Runs until options.seconds have passed, a stop signal, or, without
// --seconds, the end of the bus's input; returns the exit status
// (cli/exit_status.h). Writes the table, rows or lines and the summary to
// `screen`, notes and warnings to standard error; a reader of `screen` gone
// away ends the process (end_for_lost_reader). Call from the main thread
// after hold_run_signals(RunSignals::kStopAndResize) (platform/signals.h),
// so that a resized terminal is redrawn at once.
int run_gather(const Options& options, Clock& clock, Screen& screen);

}  // namespace varnock::gather

#endif  // VARNOCK_GATHER_GATHER_RUN_H_
