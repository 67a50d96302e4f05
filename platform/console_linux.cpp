#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "platform/console.h"
#include "platform/signals.h"

namespace varnock {

ProcessConsole::ProcessConsole() {
  install_signal_handlers();
  struct stat st {};
  if (fstat(STDIN_FILENO, &st) != 0) return;  // closed: never a key
  if (isatty(STDIN_FILENO) != 0 && tcgetattr(STDIN_FILENO, &saved_) == 0) {
    input_ = Input::kTerminal;
    enter_key_mode();
  } else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
    input_ = Input::kStream;
  }
}

ProcessConsole::~ProcessConsole() { restore_terminal(); }

void ProcessConsole::enter_key_mode() {
  termios keys = saved_;
  // Keys become readable one by one and are not echoed; ISIG stays so that
  // Ctrl+C and Ctrl+Z still signal. TCSANOW keeps keys typed before start.
  keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  keys.c_cc[VMIN] = 1;
  keys.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &keys);
}

void ProcessConsole::restore_terminal() {
  if (input_ == Input::kTerminal) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

void ProcessConsole::suspend() {
  restore_terminal();
  raise(SIGSTOP);
  // Resumed (fg): back to key mode.
  if (input_ == Input::kTerminal) enter_key_mode();
}

void ProcessConsole::write(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

bool ProcessConsole::key_waiting() {
  if (take_suspend_request()) suspend();
  if (input_ == Input::kNever) return false;
  int pending = 0;
  return ioctl(STDIN_FILENO, FIONREAD, &pending) == 0 && pending > 0;
}

int ProcessConsole::stop_signal() { return received_stop_signal(); }

}  // namespace varnock
