// varnock-pace as a user runs it: at a terminal, recording to an LCM log,
// ended by a key or a signal; and, inside a network namespace of its own,
// a paced stream of small frames checked whole by varnock-check.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/netns.h"
#include "tests/support/pty_process.h"
#include "tests/support/run_check.h"

namespace varnock {
namespace {

using nlohmann::json;
using testing::ChildProcess;
using testing::PtyOptions;
using testing::PtyProcess;

// "total: C cycles in ..." of an output; -1 when there is none.
int64_t total_cycles(const std::string& output) {
  const size_t at = output.find("total: ");
  return at == std::string::npos ? -1 : std::atoll(output.c_str() + at + 7);
}

// The achieved rates of the "<second> rate: requested R achieved A" lines.
std::vector<double> achieved_rates(const std::string& output) {
  std::vector<double> rates;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (const size_t at = line.find(" achieved ");
        at != std::string::npos && line.find(" rate: requested ") != std::string::npos &&
        line.rfind("total: ", 0) != 0) {
      rates.push_back(std::atof(line.c_str() + at + 10));
    }
  }
  return rates;
}

class PaceRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "varnock-pace-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const char* name) const { return (dir_ / name).string(); }

  std::filesystem::path dir_;
};

// However the run ends, its last cycle is complete in the log, the total
// line counts every cycle, the terminal has its settings back, and a signal
// that ended it is the one it died of.
TEST_F(PaceRunTest, AtATerminalAKeyOrASignalEndsTheRun) {
  struct Case {
    const char* name;
    const char* typed;  // at the terminal, or nullptr to send `signo`
    int signo;
    const char* ending;
  };
  const Case cases[] = {
      {"a key", "q", 0, "exit 0"},
      {"Ctrl+C", "\x03", 0, "killed by SIGINT"},
      {"SIGTERM", nullptr, SIGTERM, "killed by SIGTERM"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string log = path("run.log");
    PtyOptions options;
    options.stderr_path = path("stderr");
    PtyProcess pace({PACE_BINARY, "--rate", "40", "--width", "64", "--height", "48", "--url",
                     "file://" + log + "?mode=w"},
                    options);
    ASSERT_TRUE(pace.wait_for_output(
        [](const std::string& o) { return o.find(" rate: requested 40 achieved ") != o.npos; },
        std::chrono::seconds(15)))
        << pace.output();
    if (c.typed != nullptr) {
      pace.type(c.typed);
    } else {
      kill(pace.pid(), c.signo);
    }
    ASSERT_TRUE(pace.wait_exit(std::chrono::seconds(15)).has_value());
    EXPECT_EQ(pace.ending(), c.ending);
    EXPECT_TRUE(testing::same_settings(pace.settings(), pace.settings_before()));
    std::vector<int64_t> seconds;
    EXPECT_EQ(testing::check_log(log, &seconds, 64, 48), "");
    EXPECT_EQ(total_cycles(pace.output()), static_cast<int64_t>(seconds.size())) << pace.output();
    EXPECT_EQ(
        pace.output().rfind("varnock-pace: 64 x 48 frames (3112 bytes a message) at 40 Hz", 0), 0u)
        << pace.output();
  }
}

// With --json, standard output is JSON lines only: the start line names the
// run, each second's line counts the cycles the log shows for the seconds
// since the last one, and the summary counts every cycle in the log.
TEST_F(PaceRunTest, JsonLinesAccountForEveryCyclePublished) {
  struct Case {
    const char* rate;
    int64_t seconds;
    json rate_hz;
  };
  const Case cases[] = {{"40", 2, 40}, {"max", 1, nullptr}};
  ChildProcess version_run({PACE_BINARY, "--version"}, path("version"), path("version.err"));
  ASSERT_EQ(version_run.wait_exit(std::chrono::seconds(10)), 0);
  // "varnock-pace VERSION\n"
  std::string version = testing::read_file(path("version"));
  version = version.substr(version.find(' ') + 1);
  version.pop_back();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    const std::string log = path("run.log");
    const std::string url = "file://" + log + "?mode=w";
    ChildProcess pace({PACE_BINARY, "--json", "--rate", c.rate, "--width", "64", "--height", "48",
                       "--seconds", std::to_string(c.seconds), "--url", url},
                      path("pace.out"), path("pace.err"));
    ASSERT_EQ(pace.wait_exit(std::chrono::seconds(20)), 0) << testing::read_file(path("pace.err"));
    std::vector<int64_t> cycle_seconds;
    ASSERT_EQ(testing::check_log(log, &cycle_seconds, 64, 48), "");

    std::vector<json> lines;
    std::istringstream out(testing::read_file(path("pace.out")));
    std::string line;
    while (std::getline(out, line)) {
      json j;
      ASSERT_NO_THROW(j = json::parse(line)) << line;
      lines.push_back(j);
    }
    ASSERT_GE(lines.size(), 2u);
    const json& start = lines.front();
    const json& summary = lines.back();
    EXPECT_EQ(start, json({{"type", "start"},
                           {"version", version},
                           {"url", url},
                           {"width", 64},
                           {"height", 48},
                           {"message_bytes", 3112},
                           {"rate_hz", c.rate_hz},
                           {"seconds", c.seconds}}));
    ASSERT_EQ(summary["type"], "summary") << summary;
    EXPECT_EQ(summary["cycles"], cycle_seconds.size());
    EXPECT_EQ(summary["seconds"], c.seconds);
    EXPECT_EQ(summary["rate_hz"], c.rate_hz);
    EXPECT_NEAR(summary["achieved_hz"].get<double>(),
                static_cast<double>(cycle_seconds.size()) / static_cast<double>(c.seconds), 0.05);

    size_t cycle = 0;
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
      const json& second = lines[i];
      ASSERT_EQ(second["type"], "second") << second;
      const size_t before = cycle;
      while (cycle < cycle_seconds.size() && cycle_seconds[cycle] < second["second"]) ++cycle;
      EXPECT_EQ(second["cycles"], cycle - before) << second;
    }
  }
}

class PaceInNamespace : public PaceRunTest {
 protected:
  static void SetUpTestSuite() { skip_reason_ = testing::enter_multicast_namespace(); }
  void SetUp() override {
    if (!skip_reason_.empty()) GTEST_SKIP() << skip_reason_ << ": namespace test skipped";
    PaceRunTest::SetUp();
  }
  static std::string skip_reason_;
};
std::string PaceInNamespace::skip_reason_;

TEST_F(PaceInNamespace, PacedSmallFramesAreCheckedWhole) {
  ChildProcess check({CHECK_BINARY, "--json", "--seconds", "5", "--url",
                      "udpm://239.255.76.67:7667?ttl=0&recv_buf_size=4194304"},
                     path("check.out"), path("check.err"));
  // The start line is written once the checker has subscribed.
  for (int i = 0; i < 200 && testing::read_file(path("check.out")).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ChildProcess pace({PACE_BINARY, "--rate", "50", "--width", "640", "--height", "480", "--seconds",
                     "3", "--url", "udpm://239.255.76.67:7667?ttl=0"},
                    path("pace.out"), path("pace.err"));
  EXPECT_EQ(pace.wait_exit(std::chrono::seconds(10)), 0) << testing::read_file(path("pace.err"));
  EXPECT_EQ(check.wait_exit(std::chrono::seconds(10)), 0) << testing::read_file(path("check.err"));

  const std::string published = testing::read_file(path("pace.out"));
  EXPECT_NE(
      published.find("total: 150 cycles in 3.000 s: requested 50 achieved 50.0, send drops 0\n"),
      std::string::npos)
      << published;
  for (const double rate : achieved_rates(published)) EXPECT_NEAR(rate, 50, 5) << published;

  json summary;
  std::vector<json> rows;
  std::istringstream lines(testing::read_file(path("check.out")));
  std::string line;
  while (std::getline(lines, line)) {
    json j = json::parse(line);
    if (j["type"] == "second") rows.push_back(j);
    if (j["type"] == "summary") summary = j;
  }
  ASSERT_FALSE(summary.is_null());
  EXPECT_EQ(summary["frames"], 150);
  EXPECT_EQ(summary["status_records"], 150);
  EXPECT_EQ(summary["lost"], 0);
  EXPECT_EQ(summary["corrupt"], 0);
  EXPECT_EQ(summary["runs"], 1);
  EXPECT_EQ(summary["run_periods"], json::parse("[[60, 209]]"));
  EXPECT_EQ(summary["bytes"], 150 * (63 + 307'240));
  // About 50 frames in each whole second of the run (the first and last
  // with frames are partly outside it).
  std::vector<int64_t> frames;
  for (const json& r : rows) {
    if (r["frames"] > 0) frames.push_back(r["frames"]);
  }
  ASSERT_GE(frames.size(), 3u);
  for (size_t i = 1; i + 1 < frames.size(); ++i) EXPECT_NEAR(frames[i], 50, 1) << i;
}

}  // namespace
}  // namespace varnock
