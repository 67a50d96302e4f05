// The signals that end or suspend a program or tell it of its terminal
// resized, and the one place a program takes them: its wait. They are held
// blocked while it works, so that none interrupts a write, a publish or a
// message, and one that comes between a check and a wait is taken by that
// wait at once.
// On Windows the signals are the console's events: Ctrl+C (SIGINT),
// Ctrl+Break (SIGBREAK) and the window's close, logoff or shutdown (SIGTERM),
// delivered on a thread of the system's; nothing suspends the process there.
#ifndef VARNOCK_PLATFORM_SIGNALS_H_
#define VARNOCK_PLATFORM_SIGNALS_H_

#include <cstdint>

namespace varnock {

// Which signals a program holds.
enum class RunSignals {
  // SIGINT, SIGTERM and SIGHUP end the run (varnock-check).
  kStop,
  // Those end it; SIGWINCH tells of the terminal resized, for a program that
  // draws to its size (varnock-gather).
  kStopAndResize,
  // Those and SIGQUIT end it; SIGTSTP asks for a suspend and SIGCONT tells of
  // a resume, for a console that gives the terminal back while stopped
  // (varnock, varnock-pace).
  kStopAndSuspend,
};

// Holds `which` blocked in the calling thread and in every thread it starts
// later, to be taken only by wait_taking_signals; ignores SIGPIPE. A signal
// ignored when the program started (nohup, a background job of a script)
// stays ignored. Call it once, from the main thread, before any thread is
// started (LCM starts threads), so that no other thread ever takes them.
void hold_run_signals(RunSignals which);

enum class Wake { kTimeout, kReadable, kSignal };

// Waits up to `timeout_ns` (not at all when <= 0) for `fd` to be readable
// (fd < 0: the time alone; on Windows always the time alone), taking any held
// signal that is pending or comes meanwhile: an ending one becomes
// received_stop_signal(), SIGTSTP a suspend request, SIGCONT a resume notice,
// SIGWINCH a resize notice.
// kSignal when one was taken; a signal pending while `fd` is readable is
// taken first, when the last such look was a millisecond ago or more (a
// readable descriptor takes it within a millisecond). With nothing held it
// only waits. Call from the thread that held them.
Wake wait_taking_signals(int fd, int64_t timeout_ns);

// The last stop signal taken, or 0. Any thread may call.
int received_stop_signal();

// True once per SIGTSTP taken since the last call.
bool take_suspend_request();

// True once per SIGCONT taken since the last call.
bool take_resume_notice();

// True once per SIGWINCH taken since the last call; never on Windows.
bool take_resize_notice();

// Stops the process as SIGTSTP's default action does, and returns once it is
// continued (at once when its process group is orphaned and may not stop).
void stop_as_suspended();

// Ends the process by `signo` (reset to its default action, unblocked and
// raised), so that its parent sees it killed by that signal; exits with
// 128 + signo should the signal not end it. On Windows it exits with
// STATUS_CONTROL_C_EXIT (0xC000013A), as a console program Ctrl+C ends does.
[[noreturn]] void end_by_signal(int signo);

// Ends the process as a filter whose reader has gone away ends: quietly, by
// SIGPIPE, once its own cleanup is done: what the caller has not closed or
// flushed is lost. On Windows, which has no
// SIGPIPE, it exits with 141 (128 + 13), as ports of POSIX tools do.
[[noreturn]] void end_for_lost_reader();

}  // namespace varnock

#endif  // VARNOCK_PLATFORM_SIGNALS_H_
