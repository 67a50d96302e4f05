#include "tests/support/pty_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "tests/support/child_process.h"

namespace varnock::testing {
namespace {

int status_of(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  return 128 + WTERMSIG(wstatus);
}

}  // namespace

PtyProcess::PtyProcess(const std::vector<std::string>& argv, const PtyOptions& options) {
  std::vector<char*> args = exec_args(argv);
  winsize size{};
  size.ws_row = options.rows;
  size.ws_col = options.columns;
  if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) {
    throw std::runtime_error("openpty failed");
  }
  termios t{};
  tcgetattr(slave_, &t);
  if (!options.echo) t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  tcsetattr(slave_, TCSANOW, &t);
  tcgetattr(master_, &before_);
  if (!options.typed_before_start.empty()) type(options.typed_before_start);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    close(master_);
    const int err = options.stderr_path.empty()
                        ? -1
                        : open(options.stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int tty = dup(slave_);
    if (login_tty(tty) != 0) _exit(126);
    if (err >= 0) dup2(err, STDERR_FILENO);
    for (const auto& [name, value] : options.env) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    execv(args[0], args.data());
    _exit(127);
  }
}

PtyProcess::~PtyProcess() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  close(master_);
  close(slave_);
}

void PtyProcess::pump(std::chrono::milliseconds wait) {
  pollfd p{master_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(wait.count())) <= 0) return;
  char buffer[4096];
  const ssize_t n = read(master_, buffer, sizeof buffer);
  for (ssize_t i = 0; i < n; ++i) {
    if (buffer[i] != '\r') output_.push_back(buffer[i]);
  }
}

bool PtyProcess::wait_for_output(const std::function<bool(const std::string&)>& done,
                                 std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (!done(output_)) {
    if (Clock::now() >= end) return false;
    pump(std::chrono::milliseconds(20));
  }
  return true;
}

void PtyProcess::type(std::string_view keys) const {
  if (write(master_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
    throw std::runtime_error("could not type at the terminal");
  }
}

void PtyProcess::resize(unsigned short rows, unsigned short columns) const {
  winsize size{};
  size.ws_row = rows;
  size.ws_col = columns;
  if (ioctl(master_, TIOCSWINSZ, &size) != 0)
    throw std::runtime_error("could not resize the terminal");
}

std::optional<int> PtyProcess::wait_exit(std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  for (;;) {
    int wstatus = 0;
    if (waitpid(pid_, &wstatus, WNOHANG) == pid_ && (WIFEXITED(wstatus) || WIFSIGNALED(wstatus))) {
      exited_ = true;
      ending_ = describe_wait_status(wstatus);
      pump(std::chrono::milliseconds(50));  // what it wrote last
      pump(std::chrono::milliseconds(0));
      return status_of(wstatus);
    }
    if (Clock::now() >= end) return std::nullopt;
    pump(std::chrono::milliseconds(10));
  }
}

bool PtyProcess::wait_stopped(std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  for (;;) {
    int wstatus = 0;
    if (waitpid(pid_, &wstatus, WNOHANG | WUNTRACED) == pid_ && WIFSTOPPED(wstatus)) return true;
    if (Clock::now() >= end) return false;
    pump(std::chrono::milliseconds(10));
  }
}

termios PtyProcess::settings() const {
  termios t{};
  tcgetattr(master_, &t);
  return t;
}

int PtyProcess::unread_input() const {
  int n = -1;
  ioctl(slave_, FIONREAD, &n);
  return n;
}

bool same_settings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc);
}

}  // namespace varnock::testing
