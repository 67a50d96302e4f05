// varnock-check stopped by each stop signal: the run ends at the signal, not
// at its --seconds, with its summary written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/exit_status.h"
#include "tests/support/child_process.h"

namespace varnock {
namespace {

using nlohmann::json;
using testing::ChildProcess;

std::vector<json> json_lines(const std::string& text) {
  std::vector<json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
  return lines;
}

TEST(CheckStop, EachStopSignalEndsTheRunWithItsSummary) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("varnock-stop-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  for (const int signo : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signo));
    // Files of each run's own, so that none is read for another's.
    const std::string out = (dir / ("out" + std::to_string(signo))).string();
    const std::string err = (dir / ("err" + std::to_string(signo))).string();
    ChildProcess check({CHECK_BINARY, "--json", "--url", "memq://", "--seconds", "120"}, out, err);
    // The start line comes once the signals are held and the bus is open.
    for (int i = 0; i < 500 && testing::read_file(out).find('\n') == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_NE(testing::read_file(out).find('\n'), std::string::npos) << testing::read_file(err);
    check.signal(signo);
    // Nothing was received on a bus of its own: the run's own status, and
    // long before its --seconds.
    EXPECT_EQ(check.wait_exit(std::chrono::seconds(30)), kExitShortfall) << testing::read_file(err);
    const std::vector<json> lines = json_lines(testing::read_file(out));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front()["type"], "start");
    EXPECT_EQ(lines.back()["type"], "summary");
    EXPECT_LT(lines.back()["seconds"].get<double>(), 60.0);
    EXPECT_NE(testing::read_file(err).find("nothing received"), std::string::npos);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace varnock
