// The console the publisher talks to: standard output, the key that ends the
// run and the signals that stop it, behind a seam tests replace.
#ifndef VARNOCK_PLATFORM_CONSOLE_H_
#define VARNOCK_PLATFORM_CONSOLE_H_

#include <memory>
#include <string_view>

namespace varnock {

class Console {
 public:
  virtual ~Console() = default;
  // Writes `text` to standard output and flushes it; errors are ignored.
  virtual void write(std::string_view text) = 0;
  // True when a key is waiting; never waits and never consumes the key.
  virtual bool key_waiting() = 0;
  // The signal that asked the run to stop, or 0.
  virtual int stop_signal() = 0;
};

// This process's standard input and output. While one exists, the signals
// (on Windows: the console's Ctrl+C, Ctrl+Break and close events) that end or
// suspend the run are held (hold_run_signals): the clock's sleep takes them.
// Destroying it restores the terminal or console. Use it from one thread.
//
// Linux: a terminal on standard input is touched only from its foreground
// process group: there it is put in non-canonical, no-echo mode (signals still
// work) and keys count; in the background, keys are the shell's and never
// count, and the terminal is left alone until the process is brought to the
// foreground, with or without a stop. Ctrl+Z gives the terminal its settings
// back and stops the process; continued in the foreground, it returns to key
// mode. With a pipe, any byte waiting counts as a key.
//
// Windows: on a console, a key press (a modifier alone is none) counts; the
// console's mode is changed for the run (no quick edit, so that a click in
// the window cannot freeze the output) and restored. A thread of its own
// waits for the key and puts it back, so that it is left unread, as on Linux;
// the thread ends with the first key or with the process. With a pipe, any
// byte waiting counts as a key.
class ProcessConsole final : public Console {
 public:
  ProcessConsole();
  ~ProcessConsole() override;
  ProcessConsole(const ProcessConsole&) = delete;
  ProcessConsole& operator=(const ProcessConsole&) = delete;

  void write(std::string_view text) override;
  bool key_waiting() override;
  int stop_signal() override;

 private:
  struct State;  // the platform's: platform/console_linux.cpp, console_win32.cpp
  std::unique_ptr<State> state_;
};

}  // namespace varnock

#endif  // VARNOCK_PLATFORM_CONSOLE_H_
