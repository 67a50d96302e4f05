// varnock-gather without LCM: the view of the checkers (identity, silence,
// runs, totals, malformed messages), its outputs, and the command line.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"
#include "gather/options.h"
#include "gather/output.h"
#include "gather/view.h"
#include "messages/check_report_t.h"
#include "messages/encoding.h"
#include "report/fields.h"
#include "report/formats.h"
#include "report/share.h"
#include "tests/support/terminal.h"

namespace varnock::gather {
namespace {

using Bytes = std::vector<uint8_t>;
using nlohmann::json;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int64_t kSecond = 1'700'000'000;

Bytes encode(const check_report_t& m) {
  Bytes b(static_cast<size_t>(m.encoded_size()));
  store_big_endian<8>(b.data(), check_report_t::fingerprint);
  EXPECT_EQ(m.encode_payload(b.data(), 8, static_cast<int32_t>(b.size() - 8)),
            static_cast<int32_t>(b.size() - 8));
  return b;
}

// A second of checker `name` (on host "h", pid 1, its instance told by its
// name unless set) with its frames and loss, every cause known and zero but
// the one named; numbered by its second, as a checker that sends each.
check_report_t second(const std::string& name, int64_t s, int64_t frames, int64_t lost = 0) {
  check_report_t m;
  m.name = name;
  m.host = std::string("h");
  m.pid = 1;
  m.url = std::string("udpm://239.255.76.67:7667?ttl=0");
  m.instance = static_cast<int64_t>(std::hash<std::string>{}(name) >> 1);
  m.sequence = s - kSecond + 100;
  m.second = s;
  m.seconds = 1;
  m.status_records = frames;
  m.frames = frames;
  m.lost = lost;
  m.kernel_drops = m.lost_receive_buffer = m.lost_reassembly_memory = m.lost_fragments = 0;
  m.lost_in_lcm = m.lost_checksum = m.lost_other = m.send_drops = 0;
  m.lost_other = lost;
  m.latency_ms_p50 = 1.25;
  m.latency_ms_p99 = 2.5;
  m.latency_ms_max = 3;
  m.delivery_ms_p50 = 4;
  m.delivery_ms_p99 = 5;
  m.delivery_ms_max = 6;
  return m;
}

// The summary a checker sends after second `m`.
check_report_t summary_of(check_report_t m, int64_t frames, double seconds) {
  m.kind = check_report_t::kKindSummary;
  ++m.sequence;
  m.frames = frames;
  m.seconds = seconds;
  return m;
}

View::Heard hear(View& view, const check_report_t& m, int64_t now_ms) {
  return view.hear(encode(m), now_ms);
}

const Checker& find(const View& view, const std::string& name) {
  for (const Checker& c : view.checkers()) {
    if (c.name == name) return c;
  }
  ADD_FAILURE() << "no checker " << name;
  static const Checker none;
  return none;
}

// Containers on host networking: two checkers on one host, each its PID 1
// under one name, are two instances.
TEST(GatherView, CheckersAreTheirInstancesAndGoSilentWithoutBeingDropped) {
  View view;
  hear(view, second("a", kSecond, 10), 0);
  check_report_t twin = second("a", kSecond, 10, 292);
  twin.instance = 2;
  check_report_t other_host = second("a", kSecond, 10);
  other_host.host = "h2";
  other_host.instance = 3;
  hear(view, twin, 0);
  hear(view, other_host, 0);
  hear(view, second("a", kSecond + 1, 10), 2'500);  // the first again
  ASSERT_EQ(view.checkers().size(), 3u);
  EXPECT_EQ(view.checkers()[0].seconds_heard, 2);
  EXPECT_EQ(view.checkers()[0].run().lost, 0);
  EXPECT_EQ(view.checkers()[1].run().lost, 292);
  EXPECT_EQ(view.total().lost, 292);

  hear(view, summary_of(second("ended", kSecond, 10), 10, 1), 0);
  const Checker& first = view.checkers()[0];
  const Checker& quiet = view.checkers()[1];
  EXPECT_FALSE(quiet.silent(2'999));
  EXPECT_TRUE(quiet.silent(3'000));
  EXPECT_FALSE(first.silent(5'499));
  EXPECT_TRUE(first.silent(5'500));
  EXPECT_FALSE(find(view, "ended").silent(1'000'000)) << "a checker that ended is not silent";
  EXPECT_TRUE(find(view, "ended").ended());

  ++twin.sequence;
  hear(view, twin, 9'000);  // heard again
  EXPECT_FALSE(view.checkers()[1].silent(9'000));
  EXPECT_EQ(view.checkers().size(), 4u);
}

TEST(GatherView, ARunIsTheCheckersOwnSummaryElseItsSecondsAddedUp) {
  View view;
  check_report_t a1 = second("a", kSecond, 10, 1);
  check_report_t a2 = second("a", kSecond + 1, 20, 2);
  a2.latency_ms_p99 = 7;
  hear(view, a1, 0);
  hear(view, a2, 1000);
  const check_report_t added = find(view, "a").run();
  EXPECT_EQ(added.frames, 30);
  EXPECT_EQ(added.lost, 3);
  EXPECT_EQ(added.seconds, 2);
  EXPECT_EQ(added.second, kSecond + 1);
  EXPECT_EQ(added.latency_ms_p99, 7);
  EXPECT_TRUE(std::isnan(added.latency_ms_p50)) << "medians cannot be added up";

  check_report_t own = summary_of(a2, 1000, 42.5);
  own.latency_ms_p50 = 1.5;
  hear(view, own, 2000);
  const check_report_t run = find(view, "a").run();
  EXPECT_EQ(run.frames, 1000);
  EXPECT_EQ(run.seconds, 42.5);
  EXPECT_EQ(run.latency_ms_p50, 1.5);
  // A late second changes neither its run nor its latest second.
  hear(view, second("a", kSecond - 5, 99), 2500);
  EXPECT_EQ(find(view, "a").run().frames, 1000);
  EXPECT_EQ(find(view, "a").latest->second, kSecond + 1);
}

TEST(GatherView, TotalsAddCountsKeepUnknownsAndTakeTheLargestTimes) {
  View view;
  check_report_t a = second("a", kSecond, 10, 4);
  a.kernel_drops = -1;  // a file bus: unknown
  a.latency_ms_p99 = 9;
  a.delivery_ms_max = kNaN;
  check_report_t b = second("b", kSecond, std::numeric_limits<int64_t>::max(), 1);
  b.lost_in_lcm = 1;
  b.lost_other = 0;
  b.latency_ms_p99 = 3;
  b.delivery_ms_max = 8;
  b.lcm_queue_ms_max = kNaN;
  hear(view, summary_of(a, 10, 1), 0);
  hear(view, summary_of(b, std::numeric_limits<int64_t>::max(), 1), 0);
  const check_report_t total = view.total();
  EXPECT_EQ(total.frames, std::numeric_limits<int64_t>::max()) << "saturated, not wrapped";
  EXPECT_EQ(total.lost, 5);
  EXPECT_EQ(total.kernel_drops, -1);
  EXPECT_EQ(total.lost_other, 4);
  EXPECT_EQ(total.lost_in_lcm, 1);
  EXPECT_EQ(total.latency_ms_p99, 9);
  EXPECT_EQ(total.delivery_ms_max, 8) << "a time unknown to one checker is the other's";
  EXPECT_TRUE(std::isnan(total.lcm_queue_ms_max));
  EXPECT_TRUE(std::isnan(total.latency_ms_p50));
  EXPECT_TRUE(std::isnan(total.delivery_ms_p50));
}

TEST(GatherView, MalformedMessagesAreCountedAndIgnored) {
  const Bytes good = encode(second("a", kSecond, 10));
  Bytes trailing = good;
  trailing.push_back(0);
  Bytes foreign = good;
  foreign[0] ^= 1;
  check_report_t kind = second("a", kSecond, 10);
  kind.kind = 3;
  check_report_t negative = second("a", kSecond, 10);
  negative.lost_fragments = -2;
  check_report_t unnumbered = second("a", kSecond, 10);
  unnumbered.sequence = -1;
  check_report_t long_name = second(std::string(kMaxTextBytes + 1, 'n'), kSecond, 10);
  check_report_t::Stream stream;
  stream.channel = 7;
  check_report_t repeated_channel = second("a", kSecond, 10);
  repeated_channel.streams = {stream, stream};
  check_report_t falling_channels = second("a", kSecond, 10);
  falling_channels.streams = {stream, stream};
  falling_channels.streams[1].channel = 6;
  check_report_t negative_stream = second("a", kSecond, 10);
  negative_stream.streams = {stream};
  negative_stream.streams[0].late = -1;
  check_report_t wild_channel = second("a", kSecond, 10);
  wild_channel.streams = {stream};
  wild_channel.streams[0].channel = 256;
  const struct {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"nothing", {}},
      {"truncated", Bytes(good.begin(), good.end() - 1)},
      {"trailing", trailing},
      {"another type", foreign},
      {"garbage", Bytes{'n', 'o', 't', ' ', 'a', ' ', 'r', 'e', 'p', 'o', 'r', 't'}},
      {"kind 3", encode(kind)},
      {"count -2", encode(negative)},
      {"sequence -1", encode(unnumbered)},
      {"a long name", encode(long_name)},
      {"a stream channel twice", encode(repeated_channel)},
      {"stream channels falling", encode(falling_channels)},
      {"a stream count -1", encode(negative_stream)},
      {"stream channel 256", encode(wild_channel)},
  };
  View view;
  int64_t malformed = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const char* why = "";
    EXPECT_EQ(view.hear(c.bytes, 0, &why), View::Heard::kMalformed);
    EXPECT_STRNE(why, "");
    EXPECT_EQ(view.malformed(), ++malformed);
    EXPECT_TRUE(view.checkers().empty());
  }
  EXPECT_EQ(view.hear(good, 0), View::Heard::kSecond);
  EXPECT_EQ(view.checkers().size(), 1u);
  EXPECT_EQ(view.malformed(), malformed);
}

TEST(GatherView, CheckersPastTheLimitAreIgnored) {
  View view(2);
  EXPECT_EQ(hear(view, second("a", kSecond, 1), 0), View::Heard::kSecond);
  EXPECT_EQ(hear(view, second("b", kSecond, 1), 0), View::Heard::kSecond);
  EXPECT_EQ(hear(view, second("c", kSecond, 1), 0), View::Heard::kTooManyCheckers);
  EXPECT_EQ(hear(view, second("a", kSecond + 1, 1), 0), View::Heard::kSecond);
  EXPECT_EQ(view.checkers().size(), 2u);
  EXPECT_EQ(view.malformed(), 0);
}

// A network that duplicates datagrams repeats a checker's seconds, and a
// checker sends its summary more than once: each counts once.
TEST(GatherView, ARepeatedSecondCountsOnce) {
  View view;
  EXPECT_EQ(hear(view, second("a", kSecond, 10, 1), 0), View::Heard::kSecond);
  EXPECT_EQ(hear(view, second("a", kSecond, 10, 1), 5), View::Heard::kRepeat);
  EXPECT_EQ(hear(view, second("a", kSecond + 1, 20, 0), 10), View::Heard::kSecond);
  EXPECT_EQ(hear(view, second("a", kSecond, 10, 1), 15), View::Heard::kRepeat);
  ASSERT_EQ(view.checkers().size(), 1u);
  const check_report_t run = view.checkers()[0].run();
  EXPECT_EQ(run.frames, 30);
  EXPECT_EQ(run.lost, 1);
  EXPECT_EQ(view.checkers()[0].latest->second, kSecond + 1);

  const check_report_t own = summary_of(second("a", kSecond + 1, 20), 30, 2);
  EXPECT_EQ(hear(view, own, 20), View::Heard::kSummary);
  EXPECT_EQ(hear(view, own, 120), View::Heard::kRepeat);
  EXPECT_EQ(hear(view, own, 300), View::Heard::kRepeat);
  EXPECT_EQ(view.missing_reports(), 0);
}

// Reports are told by their numbers, not their seconds: a checker whose
// clock steps back an hour keeps every row, and numbers never heard are
// missing reports, taken back when one comes late.
TEST(GatherView, NumbersNotClocksTellRepeatsAndMissingReports) {
  View view;
  int64_t sequence = 0;
  const auto numbered = [&sequence](int64_t s, int64_t frames) {
    check_report_t m = second("a", s, frames);
    m.sequence = sequence++;
    return m;
  };
  for (int64_t i = 0; i < 10; ++i) hear(view, numbered(kSecond + i, 10), i * 1000);
  for (int64_t i = 0; i < 10; ++i) {
    EXPECT_EQ(hear(view, numbered(kSecond - 3600 + i, 10), 10'000 + i * 1000), View::Heard::kSecond)
        << i;
  }
  EXPECT_EQ(view.checkers()[0].seconds_heard, 20);
  EXPECT_EQ(view.checkers()[0].run().frames, 200);
  EXPECT_EQ(view.checkers()[0].latest->second, kSecond - 3600 + 9) << "the latest sent";
  EXPECT_EQ(view.missing_reports(), 0);

  sequence = 23;  // 20, 21 and 22 never come
  hear(view, numbered(kSecond + 23, 10), 30'000);
  EXPECT_EQ(view.checkers()[0].missing_reports, 3);
  check_report_t late = second("a", kSecond + 21, 10);
  late.sequence = 21;
  EXPECT_EQ(hear(view, late, 31'000), View::Heard::kSecond);
  EXPECT_EQ(hear(view, late, 31'500), View::Heard::kRepeat);
  EXPECT_EQ(view.missing_reports(), 2);
  EXPECT_EQ(view.checkers()[0].run().frames, 220);
  EXPECT_EQ(view.checkers()[0].latest->second, kSecond + 23);
  // Older than the numbers kept: a repeat, whatever it holds.
  late.sequence = 0;
  EXPECT_EQ(hear(view, late, 32'000), View::Heard::kRepeat);
  // Numbers before the first heard were sent before this program listened.
  check_report_t b = second("b", kSecond, 10);
  b.sequence = 500;
  hear(view, b, 0);
  b.sequence = 499;
  EXPECT_EQ(hear(view, b, 0), View::Heard::kSecond);
  EXPECT_EQ(view.missing_reports(), 2);
  // A number far ahead, as a hostile sender may send, saturates.
  b.sequence = std::numeric_limits<int64_t>::max();
  hear(view, b, 0);
  b.sequence = 0;
  EXPECT_EQ(hear(view, b, 0), View::Heard::kRepeat);
  EXPECT_GT(view.missing_reports(), 1'000'000);
}

TEST(GatherView, MainCauseIsTheLargestKnown) {
  const auto with = [](int64_t lost, int64_t buffer, int64_t lcm, int64_t other) {
    check_report_t m = second("a", kSecond, 10, lost);
    m.lost_receive_buffer = buffer;
    m.lost_in_lcm = lcm;
    m.lost_other = other;
    return m;
  };
  check_report_t unknown = with(5, -1, -1, -1);
  unknown.lost_reassembly_memory = unknown.lost_fragments = unknown.lost_checksum = -1;
  const struct {
    check_report_t m;
    const char* cause;
  } cases[] = {
      {with(0, 0, 0, 0), "-"},        {with(5, 3, 0, 2), "receive_buffer"},
      {with(5, 1, 3, 1), "in_lcm"},   {with(5, 0, 0, 5), "other"},
      {with(5, 0, 0, 0), "unknown"},  {unknown, "unknown"},
      {with(-1, 0, 0, 0), "unknown"},
  };
  for (const auto& c : cases) EXPECT_EQ(main_cause(c.m), c.cause) << c.cause;
}

TEST(GatherOutput, JsonLinesAreJsonWhateverTheBytes) {
  check_report_t a = second("a\xff\x01\"\\ \xc3\xa9", kSecond, 10, 2);
  a.kernel_drops = -1;
  a.delivery_ms_p50 = kNaN;
  a.lcm_queue_ms_max = std::numeric_limits<double>::infinity();
  const json line = json::parse(json_second(a));
  EXPECT_EQ(line["type"], "second");
  // Bytes that are no UTF-8 come back as the code points of their values.
  EXPECT_EQ(line["name"], "a\xc3\xbf\x01\"\\ \xc3\xa9");
  EXPECT_EQ(line["host"], "h");
  EXPECT_EQ(line["pid"], 1);
  EXPECT_EQ(line["second"], kSecond);
  EXPECT_EQ(line["frames"], 10);
  EXPECT_EQ(line["lost"], 2);
  EXPECT_EQ(line["lost_other"], 2);
  EXPECT_TRUE(line["kernel_drops"].is_null());
  EXPECT_EQ(line["latency_ms_p50"], 1.25);
  EXPECT_TRUE(line["delivery_ms_p50"].is_null());
  EXPECT_TRUE(line["lcm_queue_ms_max"].is_null());
  for (const report::Field* f : report::shared_fields()) {
    if (f->combine != report::Combine::kNone) {
      EXPECT_TRUE(line.contains(f->name)) << f->name;
    }
  }

  View view;
  view.hear(encode(a), 0);
  view.hear(encode(summary_of(second("b", kSecond, 7), 70, 9.5)), 0);
  view.hear(Bytes{1, 2, 3}, 0);
  const json summary = json::parse(json_summary(view, 3'000, 3.25));
  EXPECT_EQ(summary["type"], "summary");
  EXPECT_EQ(summary["malformed"], 1);
  ASSERT_EQ(summary["checkers"].size(), 2u);
  const json& first = summary["checkers"][0];
  EXPECT_EQ(first["silent"], true);
  EXPECT_EQ(first["ended"], false);
  EXPECT_EQ(first["seconds"], 1);
  EXPECT_TRUE(first["latency_ms_p50"].is_null());
  const json& second_checker = summary["checkers"][1];
  EXPECT_EQ(second_checker["name"], "b");
  EXPECT_EQ(second_checker["silent"], false);
  EXPECT_EQ(second_checker["ended"], true);
  EXPECT_EQ(second_checker["frames"], 70);
  EXPECT_EQ(second_checker["seconds"], 9.5);
  EXPECT_EQ(summary["total"]["frames"], 80);
  EXPECT_TRUE(summary["total"]["kernel_drops"].is_null());
  EXPECT_EQ(summary["total"]["latency_ms_p99"], 2.5);
  EXPECT_TRUE(summary["total"]["latency_ms_p50"].is_null());
}

// What gather shows of a checker that ended is what the checker itself
// wrote in its JSON summary: the same fields, the same values, the same
// rounding, but for who it is and how it stands.
TEST(GatherOutput, AnEntryIsTheCheckersOwnSummary) {
  account::Summary known;
  known.seconds = 6.006938026;
  known.totals.status_records = 181;
  known.totals.frames = 170;
  known.totals.lost = 11;
  known.totals.lost_estimated = 2;
  known.totals.duplicates = 1;
  known.totals.runs = 2;
  known.totals.bytes = 278'545'411;
  known.totals.kernel_drops = 40;
  known.totals.lost_receive_buffer = 7;
  known.totals.lost_fragments = 3;
  known.totals.lost_other = 1;
  known.kernel_drops_known = true;
  known.network_known = true;
  known.latency = {0.124, 2.456, 9.999, {}};
  known.times.inter_arrival = {33.335, 34.1, 70.004, {}};
  known.times.delivery = {0.125, 1.004, 3.0, {}};
  known.times.lcm_queue = {0.011, 0.5, 0.75, {}};
  known.runs = {{60, 99}, {60, 190}};
  known.send_drops = 5;
  account::StreamChannelFigures busy;
  busy.channel = 0;
  busy.counts = {200, 7, 2, 3, 1, 4, 1, 1};
  busy.times.latency = {0.126, 1.004999, 5, {}};
  busy.times.delivery = {0.5, 2.0 / 3, 9, {}};
  busy.times.inter_arrival = {1, 12.345, 20, {}};
  account::StreamChannelFigures corrupt_only;  // no valid message: no time
  corrupt_only.channel = 255;
  corrupt_only.counts.corrupt = 9;
  known.messages = {busy, corrupt_only};
  // A log read by a checker: no host counters, no sample of some times.
  account::Summary unknown;
  unknown.seconds = 0.0004;
  unknown.totals.frames = 3;
  unknown.latency.p50 = 1.0 / 3;

  for (const account::Summary& s : {known, unknown}) {
    json own = json::parse(report::json_summary(s));
    own.erase("type");
    const report::Reporter who{"cam-sub", "host-b", 4242, "udpm://239.255.76.67:7667?ttl=0",
                               0,         "",       ""};
    View view;
    ASSERT_EQ(view.hear(encode(report::shared_summary(who, s, kSecond)), 0), View::Heard::kSummary);
    json entry = json::parse(json_summary(view, 0, 7))["checkers"][0];
    for (const char* identity :
         {"name", "host", "pid", "instance", "url", "ended", "silent", "missing_reports"}) {
      EXPECT_TRUE(entry.contains(identity)) << identity;
      entry.erase(identity);
    }
    EXPECT_EQ(entry, own) << "gather: " << entry.dump() << "\nchecker: " << own.dump();
  }
  ASSERT_EQ(json::parse(report::json_summary(known))["messages"].size(), 2u);

  // A second as gather writes it has the checker's own row's list.
  account::SecondReport row;
  row.second = kSecond;
  row.messages = known.messages;
  const report::Reporter who{"cam-sub", "h", 1, "udpm://", 0, "", ""};
  EXPECT_EQ(json::parse(json_second(report::shared_row(who, row)))["messages"],
            json::parse(report::json_row(row))["messages"]);
}

// Across checkers, and across a checker's seconds until its summary comes,
// a channel's counts add up; its times cannot be made from percentiles.
TEST(GatherView, StreamCountsAddUpPerChannelAndTheirTimesCombineAsTheFramesDo) {
  const auto stream = [](int16_t channel, int64_t received, int64_t lost) {
    check_report_t::Stream s;
    s.channel = channel;
    s.received = received;
    s.lost = lost;
    s.lost_in_lcm = lost / 2;
    s.duplicates = 1;
    s.latency_ms_p50 = 0.5;
    s.latency_ms_p99 = static_cast<double>(channel) + 2;
    s.delivery_ms_max = static_cast<double>(lost);
    return s;
  };
  check_report_t a = second("a", kSecond, 10);
  a.streams = {stream(0, 100, 4), stream(3, 50, 0)};
  check_report_t a2 = second("a", kSecond + 1, 10);
  a2.streams = {stream(3, 7, 2)};
  check_report_t b = second("b", kSecond, 10);
  b.streams = {stream(1, 30, 1), stream(3, std::numeric_limits<int64_t>::max(), 6)};
  View view;
  hear(view, a, 0);
  hear(view, a2, 0);
  hear(view, summary_of(b, 10, 1), 0);

  const json summary = json::parse(json_summary(view, 0, 2));
  const json& seconds_of_a = summary["checkers"][0]["messages"];
  ASSERT_EQ(seconds_of_a.size(), 2u);
  EXPECT_EQ(seconds_of_a[1]["channel"], "VARNOCK_MSG_3");
  EXPECT_EQ(seconds_of_a[1]["received"], 57);
  EXPECT_EQ(seconds_of_a[1]["lost"], 2);
  EXPECT_TRUE(seconds_of_a[1]["latency_ms_p50"].is_null());
  EXPECT_EQ(seconds_of_a[1]["latency_ms_p99"], 5.0);
  EXPECT_EQ(seconds_of_a[1]["delivery_ms_max"], 2.0) << "the largest of 0 and 2";
  // b's own summary, times and all.
  EXPECT_EQ(summary["checkers"][1]["messages"][0]["latency_ms_p50"], 0.5);
  EXPECT_EQ(summary["checkers"][1]["messages"][0]["latency_ms_p99"], 3.0);

  const json& total = summary["total"]["messages"];
  ASSERT_EQ(total.size(), 3u) << total.dump();
  const struct {
    const char* channel;
    int64_t received, lost, lost_in_lcm, duplicates;
    double delivery_max;
  } expected[] = {
      {"VARNOCK_MSG_0", 100, 4, 2, 1, 4},
      {"VARNOCK_MSG_1", 30, 1, 0, 1, 1},
      {"VARNOCK_MSG_3", std::numeric_limits<int64_t>::max(), 8, 4, 3, 6},
  };
  for (size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(expected[i].channel);
    const json& entry = total[i];
    EXPECT_EQ(entry["channel"], expected[i].channel);
    EXPECT_EQ(entry["received"], expected[i].received) << "saturated, not wrapped";
    EXPECT_EQ(entry["lost"], expected[i].lost);
    EXPECT_EQ(entry["lost_in_lcm"], expected[i].lost_in_lcm);
    EXPECT_EQ(entry["duplicates"], expected[i].duplicates);
    EXPECT_TRUE(entry["latency_ms_p50"].is_null()) << "a median is not made from others'";
    EXPECT_EQ(entry["latency_ms_p99"],
              2.0 + std::stod(entry["channel"].get<std::string>().substr(12)));
    EXPECT_EQ(entry["delivery_ms_max"], expected[i].delivery_max);
    EXPECT_TRUE(entry["inter_arrival_ms_p99"].is_null()) << "no checker knew it";
  }
}

// docs/output-fields.md's example of gather's JSON lines has the fields the
// code writes, in its order.
TEST(GatherOutput, TheDocumentsExampleHasTheCodesFields) {
  std::ifstream doc(OUTPUT_FIELDS_DOC);
  std::vector<nlohmann::ordered_json> lines;
  bool in_section = false;
  bool in_block = false;
  for (std::string line; std::getline(doc, line);) {
    if (line.starts_with("## ")) in_section = line.starts_with("## varnock-gather's JSON");
    if (!in_section) continue;
    if (line.starts_with("```")) {
      if (in_block) break;
      in_block = true;
    } else if (in_block) {
      lines.push_back(nlohmann::ordered_json::parse(line));
    }
  }
  ASSERT_EQ(lines.size(), 3u);
  const auto keys = [](const nlohmann::ordered_json& j) {
    std::vector<std::string> out;
    for (const auto& [key, value] : j.items()) out.push_back(key);
    return out;
  };
  const check_report_t row = second("a", kSecond, 10);
  View view;
  view.hear(encode(summary_of(row, 10, 1)), 0);
  const auto summary = nlohmann::ordered_json::parse(json_summary(view, 0, 1));
  EXPECT_EQ(keys(lines[0]), keys(nlohmann::ordered_json::parse(json_start("udpm://", 9))));
  EXPECT_EQ(keys(lines[1]), keys(nlohmann::ordered_json::parse(json_second(row))));
  EXPECT_EQ(keys(lines[2]), keys(summary));
  EXPECT_EQ(keys(lines[2]["checkers"][0]), keys(summary["checkers"][0]));
  EXPECT_EQ(keys(lines[2]["total"]), keys(summary["total"]));
}

TEST(GatherOutput, CsvRowsMatchTheirHeader) {
  check_report_t a = second("a,\"b\"", kSecond, 10, 2);
  a.kernel_drops = -1;
  a.delivery_ms_p50 = kNaN;
  const std::string header = csv_header();
  const std::string row = csv_row(a);
  ASSERT_EQ(header.substr(0, 36), "name,host,pid,instance,second,status");
  EXPECT_EQ(
      row.rfind("\"a,\"\"b\"\"\",h,1," + std::to_string(a.instance) + ",1700000000,10,10,", 0), 0u)
      << row;
  // Fields after the quoted name line up with the header's.
  const auto fields = [](std::string line) {
    std::vector<std::string> out;
    std::stringstream s(line.substr(0, line.size() - 1));
    for (std::string f; std::getline(s, f, ',');) out.push_back(f);
    if (line.size() > 1 && line[line.size() - 2] == ',') out.emplace_back();
    return out;
  };
  const std::vector<std::string> names = fields(header);
  const std::vector<std::string> values = fields(row.substr(row.find("\",") + 2));
  ASSERT_EQ(values.size() + 1, names.size());
  const auto value = [&](const std::string& name) {
    for (size_t i = 1; i < names.size(); ++i) {
      if (names[i] == name) return values[i - 1];
    }
    return std::string("absent");
  };
  EXPECT_EQ(value("lost"), "2");
  EXPECT_EQ(value("kernel_drops"), "");
  EXPECT_EQ(value("latency_ms_p50"), "1.25");
  EXPECT_EQ(value("delivery_ms_p50"), "");
  EXPECT_EQ(value("lcm_queue_ms_max"), "");
}

TEST(GatherOutput, TextRowsWaitForEveryCheckerOrForSilence) {
  View view;
  Output out(Format::kText, "memq://", 0);
  const auto take = [&](const check_report_t& m, int64_t now) {
    view.hear(encode(m), now);
    return out.heard(m, now);
  };
  EXPECT_EQ(take(second("a", kSecond - 1, 5), 0), "");
  EXPECT_EQ(take(second("b", kSecond - 1, 6), 0), "");
  EXPECT_EQ(take(second("a", kSecond, 10), 900), "");
  std::string text = out.tick(view, 1000, {});
  EXPECT_NE(text.find("1699999999  total  frames 11  lost 0  cause -  send drops 0  (2 checkers)"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("1700000000"), std::string::npos) << "b has not reported it yet:\n" << text;

  EXPECT_EQ(take(second("b", kSecond, 20, 3), 1500), "");
  text = out.tick(view, 2000, {});
  EXPECT_NE(
      text.find("1700000000  a  frames 10  lost 0  cause -  send drops 0  latency p50 1.25 ms"),
      std::string::npos)
      << text;
  EXPECT_NE(
      text.find("1700000000  total  frames 30  lost 3  cause other  send drops 0  (2 checkers)"),
      std::string::npos)
      << text;

  // b falls silent: a's next second waits no longer than silence takes.
  take(second("a", kSecond + 1, 10), 2000);
  take(second("a", kSecond + 2, 10), 3000);
  text = out.tick(view, 4000, {});
  EXPECT_EQ(text.find("1700000001"), std::string::npos) << text;
  text = out.tick(view, 5000, {});
  EXPECT_NE(text.find("1700000001  total  frames 10"), std::string::npos) << text;
  EXPECT_NE(text.find("b (h, pid 1) is silent: nothing heard for 3 s"), std::string::npos) << text;
  EXPECT_NE(text.find("1700000002  total  frames 10"), std::string::npos) << text;
  EXPECT_EQ(out.tick(view, 5500, {}).find("silent"), std::string::npos) << "told once";
  take(second("a", kSecond + 3, 10), 5500);
  text = out.finish(view, 5500, 5.5, {});
  EXPECT_NE(text.find("1700000003  total  frames 10"), std::string::npos) << text;
  EXPECT_NE(text.find("summary: 2 checkers, 1 silent, 0 malformed messages"), std::string::npos)
      << text;
  EXPECT_NE(text.find("b (h, pid 1): silent"), std::string::npos) << text;
}

TEST(GatherOutput, TheTableShowsNoControlBytesFromTheBus) {
  View view;
  Output out(Format::kTable, "memq://", 0);
  view.hear(encode(second("a", kSecond, 60, 2)), 0);
  view.hear(encode(second("evil\x1b[2J\x07", kSecond, 50)), 0);
  const std::string first = out.tick(view, 1000, {24, 132});
  EXPECT_EQ(first.rfind("\x1b[KVARNOCK_CHECK: 2 checkers, 0 silent", 0), 0u) << first;
  EXPECT_NE(first.find("total (2 live)              110        2  other"), std::string::npos)
      << first;
  EXPECT_NE(first.find("evil?[2J?"), std::string::npos) << first;
  const std::string second_draw = out.tick(view, 3000, {24, 132});
  EXPECT_NE(second_draw.find("silent"), std::string::npos);
  EXPECT_NE(second_draw.find("total (0 live)"), std::string::npos) << second_draw;
  // The terminal throws on any code or control byte but the table's own.
  testing::Terminal terminal(24, 132);
  EXPECT_NO_THROW(terminal.write(first + second_draw));
}

// 30 checkers that reported from 0 ms to 4000 ms, as a crowded table shows
// them at 4000 ms: c03 silent since its first second, c12 and c07 losing
// frames (c12 the most over its run, c07 the most in its latest second), c20
// ended, the others losing nothing; c00's name is 44 characters of UTF-8.
// `count` keeps the first ones alone.
constexpr int64_t kCrowdedNow = 4000;
View crowded(int count = 30) {
  View view;
  std::string accents = "c00-";
  for (int i = 0; i < 20; ++i) accents += "\xc3\xa9\xe2\x82\xac";  // é€
  for (int64_t s = 0; s <= 4; ++s) {
    for (int i = 0; i < count; ++i) {
      const std::string name = (i < 10 ? "c0" : "c") + std::to_string(i);
      if ((i == 3 && s > 0) || (i == 20 && s > 2)) continue;
      const int64_t lost = i == 12 ? 5 : i == 7 && s == 4 ? 9 : 0;
      check_report_t m = second(i == 0 ? accents : name, kSecond + s, 30, lost);
      view.hear(encode(m), s * 1000);
      if (i == 20 && s == 2) view.hear(encode(summary_of(m, 90, 3)), s * 1000);
    }
  }
  return view;
}

// Characters of `line`, which must be valid UTF-8.
size_t characters(const std::string& line) {
  size_t count = 0;
  for (std::string_view rest = line; !rest.empty(); ++count) {
    uint32_t code = 0;
    const size_t length = utf8_character(rest, &code);
    if (length == 0) {
      ADD_FAILURE() << "not UTF-8 at byte " << line.size() - rest.size() << " of " << line;
      return count;
    }
    rest.remove_prefix(length);
  }
  return count;
}

TEST(GatherTable, TheWorstCheckersComeFirstAndTheRestAreCounted) {
  const std::vector<std::string> lines = table_lines(crowded(), kCrowdedNow, {24, 80});
  ASSERT_EQ(lines.size(), 23u);
  EXPECT_EQ(lines[0], "VARNOCK_CHECK: 30 checkers, 1 silent, 0 malformed messages");
  EXPECT_TRUE(lines[1].starts_with("checker ")) << lines[1];
  const std::vector<std::string> first = {"c03", "c12", "c07", "c00", "c01", "c02", "c04",
                                          "c05", "c06", "c08", "c09", "c10", "c11", "c13",
                                          "c14", "c15", "c16", "c17", "c18"};
  for (size_t i = 0; i < first.size(); ++i) EXPECT_EQ(lines[2 + i].substr(0, 3), first[i]);
  EXPECT_NE(lines[2].find(" silent "), std::string::npos) << "its state within 80 columns";
  EXPECT_EQ(lines[21], "... and 11 more checkers (--json lists them all)");
  EXPECT_TRUE(lines[22].starts_with("total (28 live) ")) << lines[22];
  for (const std::string& line : lines) EXPECT_LE(characters(line), 80u) << line;
}

// However small the terminal: no more lines than its rows but one, none
// wider than it, cut between characters; the header first, the total last,
// and, given room for a line of checkers, every checker shown or counted.
TEST(GatherTable, FramesFitTheTerminalWhateverItsSize) {
  const View view = crowded();
  const struct {
    TerminalSize size;
    size_t lines;
  } cases[] = {
      {{24, 80}, 23}, {{24, 20}, 23}, {{24, 7}, 23}, {{200, 40}, 33}, {{6, 80}, 5},
      {{5, 80}, 4},   {{4, 80}, 3},   {{3, 80}, 2},  {{2, 80}, 1},    {{1, 80}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.size.rows) + "x" + std::to_string(c.size.columns));
    const std::vector<std::string> lines = table_lines(view, kCrowdedNow, c.size);
    ASSERT_EQ(lines.size(), c.lines);
    for (const std::string& line : lines) {
      EXPECT_LE(characters(line), static_cast<size_t>(c.size.columns)) << line;
    }
    if (lines.empty()) continue;
    EXPECT_TRUE(lines[0].starts_with("VARNOC")) << lines[0];
    if (c.size.rows < 3) continue;
    EXPECT_TRUE(lines.back().starts_with("total")) << lines.back();
    if (c.size.rows < 5 || c.size.columns < 20) continue;
    int64_t listed = static_cast<int64_t>(lines.size()) - 3;
    if (lines[lines.size() - 2].starts_with("... and ")) {
      listed += std::stoll(lines[lines.size() - 2].substr(8)) - 1;
    }
    EXPECT_EQ(listed, 30);
  }
}

// Drawn into a terminal, each second's table shows as the frame alone from
// the top row, whatever was drawn before it, and nothing scrolls away:
// redrawn at a new size after a resize, whether the terminal cut its rows
// or rewrapped them, and again a second later.
TEST(GatherTable, EachFrameIsDrawnOverTheLastThroughResizes) {
  const struct {
    int checkers;
    bool rewrap;
    TerminalSize to;
  } cases[] = {
      {30, false, {10, 40}}, {30, true, {10, 40}},  {3, false, {24, 40}},
      {3, true, {24, 40}},   {30, true, {30, 100}}, {30, true, {24, 79}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.checkers) + " checkers to " + std::to_string(c.to.rows) + "x" +
                 std::to_string(c.to.columns) + (c.rewrap ? ", rewrapped" : ", cut"));
    const View view = crowded(c.checkers);
    Output out(Format::kTable, "memq://", 0);
    testing::Terminal terminal(24, 80);
    const auto shows = [&](TerminalSize size) {
      const std::vector<std::string> frame = table_lines(view, kCrowdedNow, size);
      const std::vector<std::string> screen = terminal.screen();
      ASSERT_EQ(screen.size(), static_cast<size_t>(size.rows));
      for (size_t i = 0; i < screen.size(); ++i) {
        EXPECT_EQ(screen[i], i < frame.size() ? frame[i] : "") << "row " << i;
      }
    };
    for (int i = 0; i < 2; ++i) {
      terminal.write(out.tick(view, kCrowdedNow, {24, 80}));
      shows({24, 80});
    }
    EXPECT_EQ(terminal.scrolled_off(), 0u);
    terminal.resize(static_cast<size_t>(c.to.rows), static_cast<size_t>(c.to.columns), c.rewrap);
    const size_t scrolled = terminal.scrolled_off();
    terminal.write(out.resized(view, kCrowdedNow, c.to));
    shows(c.to);
    terminal.write(out.tick(view, kCrowdedNow, c.to));
    shows(c.to);
    EXPECT_EQ(terminal.scrolled_off(), scrolled);
  }
}

TEST(GatherOutput, PrintableKeepsCharactersAndReplacesControls) {
  const struct {
    std::string in;
    size_t columns;
    std::string out;
  } cases[] = {
      {"host-1", 32, "host-1"},
      {"caf\xc3\xa9 \xe2\x82\xac", 32, "caf\xc3\xa9 \xe2\x82\xac"},
      {"a\x1b[2Jb\x7f", 32, "a?[2Jb?"},
      {"c1 \xc2\x9b", 32, "c1 ?"},                      // U+009B, a terminal's CSI
      {"bad \xff\xc3 \xed\xa0\x80", 32, "bad ?? ???"},  // invalid, cut short, a surrogate
      {"abcdef", 4, "abc~"},
      {"\xc3\xa9\xc3\xa9\xc3\xa9", 2, "\xc3\xa9~"},
      {"abcd", 4, "abcd"},
      {"abc", 0, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(printable(c.in, c.columns), c.out) << c.in;
}

TEST(GatherOptions, ValuesAreCheckedAndNamed) {
  const struct {
    std::vector<const char*> argv;
    std::string error;  // "" when accepted
  } cases[] = {
      {{"--seconds=5", "--json", "--url", "file:///x.log"}, ""},
      {{"--csv"}, ""},
      {{"--seconds", "0"}, "--seconds needs a whole number of seconds from 1 to 31622400, not '0'"},
      {{"--seconds", "31622401"}, "from 1 to 31622400, not '31622401'"},
      {{"--seconds", "5s"}, "not '5s'"},
      {{"--seconds"}, "--seconds needs a value"},
      {{"--url="}, "--url needs a value"},
      {{"--json=yes"}, "--json takes no value"},
      {{"--json", "--csv"}, "choose one"},
      {{"--frobnicate"}, "unknown argument '--frobnicate'"},
  };
  for (const auto& c : cases) {
    std::vector<const char*> argv{"varnock-gather"};
    argv.insert(argv.end(), c.argv.begin(), c.argv.end());
    Options o;
    const std::string error = parse_options(static_cast<int>(argv.size()), argv.data(), &o);
    SCOPED_TRACE(argv[1]);
    if (c.error.empty()) {
      EXPECT_EQ(error, "");
    } else {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
  Options o;
  const char* argv[] = {"varnock-gather", "--seconds=5", "--json", "--url", "file:///x.log"};
  ASSERT_EQ(parse_options(5, argv, &o), "");
  EXPECT_EQ(o.seconds, 5);
  EXPECT_TRUE(o.json);
  EXPECT_EQ(o.url, "file:///x.log");
}

}  // namespace
}  // namespace varnock::gather
