// The console the publisher talks to: standard output, the key that ends the
// run and the signals that stop it, behind a seam tests replace.
#ifndef VARNOCK_PLATFORM_CONSOLE_H_
#define VARNOCK_PLATFORM_CONSOLE_H_

#include <termios.h>

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
// that end or suspend the run are held (hold_run_signals): the clock's sleep
// takes them. A terminal on standard input is touched only from its
// foreground process group: there it is put in non-canonical, no-echo mode
// (signals still work) and keys count; in the background, keys are the
// shell's and never count, and the terminal is left alone until the process
// is brought to the foreground, with or without a stop. Ctrl+Z gives the
// terminal its settings back and stops the process; continued in the
// foreground, it returns to key mode. Destroying it restores the terminal.
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
  enum class Input { kTerminal, kStream, kNever };

  static bool in_foreground();
  // Saves the terminal's settings and switches to key mode; false (and the
  // terminal given up as an input) when it cannot.
  bool enter_key_mode();
  // Puts the terminal in key mode over saved_; the same false.
  bool apply_key_mode();
  void restore_terminal();
  void suspend();
  void resumed();

  Input input_ = Input::kNever;
  bool key_mode_ = false;  // the terminal is in the mode this process set
  termios saved_{};        // its settings from before, restored at the end
};

}  // namespace varnock

#endif  // VARNOCK_PLATFORM_CONSOLE_H_
