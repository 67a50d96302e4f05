// Runs a program under a fresh pseudo-terminal, as a user at a terminal would.
#ifndef VARNOCK_TESTS_SUPPORT_PTY_PROCESS_H_
#define VARNOCK_TESTS_SUPPORT_PTY_PROCESS_H_

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace varnock::testing {

struct PtyOptions {
  // Environment changes: a value sets the variable, nullopt removes it.
  std::vector<std::pair<std::string, std::optional<std::string>>> env;
  // Typed at the terminal before the program starts.
  std::string typed_before_start;
  // Whether the terminal echoes typing (before the program changes it).
  bool echo = true;
  // Where the program's standard error goes; empty: to the terminal.
  std::string stderr_path = "/dev/null";
  // The terminal's size; 0 leaves a fresh pseudo-terminal's, 0x0.
  unsigned short rows = 0;
  unsigned short columns = 0;
};

class PtyProcess {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts `path` (no arguments) with the terminal on its standard input and
  // output; throws std::runtime_error when that fails.
  PtyProcess(const std::string& path, const PtyOptions& options)
      : PtyProcess(std::vector<std::string>{path}, options) {}
  // The same with arguments: argv[0] is the program's path.
  PtyProcess(const std::vector<std::string>& argv, const PtyOptions& options);
  // Kills the program if it is still running.
  ~PtyProcess();
  PtyProcess(const PtyProcess&) = delete;
  PtyProcess& operator=(const PtyProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Reads output until `done(output())` holds; false after `timeout`.
  bool wait_for_output(const std::function<bool(const std::string&)>& done,
                       std::chrono::milliseconds timeout);
  // Output so far, with the terminal's "\r\n" turned back into "\n".
  const std::string& output() const { return output_; }

  void type(std::string_view keys) const;
  // Resizes the terminal; the kernel tells the program by SIGWINCH.
  void resize(unsigned short rows, unsigned short columns) const;

  // Waits for the program to end; returns its exit status (128 + signal when
  // a signal killed it), or nullopt after `timeout`.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);
  // How the program ended, once wait_exit has returned a status:
  // describe_wait_status's words; "running" before.
  const std::string& ending() const { return ending_; }
  // Waits until the program is stopped (Ctrl+Z); false after `timeout`.
  bool wait_stopped(std::chrono::milliseconds timeout);

  // The terminal's current settings, and those it had before the start.
  termios settings() const;
  const termios& settings_before() const { return before_; }
  // Bytes typed at the terminal that nobody has read.
  int unread_input() const;

 private:
  // Moves available output into output_, waiting up to `wait` for some.
  void pump(std::chrono::milliseconds wait);

  int master_ = -1;
  int slave_ = -1;
  pid_t pid_ = -1;
  bool exited_ = false;
  std::string ending_ = "running";
  termios before_{};
  std::string output_;
};

// Same terminal settings, as far as a program at it can tell.
bool same_settings(const termios& a, const termios& b);

}  // namespace varnock::testing

#endif  // VARNOCK_TESTS_SUPPORT_PTY_PROCESS_H_
