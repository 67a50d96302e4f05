// varnock-gather against the real LCM: logs written by LCM's file provider
// with the reports of two checkers and a message that is none, read back by
// the program as JSON lines, CSV, text rows and, under a pseudo-terminal,
// its table; a run stopped by a signal, and runs that end badly. Then, in
// network namespaces, the accounts of real checkers gathered across hosts.
#include <gtest/gtest.h>
#include <lcm/lcm.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "messages/check_report_t.h"
#include "messages/encoding.h"
#include "tests/support/check_in_namespace.h"
#include "tests/support/child_process.h"
#include "tests/support/pty_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace varnock {
namespace {

using nlohmann::json;
using testing::CheckOutput;
using testing::ChildProcess;
using testing::nft;
using testing::parse_check_output;
using Bytes = std::vector<uint8_t>;

constexpr int64_t kSecond = 1'700'000'000;
constexpr char kLoopbackUrl[] = "udpm://239.255.76.67:7667?ttl=0";

Bytes encode(const check_report_t& m) {
  Bytes b(static_cast<size_t>(m.encoded_size()));
  store_big_endian<8>(b.data(), check_report_t::fingerprint);
  EXPECT_GT(m.encode_payload(b.data(), 8, static_cast<int32_t>(b.size() - 8)), 0);
  return b;
}

check_report_t report(const char* name, const char* host, int32_t pid, int64_t second,
                      int64_t frames, int64_t lost) {
  check_report_t m;
  m.name = name;
  m.host = host;
  m.pid = pid;
  m.url = "udpm://239.255.76.67:7667?ttl=0";
  m.instance = pid;
  m.sequence = second - kSecond;
  m.utime = second * 1'000'000;
  m.second = second;
  m.seconds = 1;
  m.status_records = frames;
  m.frames = frames;
  m.lost = lost;
  m.bytes = frames * 1000;
  m.kernel_drops = m.lost_reassembly_memory = m.lost_fragments = m.lost_in_lcm = 0;
  m.lost_checksum = m.lost_other = m.send_drops = 0;
  m.lost_receive_buffer = lost;
  m.latency_ms_p50 = 1.5;
  m.latency_ms_p99 = 3.25;
  m.latency_ms_max = 4;
  m.delivery_ms_p50 = 2;
  return m;
}

// Two checkers: alpha reports two seconds and ends with a summary of its
// own (120 frames where its seconds add up to 118), beta, on a file bus
// (its kernel's counts unknown), one second and no summary. Between them a
// message that is no report, and a report on a channel nobody listens to.
std::vector<std::pair<std::string, Bytes>> two_checkers() {
  check_report_t beta = report("beta", "host-b", 202, kSecond, 50, 1);
  beta.kernel_drops = beta.lost_receive_buffer = beta.lost_reassembly_memory = -1;
  beta.lost_fragments = beta.lost_in_lcm = beta.lost_checksum = beta.lost_other = -1;
  beta.latency_ms_p99 = 6.5;
  check_report_t summary = report("alpha", "host-a", 101, kSecond + 1, 120, 2);
  summary.kind = check_report_t::kKindSummary;
  summary.seconds = 2.5;
  summary.sequence = 2;
  const std::string garbage = "this is no report";
  return {
      {"VARNOCK_CHECK", encode(report("alpha", "host-a", 101, kSecond, 60, 0))},
      {"VARNOCK_CHECK", encode(beta)},
      {"VARNOCK_CHECK", Bytes(garbage.begin(), garbage.end())},
      {"RECSTAT", encode(report("stray", "host-c", 303, kSecond, 1, 0))},
      {"VARNOCK_CHECK", encode(report("alpha", "host-a", 101, kSecond + 1, 58, 2))},
      {"VARNOCK_CHECK", encode(summary)},
  };
}

struct Ran {
  int status = -1;
  std::string out;
  std::string err;
};

std::vector<json> json_lines(const std::string& out) {
  std::vector<json> lines;
  std::istringstream text(out);
  for (std::string line; std::getline(text, line);) lines.push_back(json::parse(line));
  return lines;
}

class GatherRun : public ::testing::Test {
 protected:
  std::string path(const char* name) const { return dir_.path(name); }

  // A log of `messages` written through LCM's file provider; its URL for
  // reading at full speed.
  std::string write_log(const std::vector<std::pair<std::string, Bytes>>& messages) {
    const std::string log = path("checks.log");
    lcm_t* bus = lcm_create(("file://" + log + "?mode=w").c_str());
    EXPECT_NE(bus, nullptr);
    if (bus == nullptr) return "";
    for (const auto& [channel, bytes] : messages) {
      EXPECT_EQ(
          lcm_publish(bus, channel.c_str(), bytes.data(), static_cast<unsigned int>(bytes.size())),
          0);
    }
    lcm_destroy(bus);
    return "file://" + log + "?speed=0";
  }

  std::unique_ptr<ChildProcess> start(std::vector<std::string> args) {
    args.insert(args.begin(), GATHER_BINARY);
    return std::make_unique<ChildProcess>(args, path("out"), path("err"));
  }

  Ran finished(ChildProcess& gather, std::chrono::seconds timeout = std::chrono::seconds(20)) {
    Ran r;
    r.status = gather.wait_exit(timeout).value_or(-1);
    r.out = testing::read_file(path("out"));
    r.err = testing::read_file(path("err"));
    return r;
  }

  Ran run(const std::vector<std::string>& args) { return finished(*start(args)); }

  testing::TempDir dir_{"varnock-gather"};
};

TEST_F(GatherRun, JsonShowsEveryCheckerTheTotalAndTheSilentOne) {
  const std::string url = write_log(two_checkers());
  // Read at once; the 4 s that follow make beta, which never ended, silent.
  const Ran r = run({"--json", "--seconds", "4", "--url", url});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<json> lines = json_lines(r.out);
  ASSERT_EQ(lines.size(), 5u) << r.out;

  EXPECT_EQ(lines[0]["type"], "start");
  EXPECT_EQ(lines[0]["url"], url);
  EXPECT_EQ(lines[0]["seconds"], 4);
  const json& alpha0 = lines[1];
  EXPECT_EQ(alpha0["type"], "second");
  EXPECT_EQ(alpha0["name"], "alpha");
  EXPECT_EQ(alpha0["host"], "host-a");
  EXPECT_EQ(alpha0["pid"], 101);
  EXPECT_EQ(alpha0["second"], kSecond);
  EXPECT_EQ(alpha0["frames"], 60);
  EXPECT_EQ(alpha0["bytes"], 60'000);
  EXPECT_EQ(alpha0["latency_ms_p50"], 1.5);
  EXPECT_TRUE(alpha0["inter_arrival_ms_p50"].is_null());
  const json& beta = lines[2];
  EXPECT_EQ(beta["name"], "beta");
  EXPECT_TRUE(beta["kernel_drops"].is_null());
  EXPECT_TRUE(beta["lost_other"].is_null());
  EXPECT_EQ(beta["lost"], 1);
  EXPECT_EQ(lines[3]["name"], "alpha");
  EXPECT_EQ(lines[3]["second"], kSecond + 1);
  EXPECT_EQ(lines[3]["lost_receive_buffer"], 2);

  const json& summary = lines[4];
  EXPECT_EQ(summary["type"], "summary");
  EXPECT_EQ(summary["malformed"], 1);
  ASSERT_EQ(summary["checkers"].size(), 2u) << "the report on RECSTAT is nobody's";
  const json& a = summary["checkers"][0];
  EXPECT_EQ(a["name"], "alpha");
  EXPECT_EQ(a["ended"], true);
  EXPECT_EQ(a["silent"], false);
  EXPECT_EQ(a["frames"], 120) << "its own summary, not its seconds added up";
  EXPECT_EQ(a["seconds"], 2.5);
  const json& b = summary["checkers"][1];
  EXPECT_EQ(b["name"], "beta");
  EXPECT_EQ(b["host"], "host-b");
  EXPECT_EQ(b["pid"], 202);
  EXPECT_EQ(b["silent"], true);
  EXPECT_EQ(b["ended"], false);
  EXPECT_EQ(b["frames"], 50);
  const json& total = summary["total"];
  EXPECT_EQ(total["frames"], 170);
  EXPECT_EQ(total["lost"], 3);
  EXPECT_TRUE(total["kernel_drops"].is_null()) << "beta could not know it";
  EXPECT_TRUE(total["latency_ms_p50"].is_null());
  EXPECT_EQ(total["latency_ms_p99"], 6.5);
  EXPECT_GE(summary["seconds"].get<double>(), 4.0);

  const size_t warned = r.err.find("ignoring a message on VARNOCK_CHECK");
  EXPECT_NE(warned, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("ignoring", warned + 1), std::string::npos) << r.err;
}

TEST_F(GatherRun, CsvRowsAndTheEndOfTheLog) {
  const std::string url = write_log(two_checkers());
  const auto started = std::chrono::steady_clock::now();
  const Ran r = run({"--csv", "--url", url});
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3))
      << "without --seconds the end of the log ends the run";
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("end of the log"), std::string::npos) << r.err;
  std::istringstream text(r.out);
  std::vector<std::string> lines;
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u) << r.out;
  // The fields of the one table, in its order, with its rounding.
  EXPECT_EQ(lines[0],
            "name,host,pid,instance,second,status_records,frames,lost,lost_lower_bound,"
            "lost_estimated,corrupt,duplicates,"
            "late,runs,unsequenced,kernel_drops,lost_receive_buffer,lost_reassembly_memory,"
            "lost_fragments,lost_in_lcm,lost_checksum,lost_other,bytes,latency_ms_p50,"
            "latency_ms_p99,latency_ms_max,inter_arrival_ms_p50,inter_arrival_ms_p99,"
            "inter_arrival_ms_max,delivery_ms_p50,delivery_ms_p99,delivery_ms_max,"
            "lcm_queue_ms_p50,lcm_queue_ms_p99,lcm_queue_ms_max,send_drops");
  EXPECT_EQ(lines[1],
            "alpha,host-a,101,101,1700000000,60,60,0,false,0,0,0,0,0,0,0,0,0,0,0,0,0,60000,"
            "1.50,3.25,4.00,,,,2.00,,,,,,0");
  EXPECT_EQ(lines[2],
            "beta,host-b,202,202,1700000000,50,50,1,false,0,0,0,0,0,0,,,,,,,,50000,"
            "1.50,6.50,4.00,,,,2.00,,,,,,0");
  EXPECT_EQ(lines[3].substr(0, 35), "alpha,host-a,101,101,1700000001,58,");
}

TEST_F(GatherRun, TextRowsComeWithTheirSecondsTotal) {
  const Ran r = run({"--url", write_log(two_checkers())});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* line : {
           "1700000000  alpha  frames 60  lost 0  cause -  send drops 0  latency p50 1.50 ms  "
           "delivery p50 "
           "2.00",
           "1700000000  beta  frames 50  lost 1  cause unknown",
           "1700000000  total  frames 110  lost 1  cause unknown  send drops 0  (2 checkers)\n",
           "1700000001  total  frames 58  lost 2  cause receive_buffer  send drops 0  (1 "
           "checker)\n",
           "summary: 2 checkers, 0 silent, 1 malformed message",
           "alpha (host-a, pid 101): ended, 2.5 s, frames 120, lost 2 (receive_buffer)",
           "beta (host-b, pid 202): reporting, 1.0 s, frames 50",
           "total: frames 170, lost 3 (unknown), corrupt 0, latency p99 6.50 ms",
       }) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\nin:\n" << r.out;
  }
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << "no table where there is no terminal";
}

TEST_F(GatherRun, AtATerminalTheTableIsRedrawnInPlace) {
  const std::string url = write_log(two_checkers());
  testing::PtyOptions wide;
  wide.rows = 24;
  wide.columns = 132;
  testing::PtyProcess gather({GATHER_BINARY, "--seconds", "4", "--url", url}, wide);
  ASSERT_EQ(gather.wait_exit(std::chrono::seconds(20)), 0) << gather.output();
  const std::string& out = gather.output();
  // Drawn at least twice: after the first, each starts up over the last
  // (the pty's output has lost its carriage returns).
  EXPECT_NE(out.find("\x1b[5A\x1b[KVARNOCK_CHECK: 2 checkers"), std::string::npos) << out;
  EXPECT_NE(out.find("frames/s   lost/s  cause"), std::string::npos) << out;
  // beta's line, live in the first table: its words, whatever the padding.
  const size_t beta = out.find("\x1b[Kbeta ");
  ASSERT_NE(beta, std::string::npos) << out;
  std::istringstream words(out.substr(beta + 3, out.find('\n', beta) - beta - 3));
  const std::vector<std::string> expected = {"beta", "50",   "1",  "unknown", "1.50",
                                             "ms",   "2.00", "ms", "0"};
  EXPECT_EQ(std::vector<std::string>(std::istream_iterator<std::string>(words), {}), expected);
  EXPECT_NE(out.find("silent"), std::string::npos) << out;
  EXPECT_NE(out.find("summary: 2 checkers, 1 silent"), std::string::npos) << out;
}

// The frames a table drew at a terminal before its summary, each as its
// lines without their codes.
std::vector<std::vector<std::string>> frames_drawn(const std::string& out) {
  std::vector<std::vector<std::string>> frames;
  const std::string table = out.substr(0, out.find("summary: "));
  for (size_t at = 0, end; (end = table.find("\x1b[J", at)) != std::string::npos; at = end + 3) {
    std::vector<std::string> lines;
    std::istringstream text(table.substr(at, end - at));
    for (std::string line; std::getline(text, line);) {
      const size_t start = line.find("\x1b[K");
      EXPECT_NE(start, std::string::npos) << line;
      if (start != std::string::npos) lines.push_back(line.substr(start + 3));
    }
    frames.push_back(lines);
  }
  return frames;
}

// More checkers than an 80x24 terminal has rows: every frame fits it, and,
// the terminal resized to 60x12 during the run, the frames drawn since fit
// that; the resize ends nothing.
TEST_F(GatherRun, AtATerminalTheTableFitsItsSizeThroughAResize) {
  std::vector<std::pair<std::string, Bytes>> messages;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "checker-" + std::to_string(i);
    messages.emplace_back("VARNOCK_CHECK",
                          encode(report(name.c_str(), "host-a", 100 + i, kSecond, 30, i % 3)));
  }
  testing::PtyOptions size;
  size.rows = 24;
  size.columns = 80;
  testing::PtyProcess gather({GATHER_BINARY, "--seconds", "4", "--url", write_log(messages)}, size);
  ASSERT_TRUE(gather.wait_for_output(
      [](const std::string& out) { return out.find("\x1b[J") != std::string::npos; },
      std::chrono::seconds(20)))
      << gather.output();
  const size_t before_resize = frames_drawn(gather.output()).size();
  gather.resize(12, 60);
  ASSERT_EQ(gather.wait_exit(std::chrono::seconds(20)), 0) << gather.ending();
  const std::vector<std::vector<std::string>> frames = frames_drawn(gather.output());
  ASSERT_GE(frames.size(), before_resize + 2) << gather.output();
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    const size_t rows = i < before_resize ? 24 : 12;
    const size_t columns = i < before_resize ? 80 : 60;
    // The frames in flight at the resize may be of either size.
    if (i == before_resize) continue;
    ASSERT_LE(frames[i].size(), rows - 1);
    for (const std::string& line : frames[i]) EXPECT_LE(line.size(), columns) << line;
  }
  EXPECT_EQ(frames[0].size(), 23u);
  EXPECT_EQ(frames.back().size(), 11u);
  EXPECT_EQ(frames.back()[9], "... and 33 more checkers (--json lists them all)");
}

TEST_F(GatherRun, ASignalEndsTheRunWithItsSummaryThenKillsIt) {
  auto gather = start({"--json", "--seconds", "60", "--url", write_log(two_checkers())});
  // The start line and the log's three rows: every report has been read.
  ASSERT_TRUE(testing::wait_until([this] { return testing::file_lines(path("out")).size() >= 4; },
                                  std::chrono::seconds(20)))
      << testing::read_file(path("out")) << testing::read_file(path("err"));
  gather->signal(SIGTERM);
  const Ran r = finished(*gather, std::chrono::seconds(5));
  EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
  const std::vector<json> lines = json_lines(r.out);
  ASSERT_EQ(lines.size(), 5u) << r.out;
  EXPECT_EQ(lines.back()["type"], "summary");
  EXPECT_EQ(lines.back()["total"]["frames"], 170);
}

TEST_F(GatherRun, RunsThatEndBadlySayWhy) {
  const std::string garbage_only =
      write_log({{"VARNOCK_CHECK", Bytes{1, 2, 3}}, {"VARNOCK_CHECK", Bytes(300, 0xFF)}});
  const struct {
    std::vector<std::string> args;
    int status;
    std::string says;
  } cases[] = {
      {{"--seconds", "0"},
       2,
       "varnock-gather: --seconds needs a whole number of seconds from 1 to 31622400, not '0'\n"
       "Usage: varnock-gather"},
      {{"--bogus"}, 2, "varnock-gather: unknown argument '--bogus'"},
      {{"--json", "--csv"}, 2, "choose one"},
      {{"--url", "file://" + path("missing.log")}, 1, "cannot open the bus file://"},
      {{"--json", "--url", garbage_only}, 4, "no checker reported on " + garbage_only},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const Ran r = run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  const Ran nothing = run({"--json", "--url", garbage_only});
  const std::vector<json> lines = json_lines(nothing.out);
  ASSERT_EQ(lines.size(), 2u) << nothing.out;
  EXPECT_EQ(lines[1]["malformed"], 2);
  EXPECT_TRUE(lines[1]["checkers"].empty());
}

// On a bus of hosts inside a network namespace of the test's own, with
// varnock-check and varnock-pace as the checkers and the publisher.
class GatherInNamespace : public testing::CheckInNamespace {
 protected:
  // Starts varnock-gather with `args`, its output in gather.out and
  // gather.err, and waits for its start line: it has subscribed.
  std::unique_ptr<ChildProcess> start_gather(std::vector<std::string> args) {
    args.insert(args.begin(), GATHER_BINARY);
    auto gather = std::make_unique<ChildProcess>(args, path("gather.out"), path("gather.err"));
    EXPECT_TRUE(testing::wait_for_line(
        path("gather.out"),
        [](const std::string& line) {
          return json::parse(line, nullptr, false).value("type", "") == "start";
        },
        std::chrono::seconds(20)))
        << testing::read_file(path("gather.err"));
    return gather;
  }
};

// A test across hosts: a publisher, two receivers (one losing packets on
// its way in), each checker sharing its account, and varnock-gather on a
// fourth host. The gathered summary is, checker by checker, what each
// checker wrote itself.
TEST_F(GatherInNamespace, GatheredAccountsAreTheCheckersOwn) {
  make_bridged_hosts(3);
  if (HasFatalFailure()) return;
  constexpr char kUrl[] = "udpm://239.255.76.67:7667?ttl=1&recv_buf_size=4194304";
  nft("table inet lossy {\n  chain input {\n    type filter hook input priority 0;\n"
      "    meta l4proto udp meta length > 1000 numgen random mod 100 < 2 drop\n  }\n}\n",
      hosts_[2]);
  const auto gather = start_gather({"--json", "--seconds", "8", "--url", kUrl});
  if (HasFailure()) return;
  const std::vector<std::string> names = {"sub-clean", "sub-lossy"};
  std::vector<std::unique_ptr<ChildProcess>> checks;
  for (size_t i = 0; i < names.size(); ++i) {
    checks.push_back(start_check(
        {"ip", "netns", "exec", hosts_[i + 1]},
        {"--json", "--share", "--name", names[i], "--seconds", "5", "--url", kUrl}, names[i]));
  }
  ChildProcess pace({"ip", "netns", "exec", hosts_[0], PACE_BINARY, "--rate", "50", "--width",
                     "640", "--height", "480", "--seconds", "3", "--json", "--url", kUrl},
                    path("pace.out"), path("pace.err"));
  // Small sequenced streams beside the frames, below the size the lossy
  // host drops.
  ChildProcess streams(
      {"ip", "netns", "exec", hosts_[0], PACE_BINARY, "--messages", "200", "--channels", "2",
       "--rate", "1000", "--seconds", "3", "--json", "--url", kUrl},
      path("streams.out"), path("streams.err"));
  EXPECT_EQ(pace.wait_exit(std::chrono::seconds(10)), 0);
  EXPECT_EQ(streams.wait_exit(std::chrono::seconds(10)), 0)
      << testing::read_file(path("streams.err"));
  std::vector<CheckOutput> own;
  for (size_t i = 0; i < names.size(); ++i) own.push_back(finished_check(*checks[i], 0, names[i]));
  EXPECT_EQ(gather->wait_exit(std::chrono::seconds(15)), 0)
      << testing::read_file(path("gather.err"));

  json summary;
  std::istringstream lines(testing::read_file(path("gather.out")));
  for (std::string line; std::getline(lines, line);) {
    const json j = json::parse(line);
    if (j["type"] == "summary") summary = j;
  }
  ASSERT_FALSE(summary.is_null()) << testing::read_file(path("gather.out"));
  EXPECT_EQ(summary["malformed"], 0);
  ASSERT_EQ(summary["checkers"].size(), names.size()) << summary.dump();
  int64_t frames = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    const json* gathered = nullptr;
    for (const json& c : summary["checkers"]) {
      if (c["name"] == names[i]) gathered = &c;
    }
    ASSERT_NE(gathered, nullptr) << summary.dump();
    EXPECT_EQ((*gathered)["silent"], false);
    for (const char* field :
         {"status_records", "frames", "lost", "lost_estimated", "corrupt", "duplicates", "runs",
          "kernel_drops", "lost_receive_buffer", "lost_other"}) {
      EXPECT_EQ((*gathered)[field], own[i].summary[field]) << field;
    }
    frames += own[i].total("frames");
    // The streams as the checker wrote them, times and all.
    ASSERT_EQ(own[i].summary["messages"].size(), 2u) << own[i].text;
    EXPECT_EQ((*gathered)["messages"], own[i].summary["messages"]);
  }
  EXPECT_EQ(summary["total"]["frames"], frames);
  const json& total_streams = summary["total"]["messages"];
  ASSERT_EQ(total_streams.size(), 2u) << summary.dump();
  for (size_t k = 0; k < 2; ++k) {
    EXPECT_EQ(total_streams[k]["channel"], "VARNOCK_MSG_" + std::to_string(k));
    EXPECT_EQ(total_streams[k]["received"],
              own[0].summary["messages"][k]["received"].get<int64_t>() +
                  own[1].summary["messages"][k]["received"].get<int64_t>());
    EXPECT_TRUE(total_streams[k]["latency_ms_p50"].is_null());
    EXPECT_EQ(total_streams[k]["latency_ms_max"],
              std::max(own[0].summary["messages"][k]["latency_ms_max"].get<double>(),
                       own[1].summary["messages"][k]["latency_ms_max"].get<double>()));
  }
  // Both accounted for every cycle published; the packets lost on the way
  // cost the lossy host more frames.
  const CheckOutput published = parse_check_output(testing::read_file(path("pace.out")));
  ASSERT_FALSE(published.summary.is_null()) << published.text;
  for (const CheckOutput& o : own) EXPECT_EQ(o.accounted(), published.total("cycles")) << o.text;
  EXPECT_GT(own[1].total("lost"), own[0].total("lost")) << own[1].text;
}

// A fleet stopped at once sends its reports in one burst, far more than
// LCM's default queue of 30 for a subscription holds: every one is heard.
TEST_F(GatherInNamespace, EveryReportOfABurstIsHeard) {
  const auto gather = start_gather({"--json", "--seconds", "3", "--url", kLoopbackUrl});
  if (HasFailure()) return;
  constexpr int kCheckers = 100;
  lcm_t* bus = lcm_create(kLoopbackUrl);
  ASSERT_NE(bus, nullptr);
  // Each checker's last second and its summary, as a checker ends: two
  // hundred reports back to back.
  for (int i = 0; i < kCheckers; ++i) {
    check_report_t last = report("fleet", "host-f", 1, kSecond, 10, 0);
    last.instance = 1000 + i;
    check_report_t summary = last;
    summary.kind = check_report_t::kKindSummary;
    summary.sequence = last.sequence + 1;
    for (const check_report_t& m : {last, summary}) {
      const Bytes b = encode(m);
      EXPECT_EQ(lcm_publish(bus, "VARNOCK_CHECK", b.data(), static_cast<unsigned>(b.size())), 0);
    }
  }
  lcm_destroy(bus);
  EXPECT_EQ(gather->wait_exit(std::chrono::seconds(15)), 0)
      << testing::read_file(path("gather.err"));
  const std::vector<json> lines = json_lines(testing::read_file(path("gather.out")));
  ASSERT_FALSE(lines.empty());
  const json& summary = lines.back();
  ASSERT_EQ(summary["type"], "summary");
  ASSERT_EQ(summary["checkers"].size(), static_cast<size_t>(kCheckers));
  for (const json& c : summary["checkers"]) EXPECT_EQ(c["ended"], true) << c.dump();
  EXPECT_EQ(summary["total"]["frames"], 10 * kCheckers);
  EXPECT_EQ(summary["missing_reports"], 0);
  EXPECT_EQ(std::ssize(lines), 1 + kCheckers + 1) << "start, a second each, summary";
}

}  // namespace
}  // namespace varnock
