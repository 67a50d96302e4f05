// The signals that end or suspend a program, in two policies: handlers that
// cut a wait short (varnock-check), and signals held blocked until a sleep
// takes them, so that nothing a cycle does is ever interrupted (varnock).
// On Windows the signals are the console's events: Ctrl+C (SIGINT),
// Ctrl+Break (SIGBREAK) and the window's close, logoff or shutdown (SIGTERM),
// delivered on a thread of the system's; nothing suspends the process there.
#ifndef VARNOCK_PLATFORM_SIGNALS_H_
#define VARNOCK_PLATFORM_SIGNALS_H_

#include <cstdint>

namespace varnock {

// Installs handlers for SIGINT, SIGTERM and SIGHUP (stop), without
// SA_RESTART so that a sleep or a wait is cut short; ignores SIGPIPE.
void install_stop_handlers();

// The last stop signal received (by a handler or taken by a sleep), or 0.
int received_stop_signal();

// Holds the signals that end a run (SIGINT, SIGTERM, SIGHUP, SIGQUIT) or
// suspend it (SIGTSTP), and SIGCONT, blocked in the calling thread, to be
// taken only by sleep_taking_held_signals; ignores SIGPIPE. A signal ignored
// when the program started (nohup, a background job of a script) stays
// ignored. Call it before any thread is started.
void hold_run_signals();

// Sleeps `ns` nanoseconds (not at all when ns <= 0), or until a held signal
// is pending, which it takes: an ending one becomes received_stop_signal(),
// SIGTSTP a suspend request, SIGCONT a resume notice. With nothing held it is
// a plain sleep. Returns false when the sleep was cut short.
bool sleep_taking_held_signals(int64_t ns);

// True once per SIGTSTP taken since the last call.
bool take_suspend_request();

// True once per SIGCONT taken since the last call.
bool take_resume_notice();

// Stops the process as SIGTSTP's default action does, and returns once it is
// continued (at once when its process group is orphaned and may not stop).
void stop_as_suspended();

// Ends the process by `signo` (reset to its default action, unblocked and
// raised), so that its parent sees it killed by that signal; exits with
// 128 + signo should the signal not end it. On Windows it exits with
// STATUS_CONTROL_C_EXIT (0xC000013A), as a console program Ctrl+C ends does.
[[noreturn]] void end_by_signal(int signo);

}  // namespace varnock

#endif  // VARNOCK_PLATFORM_SIGNALS_H_
