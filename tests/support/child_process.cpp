#include "tests/support/child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace varnock::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& stdout_path,
                           const std::string& stderr_path) {
  std::vector<char*> args = exec_args(argv);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    execvp(args[0], args.data());
    _exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void ChildProcess::signal(int signo) const { kill(pid_, signo); }

std::optional<int> ChildProcess::wait_exit(std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int wstatus = 0;
    if (waitpid(pid_, &wstatus, WNOHANG) == pid_) {
      exited_ = true;
      return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    }
    if (std::chrono::steady_clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string describe_wait_status(int wstatus) {
  if (WIFEXITED(wstatus)) return "exit " + std::to_string(WEXITSTATUS(wstatus));
  if (WIFSIGNALED(wstatus)) {
    const char* name = sigabbrev_np(WTERMSIG(wstatus));
    return std::string("killed by SIG") +
           (name != nullptr ? name : std::to_string(WTERMSIG(wstatus)));
  }
  return "wait status " + std::to_string(wstatus);
}

char process_state(pid_t pid) {
  // "PID (COMM) S ...": COMM may hold spaces and parentheses, the last ')' ends it.
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() ? '\0' : stat[paren + 2];
}

std::vector<char*> exec_args(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  return args;
}

long proc_status_kib(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const std::string prefix = name + ":";
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::atol(line.c_str() + prefix.size());
  }
  return -1;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace varnock::testing
