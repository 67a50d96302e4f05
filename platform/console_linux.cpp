#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/console.h"
#include "platform/signals.h"

namespace varnock {

ProcessConsole::ProcessConsole() {
  hold_run_signals();
  struct stat st {};
  if (fstat(STDIN_FILENO, &st) != 0) return;  // closed: never a key
  if (isatty(STDIN_FILENO) != 0) {
    input_ = Input::kTerminal;
    if (in_foreground()) enter_key_mode();
  } else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
    input_ = Input::kStream;
  }
}

ProcessConsole::~ProcessConsole() { restore_terminal(); }

bool ProcessConsole::in_foreground() {
  // Changing the terminal from the background would stop the process
  // (SIGTTOU), or, with SIGTTOU blocked, change it under the shell. A terminal
  // that is not the controlling one has no foreground: it is ours.
  const pid_t foreground = tcgetpgrp(STDIN_FILENO);
  return foreground < 0 || foreground == getpgrp();
}

bool ProcessConsole::enter_key_mode() {
  if (tcgetattr(STDIN_FILENO, &saved_) != 0) {
    input_ = Input::kNever;
    return false;
  }
  return apply_key_mode();
}

bool ProcessConsole::apply_key_mode() {
  termios keys = saved_;
  // Keys become readable one by one and are not echoed; ISIG stays so that
  // Ctrl+C and Ctrl+Z still signal. TCSANOW keeps keys typed before start.
  keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  keys.c_cc[VMIN] = 1;
  keys.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &keys) != 0) {
    input_ = Input::kNever;
    return false;
  }
  key_mode_ = true;
  return true;
}

void ProcessConsole::restore_terminal() {
  // Out of the foreground, the shell has put its own settings back already.
  if (key_mode_ && in_foreground()) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  key_mode_ = false;
}

void ProcessConsole::suspend() {
  restore_terminal();
  stop_as_suspended();
  // Key mode returns with the foreground, at the next key test.
}

void ProcessConsole::resumed() {
  // Stopped other than by Ctrl+Z (SIGSTOP), the process kept key mode, but a
  // shell gives the terminal its own settings when a job stops.
  if (!key_mode_) return;
  if (in_foreground()) {
    apply_key_mode();
  } else {
    key_mode_ = false;
  }
}

void ProcessConsole::write(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

bool ProcessConsole::key_waiting() {
  if (take_suspend_request()) suspend();
  if (take_resume_notice()) resumed();
  if (input_ == Input::kNever) return false;
  // A job brought to the foreground while running gets no signal, so the
  // foreground is looked for at every test until key mode is on.
  if (input_ == Input::kTerminal && !key_mode_ && !(in_foreground() && enter_key_mode())) {
    return false;
  }
  int pending = 0;
  return ioctl(STDIN_FILENO, FIONREAD, &pending) == 0 && pending > 0;
}

int ProcessConsole::stop_signal() { return received_stop_signal(); }

}  // namespace varnock
