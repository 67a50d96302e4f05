// The publisher: start-up, the publish cycle, the rate report and shutdown.
#ifndef VARNOCK_APP_PUBLISHER_H_
#define VARNOCK_APP_PUBLISHER_H_

#include <lcm/lcm.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "messages/cycle.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/send_drops.h"

namespace varnock {

// Formats "<now> frame rate: <cycles>\n" into `buffer`; returns the text.
std::string_view format_rate_line(char (&buffer)[64], int64_t now, int32_t cycles);

// The pause that ends every cycle: 2 ms on the monotonic clock, resumed after
// early wakes, cut short by a stop signal. The clock's sleep in it is where a
// run takes the signals it holds, so that none interrupts a publish.
void pause_after_cycle(Clock& clock, Console& console);

// The one warning on standard error once the host has dropped `drops`
// datagrams it was given to send.
std::string send_drop_warning(int64_t drops);

// Publishes cycles on `bus` until a key is waiting (returns kExitOk)
// or a stop signal arrives (returns exit_status_for_signal). At the first
// rate line after `drops` tells of datagrams the host dropped (LCM's publish
// still succeeds), writes send_drop_warning to standard error, once.
int run_publisher(lcm_t* bus, Clock& clock, Console& console, SendDropSource& drops);

// The whole program: banner, bus from `provider`, publish cycles, shutdown.
// Returns the process exit status (kExitNoBus when the bus cannot be created).
int run_varnock(const char* provider, Clock& clock, Console& console, SendDropSource& drops);

}  // namespace varnock

#endif  // VARNOCK_APP_PUBLISHER_H_
