// varnock-check's command line and the limits a run is held to.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "account/account.h"
#include "check/check_run.h"
#include "check/options.h"

namespace varnock::check {
namespace {

// Options with `change` applied to the defaults.
Options with(const std::function<void(Options&)>& change) {
  Options o;
  change(o);
  return o;
}

TEST(Options, Table) {
  const std::string long_name(201, 'n');
  struct Case {
    std::vector<const char*> args;
    std::string error_contains;  // "" when valid
    Options expect = {};         // when valid
  };
  const Case cases[] = {
      {{}, ""},
      {{"--url", "memq://", "--seconds", "5", "--json", "--csv", "a.csv"}, "", with([](Options& o) {
         o.url = "memq://";
         o.seconds = 5;
         o.json = true;
         o.csv_path = "a.csv";
       })},
      {{"--seconds", "0"}, "'0'"},
      {{"--seconds", "5x"}, "'5x'"},
      {{"--seconds", "9223372037"}, "'9223372037'"},
      {{"--seconds", "31622401"}, "'31622401'"},
      {{"--seconds", "31622400"}, "", with([](Options& o) { o.seconds = 31'622'400; })},
      {{"--seconds"}, "--seconds needs a value"},
      {{"--url"}, "--url needs a value"},
      {{"--frobnicate"}, "'--frobnicate'"},
      {{"--url=memq://", "--seconds=5", "--csv=a.csv"}, "", with([](Options& o) {
         o.url = "memq://";
         o.seconds = 5;
         o.csv_path = "a.csv";
       })},
      // The value after '=' is taken whole, '=' signs in it included.
      {{"--url=udpm://239.255.76.67:7667?ttl=0&recv_buf_size=1", "--seconds=7"},
       "",
       with([](Options& o) {
         o.url = "udpm://239.255.76.67:7667?ttl=0&recv_buf_size=1";
         o.seconds = 7;
       })},
      {{"--seconds=0"}, "'0'"},
      {{"--url="}, "--url needs a value"},
      {{"--json=yes"}, "--json takes no value"},
      {{"--version"}, "", with([](Options& o) { o.request = Request::kVersion; })},
      {{"--help"}, "", with([](Options& o) { o.request = Request::kHelp; })},
      {{"--max-loss", "0.5", "--min-frames=100", "--handler-ms", "2.5"}, "", with([](Options& o) {
         o.max_loss_percent = 0.5;
         o.min_frames = 100;
         o.handler_ms = 2.5;
       })},
      {{"--max-loss", "0"}, "", with([](Options& o) { o.max_loss_percent = 0; })},
      {{"--max-loss", "101"}, "--max-loss needs a percentage from 0 to 100"},
      {{"--max-loss=-1"}, "'-1'"},
      {{"--min-frames", "1e3"}, "'1e3'"},
      {{"--handler-ms", "nan"}, "'nan'"},
      {{"--handler-ms", "10001"}, "'10001'"},
      {{"--queue-capacity", "1", "--messages-only"}, "", with([](Options& o) {
         o.queue_capacity = 1;
         o.messages_only = true;
       })},
      {{"--queue-capacity", "0"}, "'0'"},
      {{"--queue-capacity", "1000001"}, "'1000001'"},
      {{"--messages-only", "--min-frames", "1"}, "--messages-only does not subscribe"},
      {{"--diagnose", "--seconds=2"}, "", with([](Options& o) {
         o.diagnose = true;
         o.seconds = 2;
       })},
      {{"--diagnose", "--json"}, "--diagnose"},
      {{"--diagnose=yes"}, "--diagnose takes no value"},
      {{"--share", "--name", "cam-sub-1"}, "", with([](Options& o) {
         o.share = true;
         o.name = "cam-sub-1";
       })},
      {{"--name", "cam-sub-1"}, "--name names what --share, --metrics or --metrics-file publish"},
      {{"--metrics", ":9464", "--metrics-file=/var/lib/x.prom", "--name", "cam"},
       "",
       with([](Options& o) {
         o.metrics = ":9464";
         o.metrics_file = "/var/lib/x.prom";
         o.name = "cam";
       })},
      {{"--metrics", "9464"}, "--metrics"},
      {{"--metrics-file="}, "--metrics-file needs a file name"},
      {{"--diagnose", "--metrics", ":9464"}, "shares nothing"},
      {{"--share", "--name="}, "--name needs a name"},
      {{"--share", "--name", long_name.c_str()}, "201 bytes long, more than 200"},
      {{"--diagnose", "--share"}, "shares nothing"},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv = {"varnock-check"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string line;
    for (const char* a : c.args) line += std::string(" ") + a;
    SCOPED_TRACE(line);
    Options o;
    const std::string error = parse_options(static_cast<int>(argv.size()), argv.data(), &o);
    if (c.error_contains.empty()) {
      ASSERT_EQ(error, "");
      EXPECT_TRUE(o == c.expect);
    } else {
      EXPECT_NE(error.find(c.error_contains), std::string::npos) << error;
    }
  }
}

// A run's totals against --max-loss and --min-frames.
TEST(MissedLimit, NamesTheLimitAndTheFigures) {
  struct Case {
    const char* name;
    int64_t frames, duplicates, lost;
    double max_loss;
    int64_t min_frames;
    const char* contains;  // "" when within the limits
    bool lower_bound = false;
    bool allow_unsequenced = false;
  };
  const Case cases[] = {
      {"no limits", 10, 0, 90, -1, 0, ""},
      {"loss at the limit", 99, 0, 1, 1, 0, ""},
      {"loss above it", 98, 0, 2, 1, 0, "lost 2% of the frames (2 of 100), above --max-loss 1"},
      {"duplicates are not whole frames", 100, 60, 0, -1, 50,
       "40 frames arrived whole, below --min-frames 50"},
      {"nothing published, no loss", 0, 0, 0, 0, 0, ""},
      {"a lower bound cannot be judged", 98, 0, 2, 5, 0,
       "lost 2 is only a lower bound, and --max-loss and --min-frames cannot be judged", true},
      {"nor can --min-frames on it", 98, 0, 2, -1, 10, "cannot be judged", true},
      {"unless allowed", 98, 0, 2, 5, 10, "", true, true},
      {"allowed, still judged", 90, 0, 10, 5, 0, "above --max-loss 5", true, true},
      {"no limit, nothing to judge", 98, 0, 2, -1, 0, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Options o;
    o.max_loss_percent = c.max_loss;
    o.min_frames = c.min_frames;
    o.allow_unsequenced = c.allow_unsequenced;
    account::Summary s;
    s.lost_lower_bound = c.lower_bound;
    s.totals.frames = c.frames;
    s.totals.duplicates = c.duplicates;
    s.totals.lost = c.lost;
    const std::string line = missed_limit(o, s);
    if (std::string_view(c.contains).empty()) {
      EXPECT_EQ(line, "");
    } else {
      EXPECT_NE(line.find(c.contains), std::string::npos) << line;
    }
  }
}

}  // namespace
}  // namespace varnock::check
