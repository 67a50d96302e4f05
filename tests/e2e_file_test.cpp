// The real program at a pseudo-terminal, publishing through LCM's file
// provider; the log it leaves is read back and every message checked. The
// ways a run can end are varnock-pace's too.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <lcm/eventlog.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/pty_process.h"
#include "tests/support/run_check.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

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

// "total: C cycles in ..." of varnock-pace's output; -1 when there is none.
int64_t total_cycles(const std::string& output) {
  const size_t at = output.find("total: ");
  return at == std::string::npos ? -1 : std::atoll(output.c_str() + at + 7);
}

class FileBusRun : public ::testing::Test {
 protected:
  std::string log_path() const { return dir_.path("run.log"); }

  PtyOptions options(std::string url = "") const {
    if (url.empty()) {
      url = "file://";
      url += log_path();
      url += "?mode=w";
    }
    PtyOptions o;
    o.env.emplace_back("LCM_DEFAULT_URL", url);
    o.stderr_path = dir_.path("stderr");
    return o;
  }

  testing::TempDir dir_{"varnock-e2e"};
};

// Arguments are answered without opening the bus: the log is never created.
// Help and the version go to standard output alone, a wrong argument's
// message to standard error alone.
TEST_F(FileBusRun, ArgumentsTable) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out_contains;  // in standard output; "": it stays empty
    std::string err_contains;  // in standard error; "": it stays empty
  };
  const Case cases[] = {
      {{"--help"}, 0, "LCM_DEFAULT_URL", ""},
      {{"-h"}, 0, "Exit status", ""},
      {{"--version"}, 0, "varnock 0.", ""},
      {{"--rate"}, 2, "", "unknown argument '--rate'"},
      {{"--help", "--version"}, 0, "Usage: varnock", ""},
      {{"--version", "--help"}, 0, "varnock 0.", ""},
      {{"--bogus", "--help"}, 2, "", "unknown argument '--bogus'"},
      {{"--help=x"}, 2, "", "--help takes no value"},
      {{""}, 2, "", "Usage: varnock"},
  };
  setenv("LCM_DEFAULT_URL", options().env[0].second->c_str(), 1);
  for (const Case& c : cases) {
    std::vector<std::string> argv{VARNOCK_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const std::string out = dir_.path("out");
    const std::string err = dir_.path("err");
    std::optional<int> status;
    {
      testing::ChildProcess child(argv, out, err);
      status = child.wait_exit(std::chrono::seconds(10));
    }
    std::string what;
    for (const std::string& a : c.args) what += a + " ";
    EXPECT_EQ(status, c.status) << what;
    for (const auto& [stream, contains] : {std::pair{out, c.out_contains}, {err, c.err_contains}}) {
      const std::string text = testing::read_file(stream);
      if (contains.empty()) {
        EXPECT_EQ(text, "") << what << ": " << stream;
      } else {
        EXPECT_NE(text.find(contains), std::string::npos) << what << ": " << text;
      }
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

// However a run of varnock or varnock-pace ends, its last cycle is complete
// in the log, its lines count the cycles the log holds, the terminal has its
// settings back, and a signal that ended it is the one the process died of.
TEST_F(FileBusRun, HowARunEnds) {
  struct Ending {
    const char* name;
    const char* typed;  // at the terminal, or nullptr to send `signo`
    int signo;
    const char* ending;
  };
  const Ending key{"a key", "q", 0, "exit 0"};
  const Ending ctrl_c{"Ctrl+C", "\x03", 0, "killed by SIGINT"};
  const Ending ctrl_backslash{"Ctrl+\\", "\x1c", 0, "killed by SIGQUIT"};
  const Ending term{"SIGTERM", nullptr, SIGTERM, "killed by SIGTERM"};
  const Ending hup{"SIGHUP", nullptr, SIGHUP, "killed by SIGHUP"};
  using Check = std::function<void(const PtyProcess&, const std::vector<int64_t>& cycles)>;
  struct Program {
    const char* name;
    std::vector<std::string> argv;
    int32_t width, height;                            // of its frames in the log
    std::function<bool(const std::string&)> cycling;  // its output once it publishes
    std::function<void(const PtyProcess&)> while_running;
    Check after;  // its output against the cycles in the log
    std::vector<Ending> endings;
  };
  const Program programs[] = {
      {"varnock",
       {VARNOCK_BINARY},
       1280,
       1280,
       [](const std::string& o) { return rate_lines(o) >= 1; },
       [](const PtyProcess& p) { EXPECT_TRUE(stopped_terminal_mode(p.settings())); },
       [](const PtyProcess& p, const std::vector<int64_t>& cycles) {
         EXPECT_EQ(testing::check_rate_lines(cycles, testing::after_banner(p.output())), "");
       },
       {key, ctrl_c, ctrl_backslash, term, hup}},
      {"varnock-pace",
       {PACE_BINARY, "--rate", "40", "--width", "64", "--height", "48", "--url",
        "file://" + log_path() + "?mode=w"},
       64,
       48,
       [](const std::string& o) { return o.find(" rate: requested 40 achieved ") != o.npos; },
       [](const PtyProcess&) {},
       [](const PtyProcess& p, const std::vector<int64_t>& cycles) {
         EXPECT_EQ(total_cycles(p.output()), static_cast<int64_t>(cycles.size())) << p.output();
         EXPECT_EQ(
             p.output().rfind("varnock-pace: 64 x 48 frames (3112 bytes a message) at 40 Hz", 0),
             0u)
             << p.output();
       },
       {key, ctrl_c, term}},
  };
  // SIGQUIT dumps core where the limit allows: not from a test.
  rlimit core{};
  getrlimit(RLIMIT_CORE, &core);
  core.rlim_cur = 0;
  setrlimit(RLIMIT_CORE, &core);
  for (const Program& program : programs) {
    for (const Ending& e : program.endings) {
      SCOPED_TRACE(std::string(program.name) + ", " + e.name);
      PtyProcess run(program.argv, options());
      ASSERT_TRUE(run.wait_for_output(program.cycling, std::chrono::seconds(15))) << run.output();
      program.while_running(run);
      if (e.typed != nullptr) {
        run.type(e.typed);
      } else {
        kill(run.pid(), e.signo);
      }
      ASSERT_TRUE(run.wait_exit(std::chrono::seconds(15)).has_value());
      EXPECT_EQ(run.ending(), e.ending);
      EXPECT_TRUE(testing::same_settings(run.settings(), run.settings_before()));
      std::vector<int64_t> cycles;
      EXPECT_EQ(testing::check_log(log_path(), &cycles, program.width, program.height), "")
          << "the last cycle was not completed";
      program.after(run, cycles);
    }
  }
}

// A script that runs varnock in a loop stops at the first Ctrl+C: bash waits
// for its child and, seeing it killed by SIGINT, dies of SIGINT itself.
TEST_F(FileBusRun, OneCtrlCStopsAShellLoop) {
  PtyProcess shell(
      {"/bin/bash", "-c", "for i in 1 2 3; do \"$0\"; done; echo after", VARNOCK_BINARY},
      options());
  ASSERT_TRUE(shell.wait_for_output([](const std::string& o) { return rate_lines(o) >= 1; },
                                    std::chrono::seconds(15)))
      << shell.output();
  shell.type("\x03");
  ASSERT_TRUE(shell.wait_exit(std::chrono::seconds(15)).has_value());
  EXPECT_EQ(shell.ending(), "killed by SIGINT");
  EXPECT_EQ(shell.output().rfind("varnock\n"), 0u) << "varnock ran again:\n" << shell.output();
  EXPECT_EQ(shell.output().find("after"), std::string::npos) << shell.output();
  EXPECT_TRUE(testing::same_settings(shell.settings(), shell.settings_before()));
}

// varnock as a job of an interactive shell: started in the background it
// runs without touching the terminal; in the foreground it reads keys;
// Ctrl+Z, bg, SIGSTOP and fg each leave it where the shell says, with the
// terminal in the mode of whoever has the foreground.
TEST_F(FileBusRun, JobControlUnderAnInteractiveShell) {
  PtyOptions o = options();
  o.env.emplace_back("VARNOCK", VARNOCK_BINARY);
  o.env.emplace_back("PS1", "$ ");
  o.stderr_path.clear();  // the shell's prompt and job reports
  PtyProcess shell({"/bin/bash", "--norc", "--noprofile", "--noediting", "-i"}, o);
  const auto wait_until = [&shell](const std::function<bool()>& done) {
    return shell.wait_for_output([&done](const std::string&) { return done(); },
                                 std::chrono::seconds(15));
  };
  const auto rate_lines_printed = [&shell] {
    const std::string& out = shell.output();
    int n = 0;
    for (size_t at = out.find(" frame rate: "); at != std::string::npos;
         at = out.find(" frame rate: ", at + 1)) {
      ++n;
    }
    return n;
  };
  const auto key_mode = [&shell] { return stopped_terminal_mode(shell.settings()); };
  const auto line_mode = [&shell] {
    const termios t = shell.settings();
    return (t.c_lflag & ICANON) != 0 && (t.c_lflag & ECHO) != 0;
  };

  shell.type("\"$VARNOCK\" & echo \"pid=$!\"\n");
  std::smatch pid_match;
  const std::regex pid_line("\npid=([0-9]+)\n");
  ASSERT_TRUE(shell.wait_for_output(
      [&](const std::string& out) { return std::regex_search(out, pid_match, pid_line); },
      std::chrono::seconds(15)))
      << shell.output();
  const pid_t pid = std::stoi(pid_match[1]);
  const auto state = [pid] { return testing::process_state(pid); };

  // In the background: running, publishing, the terminal left to the shell.
  int lines = rate_lines_printed();
  ASSERT_TRUE(wait_until([&] { return rate_lines_printed() >= lines + 2; })) << shell.output();
  EXPECT_NE(state(), 'T') << "stopped in the background";
  EXPECT_TRUE(line_mode());
  shell.type("\n");  // a key for the shell, not for varnock
  lines = rate_lines_printed();
  ASSERT_TRUE(wait_until([&] { return rate_lines_printed() >= lines + 1; })) << shell.output();
  EXPECT_NE(state(), 0) << "a key typed in the background ended it";

  // fg of a running job: no signal comes, yet key mode does.
  shell.type("fg\n");
  ASSERT_TRUE(wait_until(key_mode)) << "no key mode after fg";

  // Ctrl+Z: stopped with the terminal given back; bg: running again.
  shell.type("\x1a");
  ASSERT_TRUE(wait_until([&] { return state() == 'T'; }));
  EXPECT_TRUE(wait_until(line_mode));
  shell.type("bg\n");
  ASSERT_TRUE(wait_until([&] { return state() != 'T'; }));
  lines = rate_lines_printed();
  ASSERT_TRUE(wait_until([&] { return rate_lines_printed() >= lines + 2; })) << shell.output();
  EXPECT_NE(state(), 'T');
  EXPECT_TRUE(line_mode()) << "the terminal was changed from the background";

  // Stopped by SIGSTOP, where the shell puts its own settings back: fg
  // brings key mode back all the same.
  shell.type("fg\n");
  ASSERT_TRUE(wait_until(key_mode));
  kill(pid, SIGSTOP);
  ASSERT_TRUE(wait_until([&] { return state() == 'T'; }));
  ASSERT_TRUE(wait_until(line_mode));
  shell.type("fg\n");
  ASSERT_TRUE(wait_until(key_mode)) << "no key mode after SIGSTOP and fg";

  // A key ends it with status 0; the key is left for the shell.
  shell.type(" ");
  ASSERT_TRUE(wait_until([&] { return state() == 0; })) << "the key did not end it";
  EXPECT_TRUE(wait_until(line_mode));
  shell.type("echo \"status=$?\"; exit\n");
  EXPECT_TRUE(shell.wait_exit(std::chrono::seconds(15)).has_value());
  EXPECT_NE(shell.output().find("\nstatus=0\n"), std::string::npos) << shell.output();
  std::vector<int64_t> seconds;
  EXPECT_EQ(testing::check_log(log_path(), &seconds), "");
}

// memcheck over a short run: no error, and no block definitely lost.
TEST_F(FileBusRun, UnderValgrindNoErrorAndNothingLost) {
#ifdef VARNOCK_SANITIZE
  GTEST_SKIP() << "a sanitizer build does not run under valgrind";
#endif
  if (std::system("valgrind --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no valgrind here";
  const std::string report = dir_.path("memcheck");
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
    bool key;
    const char* ending;
  };
  const Case cases[] = {
      {"pipe with a byte", "pipe", true, "exit 0"},
      {"/dev/null", "/dev/null", false, "killed by SIGTERM"},
      {"regular file with bytes", "file", false, "killed by SIGTERM"},
      {"closed", "closed", false, "killed by SIGTERM"},
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
      const std::string path = dir_.path("input");
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
    const std::string out_path = dir_.path("stdout");
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
    if (!c.key) {
      // Still running after two rate lines, a second of cycles and their key
      // tests: no key came from the input.
      EXPECT_TRUE(testing::wait_until([&] { return testing::file_lines(out_path).size() >= 3; },
                                      std::chrono::seconds(15)))
          << testing::read_file(out_path);
      EXPECT_EQ(waitpid(pid, &wstatus, WNOHANG), 0) << "ended without a key";
      kill(pid, SIGTERM);
    }
    ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
    if (keep_open >= 0) close(keep_open);
    EXPECT_EQ(testing::describe_wait_status(wstatus), c.ending);
    std::vector<int64_t> seconds;
    EXPECT_EQ(testing::check_log(log_path(), &seconds), "");
  }
}

}  // namespace
}  // namespace varnock
