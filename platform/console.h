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

// This process's standard input and output. While one exists: a terminal on
// standard input is in non-canonical, no-echo mode (signals still work);
// SIGINT, SIGTERM and SIGHUP request a stop; SIGPIPE is ignored; Ctrl+Z gives
// the terminal its settings back while the process is stopped. Destroying it
// restores the terminal.
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

  void enter_key_mode();
  void restore_terminal();
  void suspend();

  Input input_ = Input::kNever;
  termios saved_{};
};

}  // namespace varnock

#endif  // VARNOCK_PLATFORM_CONSOLE_H_
