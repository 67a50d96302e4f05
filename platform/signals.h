// Process signal flags. Handlers only record what arrived; the publisher loop
// acts on it between cycles.
#ifndef VARNOCK_PLATFORM_SIGNALS_H_
#define VARNOCK_PLATFORM_SIGNALS_H_

namespace varnock {

// Installs handlers for SIGINT, SIGTERM and SIGHUP (stop), without
// SA_RESTART so that a sleep or a wait is cut short; ignores SIGPIPE.
void install_stop_handlers();
// install_stop_handlers, and a handler for SIGTSTP (suspend).
void install_signal_handlers();
// The last stop signal received, or 0.
int received_stop_signal();
// True once per Ctrl+Z received since the last call.
bool take_suspend_request();

}  // namespace varnock

#endif  // VARNOCK_PLATFORM_SIGNALS_H_
