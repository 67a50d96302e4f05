// The real program at a pseudo-terminal, publishing through LCM's file
// provider; the log it leaves is read back and every message checked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <lcm/eventlog.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/pty_process.h"
#include "tests/support/run_check.h"

namespace varnock {
namespace {

using testing::PtyOptions;
using testing::PtyProcess;

int rate_lines(const std::string& output) {
  return static_cast<int>(std::count(output.begin(), output.end(), '\n')) - 1;
}

bool stopped_terminal_mode(const termios& t) {
  return (t.c_lflag & ICANON) == 0 && (t.c_lflag & ECHO) == 0 && (t.c_lflag & ISIG) != 0;
}

class FileBusRun : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "varnock-e2e-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string log_path() const { return (dir_ / "run.log").string(); }

  PtyOptions options(std::string url = "") const {
    if (url.empty()) {
      url = "file://";
      url += log_path();
      url += "?mode=w";
    }
    PtyOptions o;
    o.env.emplace_back("LCM_DEFAULT_URL", url);
    o.stderr_path = (dir_ / "stderr").string();
    return o;
  }

  std::filesystem::path dir_;
};

// Arguments are answered without opening the bus: the log is never created.
TEST_F(FileBusRun, ArgumentsTable) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out_contains;  // in standard output
    std::string err_contains;  // in standard error
  };
  const Case cases[] = {
      {{"--help"}, 0, "LCM_DEFAULT_URL", ""},
      {{"-h"}, 0, "Exit status", ""},
      {{"--version"}, 0, "varnock 0.", ""},
      {{"--rate"}, 2, "", "unexpected argument '--rate'"},
      {{"--help", "--version"}, 2, "", "usage: varnock"},
      {{""}, 2, "", "usage: varnock"},
  };
  setenv("LCM_DEFAULT_URL", options().env[0].second->c_str(), 1);
  for (const Case& c : cases) {
    std::vector<std::string> argv{VARNOCK_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const std::string out = (dir_ / "out").string();
    const std::string err = (dir_ / "err").string();
    std::optional<int> status;
    {
      testing::ChildProcess child(argv, out, err);
      status = child.wait_exit(std::chrono::seconds(10));
    }
    const std::string what = c.args.empty() ? "" : c.args[0];
    EXPECT_EQ(status, c.status) << what;
    EXPECT_NE(testing::read_file(out).find(c.out_contains), std::string::npos) << what;
    EXPECT_NE(testing::read_file(err).find(c.err_contains), std::string::npos) << what;
    if (c.status == 2) {
      EXPECT_EQ(testing::read_file(out), "") << what;
    }
    EXPECT_FALSE(std::filesystem::exists(log_path())) << what << " opened the bus";
  }
  unsetenv("LCM_DEFAULT_URL");
}

TEST_F(FileBusRun, PublishesCheckedCyclesUntilAKeyAndReportsTheirRate) {
  PtyProcess varnock(VARNOCK_BINARY, options());
  ASSERT_TRUE(varnock.wait_for_output([](const std::string& o) { return rate_lines(o) >= 3; },
                                      std::chrono::seconds(15)))
      << varnock.output();
  EXPECT_TRUE(stopped_terminal_mode(varnock.settings())) << "keys are not read one by one";
  varnock.type("q");
  EXPECT_EQ(varnock.wait_exit(std::chrono::seconds(15)), 0);
  EXPECT_TRUE(testing::same_settings(varnock.settings(), varnock.settings_before()));
  EXPECT_EQ(varnock.unread_input(), 1) << "the key that ended the run was read";

  std::vector<int64_t> seconds;
  ASSERT_EQ(testing::check_log(log_path(), &seconds), "");
  EXPECT_GE(seconds.size(), 3u);
  const std::string lines = testing::after_banner(varnock.output());
  ASSERT_FALSE(lines.empty()) << varnock.output();
  EXPECT_EQ(testing::check_rate_lines(seconds, lines), "");
}

TEST_F(FileBusRun, KeyWaitingAtStartPublishesNothing) {
  PtyOptions o = options();
  o.typed_before_start.assign(1, 'k');  // not = "k": GCC 12 warns falsely (-Wrestrict)
  o.echo = false;
  PtyProcess varnock(VARNOCK_BINARY, o);
  EXPECT_EQ(varnock.wait_exit(std::chrono::seconds(15)), 0);
  EXPECT_EQ(varnock.output(), "varnock\n");
  EXPECT_EQ(varnock.unread_input(), 1);
  EXPECT_TRUE(testing::same_settings(varnock.settings(), varnock.settings_before()));
  std::vector<int64_t> seconds;
  EXPECT_EQ(testing::check_log(log_path(), &seconds), "");
  EXPECT_TRUE(seconds.empty());
}

TEST_F(FileBusRun, UnknownProviderExits1WithOnlyTheBanner) {
  PtyProcess varnock(VARNOCK_BINARY, options("nosuchprovider://x"));
  EXPECT_EQ(varnock.wait_exit(std::chrono::seconds(15)), 1);
  EXPECT_EQ(varnock.output(), "varnock\n");
  EXPECT_TRUE(testing::same_settings(varnock.settings(), varnock.settings_before()));
}

TEST_F(FileBusRun, CtrlCRestoresTheTerminalAndExits130) {
  PtyProcess varnock(VARNOCK_BINARY, options());
  ASSERT_TRUE(varnock.wait_for_output([](const std::string& o) { return rate_lines(o) >= 1; },
                                      std::chrono::seconds(15)));
  varnock.type("\x03");
  EXPECT_EQ(varnock.wait_exit(std::chrono::seconds(15)), 130);
  EXPECT_TRUE(testing::same_settings(varnock.settings(), varnock.settings_before()));
  std::vector<int64_t> seconds;
  EXPECT_EQ(testing::check_log(log_path(), &seconds), "") << "the last cycle was not completed";
}

TEST_F(FileBusRun, TerminationSignalsEndTheRunCleanly) {
  for (const int signo : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signo);
    PtyProcess varnock(VARNOCK_BINARY, options());
    ASSERT_TRUE(varnock.wait_for_output([](const std::string& o) { return o.size() > 8; },
                                        std::chrono::seconds(15)));
    kill(varnock.pid(), signo);
    EXPECT_EQ(varnock.wait_exit(std::chrono::seconds(15)), 128 + signo);
    EXPECT_TRUE(testing::same_settings(varnock.settings(), varnock.settings_before()));
  }
}

TEST_F(FileBusRun, CtrlZGivesTheTerminalBackAndResumesInKeyMode) {
  PtyProcess varnock(VARNOCK_BINARY, options());
  ASSERT_TRUE(varnock.wait_for_output([](const std::string& o) { return rate_lines(o) >= 1; },
                                      std::chrono::seconds(15)));
  varnock.type("\x1a");
  ASSERT_TRUE(varnock.wait_stopped(std::chrono::seconds(15)));
  EXPECT_TRUE(testing::same_settings(varnock.settings(), varnock.settings_before()));
  kill(varnock.pid(), SIGCONT);
  const int before = rate_lines(varnock.output());
  ASSERT_TRUE(varnock.wait_for_output(
      [before](const std::string& o) { return rate_lines(o) >= before + 2; },
      std::chrono::seconds(15)));
  EXPECT_TRUE(stopped_terminal_mode(varnock.settings()));
  varnock.type("q");
  EXPECT_EQ(varnock.wait_exit(std::chrono::seconds(15)), 0);
  EXPECT_TRUE(testing::same_settings(varnock.settings(), varnock.settings_before()));
}

// memcheck over a short run: no error, and no block definitely lost.
TEST_F(FileBusRun, UnderValgrindNoErrorAndNothingLost) {
#ifdef VARNOCK_SANITIZE
  GTEST_SKIP() << "a sanitizer build does not run under valgrind";
#endif
  if (std::system("valgrind --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no valgrind here";
  const std::string report = (dir_ / "memcheck").string();
  PtyProcess varnock({"/usr/bin/valgrind", "--quiet", "--error-exitcode=99", "--leak-check=full",
                      "--errors-for-leak-kinds=definite", "--log-file=" + report, VARNOCK_BINARY},
                     options());
  ASSERT_TRUE(varnock.wait_for_output([](const std::string& o) { return rate_lines(o) >= 2; },
                                      std::chrono::seconds(120)))
      << varnock.output();
  varnock.type("q");
  EXPECT_EQ(varnock.wait_exit(std::chrono::seconds(60)), 0) << testing::read_file(report);
  std::vector<int64_t> seconds;
  EXPECT_EQ(testing::check_log(log_path(), &seconds), "");
}

// Standard input that is not a terminal: unread bytes in a pipe are a key;
// /dev/null and a regular file never are, so such a run ends by a signal.
TEST_F(FileBusRun, StandardInputOtherThanATerminal) {
  struct Case {
    const char* name;
    const char* input;  // "pipe" holds one unread byte
    int expected_status;
  };
  const Case cases[] = {
      {"pipe with a byte", "pipe", 0},
      {"/dev/null", "/dev/null", 128 + SIGTERM},
      {"regular file with bytes", "file", 128 + SIGTERM},
      {"closed", "closed", 128 + SIGTERM},
  };
  const std::string url = "file://" + log_path() + "?mode=w";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int stdin_fd = -1;
    int keep_open = -1;
    if (std::string(c.input) == "pipe") {
      int fds[2];
      ASSERT_EQ(pipe(fds), 0);
      ASSERT_EQ(write(fds[1], "k", 1), 1);
      stdin_fd = fds[0];
      keep_open = fds[1];  // the writer stays, so the byte is all there is
    } else if (std::string(c.input) == "file") {
      const std::string path = (dir_ / "input").string();
      std::FILE* f = std::fopen(path.c_str(), "w");
      ASSERT_NE(f, nullptr);
      std::fputs("keys\n", f);
      std::fclose(f);
      stdin_fd = open(path.c_str(), O_RDONLY);
    } else if (std::string(c.input) == "closed") {
      stdin_fd = open("/dev/null", O_RDONLY);  // placeholder; the child closes its stdin
    } else {
      stdin_fd = open(c.input, O_RDONLY);
    }
    ASSERT_GE(stdin_fd, 0);
    const std::string out_path = (dir_ / "stdout").string();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open("/dev/null", O_WRONLY);
      if (std::string(c.input) == "closed") {
        close(STDIN_FILENO);
      } else {
        dup2(stdin_fd, STDIN_FILENO);
      }
      dup2(out, STDOUT_FILENO);
      dup2(err, STDERR_FILENO);
      setenv("LCM_DEFAULT_URL", url.c_str(), 1);
      execl(VARNOCK_BINARY, VARNOCK_BINARY, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(stdin_fd);
    int wstatus = 0;
    if (c.expected_status != 0) {
      // Still running after a second of cycles: no key came from the input.
      std::this_thread::sleep_for(std::chrono::seconds(1));
      EXPECT_EQ(waitpid(pid, &wstatus, WNOHANG), 0) << "ended without a key";
      kill(pid, SIGTERM);
    }
    ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
    if (keep_open >= 0) close(keep_open);
    EXPECT_TRUE(WIFEXITED(wstatus));
    EXPECT_EQ(WEXITSTATUS(wstatus), c.expected_status);
    std::vector<int64_t> seconds;
    EXPECT_EQ(testing::check_log(log_path(), &seconds), "");
  }
}

}  // namespace
}  // namespace varnock
