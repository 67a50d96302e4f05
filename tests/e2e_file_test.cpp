// The real program at a pseudo-terminal, publishing through LCM's file
// provider; the log it leaves is read back and every message checked.
#include <gtest/gtest.h>
#include <lcm/eventlog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/pty_process.h"
#include "tests/support/run_check.h"

namespace varnock {
namespace {

using namespace std::chrono_literals;
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

TEST_F(FileBusRun, PublishesCheckedCyclesUntilAKeyAndReportsTheirRate) {
  PtyProcess varnock(VARNOCK_BINARY, options());
  ASSERT_TRUE(varnock.wait_for_output([](const std::string& o) { return rate_lines(o) >= 3; }, 15s))
      << varnock.output();
  EXPECT_TRUE(stopped_terminal_mode(varnock.settings())) << "keys are not read one by one";
  varnock.type("q");
  EXPECT_EQ(varnock.wait_exit(15s), 0);
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
  EXPECT_EQ(varnock.wait_exit(15s), 0);
  EXPECT_EQ(varnock.output(), "varnock\n");
  EXPECT_EQ(varnock.unread_input(), 1);
  EXPECT_TRUE(testing::same_settings(varnock.settings(), varnock.settings_before()));
  std::vector<int64_t> seconds;
  EXPECT_EQ(testing::check_log(log_path(), &seconds), "");
  EXPECT_TRUE(seconds.empty());
}

TEST_F(FileBusRun, UnknownProviderExits1WithOnlyTheBanner) {
  PtyProcess varnock(VARNOCK_BINARY, options("nosuchprovider://x"));
  EXPECT_EQ(varnock.wait_exit(15s), 1);
  EXPECT_EQ(varnock.output(), "varnock\n");
  EXPECT_TRUE(testing::same_settings(varnock.settings(), varnock.settings_before()));
}

TEST_F(FileBusRun, CtrlCRestoresTheTerminalAndExits130) {
  PtyProcess varnock(VARNOCK_BINARY, options());
  ASSERT_TRUE(
      varnock.wait_for_output([](const std::string& o) { return rate_lines(o) >= 1; }, 15s));
  varnock.type("\x03");
  EXPECT_EQ(varnock.wait_exit(15s), 130);
  EXPECT_TRUE(testing::same_settings(varnock.settings(), varnock.settings_before()));
  std::vector<int64_t> seconds;
  EXPECT_EQ(testing::check_log(log_path(), &seconds), "") << "the last cycle was not completed";
}

TEST_F(FileBusRun, TerminationSignalsEndTheRunCleanly) {
  for (const int signo : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signo);
    PtyProcess varnock(VARNOCK_BINARY, options());
    ASSERT_TRUE(varnock.wait_for_output([](const std::string& o) { return o.size() > 8; }, 15s));
    kill(varnock.pid(), signo);
    EXPECT_EQ(varnock.wait_exit(15s), 128 + signo);
    EXPECT_TRUE(testing::same_settings(varnock.settings(), varnock.settings_before()));
  }
}

TEST_F(FileBusRun, CtrlZGivesTheTerminalBackAndResumesInKeyMode) {
  PtyProcess varnock(VARNOCK_BINARY, options());
  ASSERT_TRUE(
      varnock.wait_for_output([](const std::string& o) { return rate_lines(o) >= 1; }, 15s));
  varnock.type("\x1a");
  ASSERT_TRUE(varnock.wait_stopped(15s));
  EXPECT_TRUE(testing::same_settings(varnock.settings(), varnock.settings_before()));
  kill(varnock.pid(), SIGCONT);
  const int before = rate_lines(varnock.output());
  ASSERT_TRUE(varnock.wait_for_output(
      [before](const std::string& o) { return rate_lines(o) >= before + 2; }, 15s));
  EXPECT_TRUE(stopped_terminal_mode(varnock.settings()));
  varnock.type("q");
  EXPECT_EQ(varnock.wait_exit(15s), 0);
  EXPECT_TRUE(testing::same_settings(varnock.settings(), varnock.settings_before()));
}

}  // namespace
}  // namespace varnock
