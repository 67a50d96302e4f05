#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "platform/console.h"
#include "platform/signals.h"
#include "platform/writes.h"

namespace varnock {

struct ProcessConsole::State {
  enum class Input { kTerminal, kStream, kNever };

  static bool in_foreground();
  // Saves the terminal's settings and switches to key mode; false (and the
  // terminal given up as an input) when it cannot.
  bool enter_key_mode();
  // Puts the terminal in key mode over saved; the same false.
  bool apply_key_mode();
  void restore_terminal();
  void suspend();
  void resumed();

  Input input = Input::kNever;
  bool key_mode = false;  // the terminal is in the mode this process set
  termios saved{};        // its settings from before, restored at the end
};

ProcessConsole::ProcessConsole() : state_(std::make_unique<State>()) {
  hold_run_signals(RunSignals::kStopAndSuspend);
  struct stat st {};
  if (fstat(STDIN_FILENO, &st) != 0) return;  // closed: never a key
  if (isatty(STDIN_FILENO) != 0) {
    state_->input = State::Input::kTerminal;
    if (State::in_foreground()) state_->enter_key_mode();
  } else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
    state_->input = State::Input::kStream;
  }
}

ProcessConsole::~ProcessConsole() { state_->restore_terminal(); }

bool ProcessConsole::State::in_foreground() {
  // Changing the terminal from the background would stop the process
  // (SIGTTOU), or, with SIGTTOU blocked, change it under the shell. A terminal
  // that is not the controlling one has no foreground: it is ours.
  const pid_t foreground = tcgetpgrp(STDIN_FILENO);
  return foreground < 0 || foreground == getpgrp();
}

bool ProcessConsole::State::enter_key_mode() {
  if (tcgetattr(STDIN_FILENO, &saved) != 0) {
    input = Input::kNever;
    return false;
  }
  return apply_key_mode();
}

bool ProcessConsole::State::apply_key_mode() {
  termios keys = saved;
  // Keys become readable one by one and are not echoed; ISIG stays so that
  // Ctrl+C and Ctrl+Z still signal. TCSANOW keeps keys typed before start.
  keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  keys.c_cc[VMIN] = 1;
  keys.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &keys) != 0) {
    input = Input::kNever;
    return false;
  }
  key_mode = true;
  return true;
}

void ProcessConsole::State::restore_terminal() {
  // Out of the foreground, the shell has put its own settings back already.
  if (key_mode && in_foreground()) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  key_mode = false;
}

void ProcessConsole::State::suspend() {
  restore_terminal();
  stop_as_suspended();
  // Key mode returns with the foreground, at the next key test.
}

void ProcessConsole::State::resumed() {
  // Stopped other than by Ctrl+Z (SIGSTOP), the process kept key mode, but a
  // shell gives the terminal its own settings when a job stops.
  if (!key_mode) return;
  if (in_foreground()) {
    apply_key_mode();
  } else {
    key_mode = false;
  }
}

void ProcessConsole::write(std::string_view text) { write_flushed(stdout, text); }

bool ProcessConsole::key_waiting() {
  State& s = *state_;
  if (take_suspend_request()) s.suspend();
  if (take_resume_notice()) s.resumed();
  if (s.input == State::Input::kNever) return false;
  // A job brought to the foreground while running gets no signal, so the
  // foreground is looked for at every test until key mode is on.
  if (s.input == State::Input::kTerminal && !s.key_mode &&
      !(State::in_foreground() && s.enter_key_mode())) {
    return false;
  }
  int pending = 0;
  return ioctl(STDIN_FILENO, FIONREAD, &pending) == 0 && pending > 0;
}

int ProcessConsole::stop_signal() { return received_stop_signal(); }

}  // namespace varnock
