// varnock-check reading LCM logs through LCM's file provider: logs it
// refuses before opening the bus, logs cut short or damaged (what it counts,
// its exit status and where it says reading stopped), and a long run of
// zeros being read when a stop signal comes.
#include <gtest/gtest.h>
#include <lcm/lcm.h>
#include <sys/stat.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/exit_status.h"
#include "tests/support/child_process.h"
#include "tests/support/crafted_messages.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace varnock {
namespace {

using nlohmann::json;
using testing::ChildProcess;

constexpr int kCycles = 10;
constexpr FrameSize kSmall{64, 64};
constexpr int64_t kT0 = 1'700'000'000'000;

// Bytes of a logged event: its header, channel and data.
int64_t event_bytes(const char* channel, size_t data) {
  return 28 + static_cast<int64_t>(std::char_traits<char>::length(channel) + data);
}
const int64_t kStatusEvent = event_bytes("RECSTAT", testing::status().size());
const int64_t kFrameEvent = event_bytes("TFIMAGE", testing::frame(60, kT0, kSmall).size());
const int64_t kCycle = kStatusEvent + kFrameEvent;

// A header as LCM writes it: sync word, number, timestamp, channel and data
// lengths, big-endian.
std::string header(int64_t number, int32_t channel_bytes, int32_t data_bytes) {
  std::string h;
  const auto put = [&h](uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) h += static_cast<char>(v >> (8 * i));
  };
  put(0xEDA1DA01, 4);
  put(static_cast<uint64_t>(number), 8);
  put(static_cast<uint64_t>(kT0 * 1000), 8);
  put(static_cast<uint32_t>(channel_bytes), 4);
  put(static_cast<uint32_t>(data_bytes), 4);
  return h;
}

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string text(int64_t n) { return std::to_string(n); }

struct CheckRun {
  std::optional<int> status;
  std::string out;
  std::string err;
  std::optional<json> summary;  // the last line of --json, when a summary
};

class LogCheck : public ::testing::Test {
 protected:
  void SetUp() override { log_ = record("run.log"); }

  std::string path(const char* name) const { return dir_.path(name); }

  // Records kCycles cycles as varnock publishes them, a status record then
  // a 64 x 64 frame, through LCM's file provider; returns the log's bytes.
  std::string record(const char* name) const {
    lcm_t* bus = lcm_create(("file://" + path(name) + "?mode=w").c_str());
    EXPECT_NE(bus, nullptr);
    if (bus == nullptr) return "";
    for (int i = 0; i < kCycles; ++i) {
      const int64_t ms = kT0 + int64_t{10} * i;
      const testing::Bytes status = testing::status(ms / 1000);
      const testing::Bytes frame = testing::frame(60 + i, ms, kSmall);
      lcm_publish(bus, "RECSTAT", status.data(), static_cast<unsigned>(status.size()));
      lcm_publish(bus, "TFIMAGE", frame.data(), static_cast<unsigned>(frame.size()));
    }
    lcm_destroy(bus);
    return read_bytes(path(name));
  }

  // varnock-check --json on `url`, to its end, with `more` arguments.
  CheckRun check(const std::string& url, const std::vector<std::string>& more = {}) const {
    CheckRun run;
    {
      std::vector<std::string> argv{CHECK_BINARY, "--json", "--url", url};
      argv.insert(argv.end(), more.begin(), more.end());
      ChildProcess check(argv, path("check.out"), path("check.err"));
      run.status = check.wait_exit(std::chrono::seconds(30));
    }
    run.out = testing::read_file(path("check.out"));
    run.err = testing::read_file(path("check.err"));
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
      json j = json::parse(line);
      if (j["type"] == "summary") run.summary = j;
    }
    return run;
  }

  testing::TempDir dir_{"varnock-log"};
  std::string log_;
};

// Refused before the bus is opened, with the reason and the way out: LCM
// would deliver every other event of a stream, and would write over a log
// or seek into it.
TEST_F(LogCheck, WhatCannotBeCheckedIsRefused) {
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(path("folder"));
  struct Case {
    std::string url;
    std::vector<std::string> said;
  };
  const Case cases[] = {
      {"file://" + path("fifo") + "?speed=0",
       {"the log " + path("fifo") + ": it is a pipe (FIFO)", "copy it to a regular file"}},
      {"file:///dev/zero", {"the log /dev/zero: it is a character device"}},
      {"file://" + path("folder"), {"it is a directory"}},
      {"file://" + path("run.log") + "?mode=w", {"mode=w makes LCM write the log"}},
      {"file://" + path("run.log") + "?speed=0&mode=a", {"mode=a makes LCM append"}},
      {"file://" + path("run.log") + "?start_timestamp=1700000000000000",
       {"start_timestamp makes LCM seek"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    const CheckRun run = check(c.url);
    EXPECT_EQ(run.status, kExitUsage);
    for (const std::string& s : c.said) EXPECT_NE(run.err.find(s), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("listening on"), std::string::npos) << "opened the bus: " << run.err;
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(read_bytes(path("run.log")), log_) << "the log was written";
}

// How a log ends decides what is counted and how the check ends. Read to its
// end (whole, or cut short), a log has nothing in flight: a frame whose
// status record is there and the frame not is lost. Damage stops reading
// with exit 7 and says where; LCM drops the event just before it, and is
// never given a header that claims more than it carries (2 GiB crashed it).
TEST_F(LogCheck, HowALogEndsIsTold) {
  const int64_t size = static_cast<int64_t>(log_.size());
  const int64_t last_frame = size - kFrameEvent;
  const int64_t middle = 5 * kCycle;  // where cycle 5 begins
  const std::string garbage(5000, '\x11');
  struct Case {
    const char* name;
    std::string log;
    int status;
    int64_t status_records, frames, lost;
    std::vector<std::string> said;
  };
  const Case cases[] = {
      {"whole", log_, kExitOk, kCycles, kCycles, 0, {"all 20 events read"}},
      {"the last frame missing",
       log_.substr(0, last_frame),
       kExitOk,
       kCycles,
       kCycles - 1,
       1,
       {"all 19 events read"}},
      {"cut inside the last frame",
       log_.substr(0, size - 100),
       kExitOk,
       kCycles,
       kCycles - 1,
       1,
       {"19 events read; then the file ends inside an event of " + text(kFrameEvent) +
        " bytes, at byte " + text(last_frame)}},
      {"cut inside the last frame's header",
       log_.substr(0, last_frame + 10),
       kExitOk,
       kCycles,
       kCycles - 1,
       1,
       {"the file ends inside an event header, at byte " + text(last_frame)}},
      {"garbage in the middle",
       log_.substr(0, middle) + garbage + log_.substr(middle),
       kExitDamagedLog,
       5,
       4,
       0,
       {"is damaged at byte " + text(middle) + " of " + text(size + 5000) + ": no event header",
        "reading stopped at byte " + text(middle - kFrameEvent) + ", after 9 events",
        "an event header follows at byte " + text(middle + 5000)}},
      {"a header claiming 2 GiB in the middle",
       log_.substr(0, middle) + header(10, 7, INT32_MAX) + "TFIMAGE" + log_.substr(middle),
       kExitDamagedLog,
       5,
       4,
       0,
       {"is damaged at byte " + text(middle) + " of ", "claims 2147483647 bytes",
        "reading stopped at byte " + text(middle - kFrameEvent) + ", after 9 events"}},
      {"zeros after the log",
       log_ + std::string(1 << 20, '\0'),
       kExitDamagedLog,
       kCycles,
       kCycles - 1,
       0,
       {"is damaged at byte " + text(size), "no event header follows"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_bytes(path("case.log"), c.log);
    const CheckRun run = check("file://" + path("case.log") + "?speed=0");
    EXPECT_EQ(run.status, c.status) << run.err;
    ASSERT_TRUE(run.summary) << run.out << run.err;
    EXPECT_EQ((*run.summary)["status_records"], c.status_records);
    EXPECT_EQ((*run.summary)["frames"], c.frames);
    EXPECT_EQ((*run.summary)["lost"], c.lost);
    EXPECT_EQ((*run.summary)["corrupt"], 0);
    for (const std::string& s : c.said) EXPECT_NE(run.err.find(s), std::string::npos) << run.err;
  }
}

// Whether process `pid` holds the file at `path` open.
bool holds_open(pid_t pid, const std::string& path) {
  std::error_code error;
  for (const auto& fd :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    if (std::filesystem::read_symlink(fd.path(), error) == path) return true;
  }
  return false;
}

// 64 GiB of zeros (a sparse file) before a log, or after it: LCM's search
// for an event took no signal for minutes; now SIGTERM ends the check while
// it reads them, by that signal, nothing having been accounted.
TEST_F(LogCheck, SigtermEndsTheCheckWhileItReadsARunOfZeros) {
  constexpr int64_t kZeros = int64_t{64} << 30;
  struct Case {
    const char* name;
    int64_t log_at;  // where the log goes; zeros fill the rest
  };
  for (const Case& c : {Case{"zeros before the log", kZeros}, Case{"zeros after the log", 0}}) {
    SCOPED_TRACE(c.name);
    const std::string zeros = path("zeros.log");
    {
      std::ofstream out(zeros, std::ios::binary | std::ios::trunc);
      out.seekp(c.log_at);
      out << log_;
    }
    std::error_code error;
    std::filesystem::resize_file(zeros, kZeros + static_cast<int64_t>(log_.size()), error);
    if (error) GTEST_SKIP() << "no sparse file of 64 GiB here: " << error.message();
    ChildProcess check({CHECK_BINARY, "--json", "--url", "file://" + zeros + "?speed=0"},
                       path("check.out"), path("check.err"));
    // Open, the log is being read, with the stop signals held.
    ASSERT_TRUE(testing::wait_until([&] { return holds_open(check.pid(), zeros); },
                                    std::chrono::seconds(10)))
        << testing::read_file(path("check.err"));
    check.signal(SIGTERM);
    EXPECT_EQ(check.wait_exit(std::chrono::seconds(10)), exit_status_for_signal(SIGTERM))
        << testing::read_file(path("check.err"));
    EXPECT_EQ(testing::read_file(path("check.out")), "");
    std::filesystem::remove(zeros);
  }
}

// --metrics-file is replaced whole each second and at the end holds the
// summary: the same counts as the JSON summary's, the loss (its cause
// unknown on a log) all under "other", each histogram's count the samples.
TEST_F(LogCheck, MetricsFileEndsWithTheSummary) {
  write_bytes(path("cut.log"), log_.substr(0, log_.size() - static_cast<size_t>(kFrameEvent)));
  const std::string file = path("varnock.prom");
  const CheckRun run = check("file://" + path("cut.log") + "?speed=0",
                             {"--metrics-file", file, "--name", "log-reader"});
  ASSERT_EQ(run.status, kExitOk) << run.err;
  ASSERT_TRUE(run.summary) << run.out;
  std::map<std::string, std::string> m;
  std::istringstream lines(testing::read_file(file));
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    m[line.substr(0, line.rfind(' '))] = line.substr(line.rfind(' ') + 1);
  }
  const json& s = *run.summary;
  const auto at = [&m](const std::string& key) { return m.count(key) ? m.at(key) : "absent"; };
  EXPECT_EQ(at("varnock_check_frames_received_total{checker=\"log-reader\"}"), s["frames"].dump());
  EXPECT_EQ(at("varnock_check_status_records_received_total{checker=\"log-reader\"}"),
            s["status_records"].dump());
  EXPECT_EQ(at("varnock_check_frames_lost_total{checker=\"log-reader\",cause=\"other\"}"),
            s["lost"].dump());
  EXPECT_EQ(s["lost"], 1);
  EXPECT_EQ(at("varnock_check_received_bytes_total{checker=\"log-reader\"}"), s["bytes"].dump());
  EXPECT_EQ(at("varnock_check_latency_seconds_count{checker=\"log-reader\"}"), s["frames"].dump());
  EXPECT_EQ(at("varnock_check_kernel_drops_total{checker=\"log-reader\"}"), "absent");
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path(""))) {
    EXPECT_NE(entry.path().extension(), ".tmp") << "a temporary file was left";
  }
}

// A --metrics-file that cannot be written stops the run before it begins.
TEST_F(LogCheck, MetricsFileThatCannotBeWrittenIsSaid) {
  const CheckRun run = check("file://" + path("run.log") + "?speed=0",
                             {"--metrics-file", path("no-such-folder/varnock.prom")});
  EXPECT_EQ(run.status, kExitOutputError);
  EXPECT_NE(run.err.find("cannot write --metrics-file " + path("no-such-folder/varnock.prom") +
                         ": No such file or directory"),
            std::string::npos)
      << run.err;
}

}  // namespace
}  // namespace varnock
