// varnock-check's run: open the bus, subscribe, account second by second,
// report, and say how it went in the exit status.
#ifndef VARNOCK_CHECK_CHECK_RUN_H_
#define VARNOCK_CHECK_CHECK_RUN_H_

#include <string>

#include "account/account.h"
#include "check/options.h"
#include "host/host.h"
#include "platform/clock.h"
#include "platform/send_drops.h"

namespace varnock::check {

// The line naming a limit of `options` that `s` missed, "" when none was.
std::string missed_limit(const Options& options, const account::Summary& s);

// Runs until options.seconds have passed, a stop signal or the end of the
// input; returns the exit status (cli/exit_status.h). Writes rows and the
// summary to standard output, notes and errors to standard error; with
// --share, also publishes them on the bus, with what `drops` tells of this
// host's send-side drops. Call from the main thread, with the stop signals
// installed.
int run_check(const Options& options, const host::Host& host, Clock& clock, SendDropSource& drops);

}  // namespace varnock::check

#endif  // VARNOCK_CHECK_CHECK_RUN_H_
