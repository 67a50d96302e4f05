// Where varnock-gather takes the stop signals: only while it waits for the
// bus. Blocked the rest of the time, they cut short no write and no
// message, and one that comes between a check and a wait is not missed.
#ifndef VARNOCK_GATHER_BUS_WAIT_H_
#define VARNOCK_GATHER_BUS_WAIT_H_

#include <cstdint>

namespace varnock::gather {

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and in the threads
// it starts later (LCM's), after install_stop_handlers (platform/signals.h)
// has given them handlers. Call before the bus is opened.
void block_stop_signals();

enum class Wait { kReadable, kTimeout, kSignal };

// Waits up to `timeout_ms` for `fd` to be readable (fd < 0: only the time)
// with the stop signals let through. kSignal when one was taken: it is then
// received_stop_signal().
Wait wait_for_bus(int fd, int64_t timeout_ms);

}  // namespace varnock::gather

#endif  // VARNOCK_GATHER_BUS_WAIT_H_
