// The receive loop shared by a checking run and --diagnose: LCM's handlers
// feed the account, and once a second the account settles its rows and
// learns the kernel's drops.
#ifndef VARNOCK_RECEIVE_LOOP_H_
#define VARNOCK_RECEIVE_LOOP_H_

#include <lcm/lcm.h>

#include <cstdint>
#include <functional>

#include "account/account.h"
#include "account/stream_account.h"
#include "account/stream_join.h"
#include "host/host.h"
#include "platform/clock.h"

namespace varnock::receive {

// Why a receive loop ended.
enum class LoopEnd { kSeconds, kSignal, kEndOfInput, kOutputError };

// Takes each settled row; returns false when it could not be written, which
// ends the loop.
using RowSink = std::function<bool(const account::SecondReport&)>;

// How many events (messages of any channel) LCM may deliver, and how many it
// did.
struct EventCount {
  int64_t limit = -1;  // -1: no limit; past it the bus counts as delivering no more
  int64_t handled = 0;
};

// The streams' account beside the Account, and where its rows wait to be
// joined to the Account's.
struct Streams {
  account::StreamAccount& account;
  account::StreamJoin& join;
};

// Receives on `bus` (subscribed to `account`) until `seconds` (0: no limit)
// have passed on the monotonic clock, a stop signal is taken, the bus
// delivers no more (a log read to its end, or `events`' limit reached) or
// `rows` fails. Several times a second the kernel's drops on `socket` and
// the network counters of `host` (either may be null) are counted. The
// caller writes what account.finish() returns and the summary. With
// `streams`, their account moves with the Account, between LCM's
// dispatches, and each row carries the streams' figures of its second; the
// caller finishes them too (streams->join.hold(finish()) before joining the
// Account's last rows). `bus` must
// have a file descriptor (lcm_get_fileno >= 0): the loop waits on it with
// wait_taking_signals (platform/signals.h), so call it from the thread that
// holds the signals.
LoopEnd receive(lcm_t* bus, int64_t seconds, Clock& clock, account::Account& account,
                const RowSink& rows, const host::ReceiveCounters* socket = nullptr,
                const host::Host* host = nullptr, EventCount* events = nullptr,
                const Streams* streams = nullptr);

}  // namespace varnock::receive

#endif  // VARNOCK_RECEIVE_LOOP_H_
