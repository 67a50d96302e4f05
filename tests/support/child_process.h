// A program started with arguments, its output going to files.
#ifndef VARNOCK_TESTS_SUPPORT_CHILD_PROCESS_H_
#define VARNOCK_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace varnock::testing {

class ChildProcess {
 public:
  // Starts argv[0] (found on PATH) with standard input from /dev/null and
  // standard output and error into the given files; throws when it cannot.
  ChildProcess(const std::vector<std::string>& argv, const std::string& stdout_path,
               const std::string& stderr_path);
  // Kills the program if it is still running.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int signo) const;
  // The exit status (128 + signal when a signal killed it), or nullopt after `timeout`.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
};

// How a process ended, from its wait status: "exit N", or "killed by SIGxxx"
// (the signal's name), so that a test tells a death by SIGINT from exit 130.
std::string describe_wait_status(int wstatus);

// The state letter of /proc/PID/stat ('R', 'S', 'T' for stopped, ...), or 0
// when there is no such process.
char process_state(pid_t pid);

// Arguments for execv/execvp: pointers into `argv`, then a null pointer.
std::vector<char*> exec_args(const std::vector<std::string>& argv);

// A "NAME:   N kB" field of /proc/PID/status (VmRSS, VmHWM) in KiB, or -1.
long proc_status_kib(pid_t pid, const std::string& name);

// The whole content of a file; empty when it cannot be read.
std::string read_file(const std::string& path);

}  // namespace varnock::testing

#endif  // VARNOCK_TESTS_SUPPORT_CHILD_PROCESS_H_
