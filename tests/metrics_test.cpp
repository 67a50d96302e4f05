// Prometheus' text as the programs write it: escapes and numbers, the
// coarse buckets behind the histograms, a checker's series taken from the
// table of fields, histograms added up, and varnock-gather's labels.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "account/account.h"
#include "account/time_histogram.h"
#include "gather/metrics_text.h"
#include "gather/view.h"
#include "messages/encoding.h"
#include "metrics/check_metrics.h"
#include "metrics/exposition.h"
#include "report/combine.h"
#include "report/fields.h"
#include "report/share.h"

namespace varnock {
namespace {

using report::FieldId;
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

// Each sample's value by its name and labels as written ("a{b=\"c\"}").
std::map<std::string, std::string> samples(const std::string& text) {
  std::map<std::string, std::string> out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.rfind(' ');
    EXPECT_TRUE(out.emplace(line.substr(0, space), line.substr(space + 1)).second)
        << "a series twice: " << line;
  }
  return out;
}

TEST(Exposition, LabelsAndNumbersAsTheFormatSpellsThem) {
  struct Case {
    std::string value;
    std::string written;
  };
  const Case cases[] = {
      {"cam-1", "cam-1"},
      {"a\"b", "a\\\"b"},
      {"back\\slash", "back\\\\slash"},
      {"two\nlines", "two\\nlines"},
      {"h\xc3\xa9t\xe2\x82\xac", "h\xc3\xa9t\xe2\x82\xac"},
      {std::string("bad\xff\xc3", 5), "bad\xef\xbf\xbd\xef\xbf\xbd"},
      {std::string("nul\0!", 5), std::string("nul\0!", 5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    metrics::Exposition e;
    e.family("x_total", "counter", "X.");
    e.sample("x_total", {{"checker", c.value}}, int64_t{3});
    const std::string expected =
        "# HELP x_total X.\n# TYPE x_total counter\nx_total{checker=\"" + c.written + "\"} 3\n";
    EXPECT_EQ(e.text(), expected);
  }
  metrics::Exposition e;
  e.family("y", "gauge", "With \\ and\nlines.");
  e.sample("y", {}, 0.25);
  e.sample("y", {{"a", "1"}, {"b", "2"}}, std::numeric_limits<double>::quiet_NaN());
  e.sample("y", {}, std::numeric_limits<double>::infinity());
  e.sample("y", {}, 1796969683.093);
  e.sample("y", {}, kMin);
  EXPECT_EQ(e.text(),
            "# HELP y With \\\\ and\\nlines.\n# TYPE y gauge\ny 0.25\ny{a=\"1\",b=\"2\"} NaN\n"
            "y +Inf\ny 1796969683.093\ny -9223372036854775808\n");
}

TEST(Exposition, SecondsAreExactAndShortest) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "0"},
      {50, "0.00005"},
      {100, "0.0001"},
      {150, "0.00015"},
      {1000, "0.001"},
      {7500, "0.0075"},
      {1'000'000, "1"},
      {2'500'000, "2.5"},
      {10'000'000, "10"},
      {-1500, "-0.0015"},
      {kMin, "-9223372036854.775808"},
      {kMax, "9223372036854.775807"},
  };
  for (const auto& [us, text] : cases) EXPECT_EQ(metrics::seconds_text(us), text) << us;
}

// A sample on a bound belongs to that bound's bucket; below the first (and
// below zero) to the first; above the last only to the count.
TEST(TimeHistogram, CoarseBucketsCountAtOrBelowEachBound) {
  account::TimeHistogram h;
  for (const int64_t us : {int64_t{-5}, int64_t{0}, int64_t{50}, int64_t{51}, int64_t{100},
                           int64_t{9'999'999}, int64_t{10'000'000}, int64_t{10'000'001}}) {
    h.add(us);
  }
  const account::TimeBuckets b = h.summary().buckets;
  EXPECT_EQ(b.at_or_below[0], 3);  // 50 µs
  EXPECT_EQ(b.at_or_below[1], 5);  // 100 µs
  EXPECT_EQ(b.at_or_below[2], 5);
  EXPECT_EQ(b.at_or_below.back(), 7);  // 10 s
  EXPECT_EQ(b.count, 8);
  EXPECT_EQ(b.sum_us, -5 + 50 + 51 + 100 + 9'999'999 + 10'000'000 + 10'000'001);
  h.add(kMax);
  EXPECT_EQ(h.summary().buckets.sum_us, kMax) << "the sum saturates";
  EXPECT_EQ(account::TimeHistogram{}.summary().buckets.count, 0);
}

// A summary whose every count differs, with the host's counters known or not.
account::Summary summary(bool known) {
  account::Summary s;
  s.seconds = 12.5;
  int64_t n = 100;
  for (int64_t account::Counts::*c :
       {&account::Counts::status_records, &account::Counts::frames,
        &account::Counts::lost_estimated, &account::Counts::corrupt, &account::Counts::duplicates,
        &account::Counts::late, &account::Counts::runs, &account::Counts::unsequenced,
        &account::Counts::bytes, &account::Counts::kernel_drops,
        &account::Counts::lost_receive_buffer, &account::Counts::lost_reassembly_memory,
        &account::Counts::lost_fragments, &account::Counts::lost_in_lcm,
        &account::Counts::lost_checksum, &account::Counts::lost_other}) {
    s.totals.*c = n++;
  }
  s.totals.lost = 90 + 91 + 92 + 93 + 94 + 95;
  s.kernel_drops_known = s.network_known = known;
  s.send_drops = known ? 7 : -1;
  account::TimeHistogram latency;
  for (const int64_t us : {40, 120, 120, 4000, 20'000'000}) latency.add(us);
  s.latency = latency.summary();
  // Two stream channels, every count distinct from every other.
  for (const int channel : {0, 17}) {
    account::StreamChannelFigures c;
    c.channel = channel;
    c.counts = {n, n + 1, n + 2, n + 3, n + 4, n + 5, n + 6, n + 7};
    n += 10;
    c.times.latency.p99 = 1.5;
    s.messages.push_back(c);
  }
  return s;
}

std::string one_checker(const check_report_t& run, std::string_view label = "cam") {
  metrics::CheckerSeries c;
  c.label = label;
  c.version = "0.5.0";
  c.url = "udpm://239.255.76.67:7667?ttl=0";
  c.lcm_version = "1.3.1";
  c.run = &run;
  c.last_report_s = 1796969683.5;
  metrics::Exposition e;
  metrics::add_check_families(e, {&c, 1});
  return e.text();
}

// Every counter is the value of its field in the summary's JSON, and only
// where that is known; loss whose cause cannot be known is "other".
TEST(CheckMetrics, EveryValueIsTheFieldsOwn) {
  report::Reporter who{"cam", "h1", 5, "udpm://239.255.76.67:7667?ttl=0", 9, "0.5.0", "1.3.1"};
  const std::pair<FieldId, const char*> counters[] = {
      {FieldId::kFrames, "varnock_check_frames_received_total"},
      {FieldId::kLostEstimated, "varnock_check_frames_lost_estimated_total"},
      {FieldId::kStatusRecords, "varnock_check_status_records_received_total"},
      {FieldId::kCorrupt, "varnock_check_corrupt_messages_total"},
      {FieldId::kDuplicates, "varnock_check_duplicate_frames_total"},
      {FieldId::kLate, "varnock_check_late_frames_total"},
      {FieldId::kRuns, "varnock_check_publisher_runs_total"},
      {FieldId::kBytes, "varnock_check_received_bytes_total"},
      {FieldId::kKernelDrops, "varnock_check_kernel_drops_total"},
      {FieldId::kSendDrops, "varnock_check_send_drops_total"},
  };
  const std::pair<FieldId, const char*> causes[] = {
      {FieldId::kLostReceiveBuffer, "receive_buffer"},
      {FieldId::kLostReassemblyMemory, "reassembly_memory"},
      {FieldId::kLostFragments, "fragments"},
      {FieldId::kLostInLcm, "in_lcm"},
      {FieldId::kLostChecksum, "checksum"},
      {FieldId::kLostOther, "other"},
  };
  for (const bool known : {true, false}) {
    SCOPED_TRACE(known ? "host's counters known" : "unknown");
    const account::Summary s = summary(known);
    const auto m = samples(one_checker(report::shared_summary(who, s, 1796969683)));
    for (const auto& [id, name] : counters) {
      const report::Value v = report::summary_value(id, s);
      const std::string key = std::string(name) + "{checker=\"cam\"}";
      if (v.kind == report::Value::kInteger) {
        EXPECT_EQ(m.count(key) ? m.at(key) : "absent", std::to_string(v.integer)) << name;
      } else {
        EXPECT_EQ(m.count(key), 0U) << name << " is unknown, so absent";
      }
    }
    int64_t by_cause = 0;
    for (const auto& [id, cause] : causes) {
      const std::string key =
          "varnock_check_frames_lost_total{checker=\"cam\",cause=\"" + std::string(cause) + "\"}";
      const report::Value v = report::summary_value(id, s);
      if (v.kind == report::Value::kInteger) {
        EXPECT_EQ(m.count(key) ? m.at(key) : "absent", std::to_string(v.integer)) << cause;
      } else if (id != FieldId::kLostOther) {
        EXPECT_EQ(m.count(key), 0U) << cause;
      }
      if (m.count(key)) by_cause += std::stoll(m.at(key));
    }
    if (!known) {
      EXPECT_EQ(by_cause, s.totals.lost) << "all of it under other";
    }
    EXPECT_EQ(m.at("varnock_check_info{checker=\"cam\",version=\"0.5.0\",url=\"udpm://"
                   "239.255.76.67:7667?ttl=0\",lcm_version=\"1.3.1\"}"),
              "1");
    EXPECT_EQ(m.at("varnock_check_last_report_timestamp_seconds{checker=\"cam\"}"), "1796969683.5");
  }
}

// A counter per stream count, a series per checker and channel, each the
// value of its field; the times have none. As varnock-check serves its
// settled rows added up, a channel's series is its rows' sum.
TEST(CheckMetrics, EachStreamCounterIsItsFieldsValuePerChannel) {
  report::Reporter who{"cam", "h1", 5, "u", 9, "0.5.0", ""};
  const account::Summary s = summary(true);
  const std::string text = one_checker(report::shared_summary(who, s, 0));
  const auto m = samples(text);
  const std::string counted[] = {"received",    "lost", "duplicates", "reordered",
                                 "lost_in_lcm", "late", "corrupt"};
  for (const std::string& name : counted) {
    const std::string family = "varnock_check_messages_" + name + "_total";
    EXPECT_NE(text.find("# TYPE " + family + " counter\n"), std::string::npos) << family;
    EXPECT_NE(text.find("# HELP " + family + " "), std::string::npos) << family;
  }
  int64_t series = 0;
  for (const report::StreamField& f : report::stream_fields()) {
    if (f.count == nullptr) {
      EXPECT_EQ(f.metric, nullptr) << f.name;
      continue;
    }
    ASSERT_NE(f.metric, nullptr) << f.name;
    for (const account::StreamChannelFigures& c : s.messages) {
      const std::string key = std::string(f.metric) + "{checker=\"cam\",channel=\"VARNOCK_MSG_" +
                              std::to_string(c.channel) + "\"}";
      EXPECT_EQ(m.count(key) ? m.at(key) : "absent", std::to_string(f.of(c).integer)) << key;
      ++series;
    }
  }
  EXPECT_EQ(series, 7 * 2);
  EXPECT_EQ(text.find("messages_latency"), std::string::npos);

  // Two rows: channel 17 in both, channel 3 in the second only.
  account::SecondReport first;
  first.messages = {s.messages[1]};
  account::SecondReport next;
  next.messages = s.messages;
  next.messages[0].channel = 3;
  const check_report_t rows[] = {report::shared_row(who, first), report::shared_row(who, next)};
  const auto added = samples(one_checker(report::combine(rows)));
  const std::string lost = "varnock_check_messages_lost_total{checker=\"cam\",channel=";
  EXPECT_EQ(added.at(lost + "\"VARNOCK_MSG_17\"}"), std::to_string(2 * s.messages[1].counts.lost));
  EXPECT_EQ(added.at(lost + "\"VARNOCK_MSG_3\"}"), std::to_string(s.messages[0].counts.lost));
  EXPECT_EQ(added.count(lost + "\"VARNOCK_MSG_0\"}"), 0U);
}

TEST(CheckMetrics, HistogramsAreCumulativeToTheirCount) {
  report::Reporter who{"cam", "h1", 5, "u", 9, "0.5.0", ""};
  const auto m = samples(one_checker(report::shared_summary(who, summary(true), 0)));
  const std::string b = "varnock_check_latency_seconds_bucket{checker=\"cam\",le=\"";
  EXPECT_EQ(m.at(b + "0.00005\"}"), "1");
  EXPECT_EQ(m.at(b + "0.0001\"}"), "1");
  EXPECT_EQ(m.at(b + "0.00015\"}"), "3");
  EXPECT_EQ(m.at(b + "0.005\"}"), "4");
  EXPECT_EQ(m.at(b + "10\"}"), "4");
  EXPECT_EQ(m.at(b + "+Inf\"}"), "5");
  EXPECT_EQ(m.at("varnock_check_latency_seconds_count{checker=\"cam\"}"), "5");
  EXPECT_EQ(m.at("varnock_check_latency_seconds_sum{checker=\"cam\"}"), "20.00428");
  // No sample: every bucket 0, the histogram there all the same.
  EXPECT_EQ(m.at("varnock_check_delivery_seconds_bucket{checker=\"cam\",le=\"+Inf\"}"), "0");
}

// Buckets add up only where the bounds are the same: a record of other
// bounds leaves the combination without histograms, never with wrong ones.
TEST(Combine, HistogramsAddUpOnlyOverTheSameBounds) {
  report::Reporter who{"cam", "h1", 5, "u", 9, "0.5.0", ""};
  const check_report_t a = report::shared_summary(who, summary(true), 0);
  const check_report_t both[] = {a, a};
  const check_report_t sum = report::combine(both);
  ASSERT_EQ(sum.bucket_le_us, a.bucket_le_us);
  EXPECT_EQ(sum.latency.count, 10);
  EXPECT_EQ(sum.latency.le[2], 6);
  EXPECT_EQ(sum.latency.sum_us, 2 * a.latency.sum_us);
  check_report_t other = a;
  other.bucket_le_us[3] += 1;
  const check_report_t mixed[] = {a, other};
  const check_report_t none = report::combine(mixed);
  EXPECT_TRUE(none.bucket_le_us.empty());
  EXPECT_TRUE(none.latency.le.empty());
  EXPECT_EQ(
      samples(one_checker(none)).count("varnock_check_latency_seconds_count{checker=\"cam\"}"), 0U);
}

std::vector<uint8_t> encoded(const check_report_t& m) {
  std::vector<uint8_t> b(static_cast<size_t>(m.encoded_size()));
  store_big_endian<8>(b.data(), check_report_t::fingerprint);
  EXPECT_EQ(m.encode_payload(b.data(), 8, static_cast<int32_t>(b.size()) - 8),
            static_cast<int32_t>(b.size()) - 8);
  return b;
}

// Named checkers by name, unnamed ones by host; two that would share a label
// are told apart in the order heard. An ended checker shows its summary.
TEST(GatherMetrics, EveryCheckerHeardUnderALabelOfItsOwn) {
  gather::View view;
  report::Reporter named{"cam", "h1", 5, "u", 1, "0.5.0", "1.3.1"};
  report::Reporter unnamed{"h1:6", "h1", 6, "u", 2, "0.5.0", "1.3.1"};
  report::Reporter again{"h1:7", "h1", 7, "u", 3, "0.5.0", "1.5.2"};
  account::SecondReport row;
  row.counts.frames = 30;
  row.messages.emplace_back();
  row.messages.back().channel = 4;
  row.messages.back().counts.received = 12;
  for (const report::Reporter* who : {&named, &unnamed, &again}) {
    check_report_t m = report::shared_row(*who, row);
    ASSERT_NE(view.hear(encoded(m), 1000), gather::View::Heard::kMalformed);
  }
  check_report_t end = report::shared_summary(named, summary(true), 0);
  end.sequence = 1;
  ASSERT_EQ(view.hear(encoded(end), 1500), gather::View::Heard::kSummary);
  const auto m = samples(gather::metrics_text(view, 2000, 1'796'969'683'000));
  EXPECT_EQ(m.at("varnock_check_frames_received_total{checker=\"cam\"}"),
            std::to_string(summary(true).totals.frames));
  EXPECT_EQ(m.at("varnock_check_frames_received_total{checker=\"h1\"}"), "30");
  EXPECT_EQ(m.at("varnock_check_frames_received_total{checker=\"h1#2\"}"), "30");
  EXPECT_EQ(m.at("varnock_check_info{checker=\"h1#2\",version=\"0.5.0\",url=\"u\",lcm_version="
                 "\"1.5.2\"}"),
            "1");
  EXPECT_EQ(m.at("varnock_check_last_report_timestamp_seconds{checker=\"h1\"}"), "1796969682");
  EXPECT_EQ(m.at("varnock_check_last_report_timestamp_seconds{checker=\"cam\"}"), "1796969682.5");
  EXPECT_EQ(m.at("varnock_gather_checkers"), "3");
  const std::string received = "varnock_check_messages_received_total{checker=";
  EXPECT_EQ(m.at(received + "\"h1\",channel=\"VARNOCK_MSG_4\"}"), "12");
  EXPECT_EQ(m.at(received + "\"cam\",channel=\"VARNOCK_MSG_17\"}"),
            std::to_string(summary(true).messages[1].counts.received));
  EXPECT_EQ(m.count(received + "\"cam\",channel=\"VARNOCK_MSG_4\"}"), 0U)
      << "an ended checker shows its summary";
}

// Histograms no checker sends are refused with the rest of the message.
TEST(GatherMetrics, ImplausibleHistogramsAreMalformed) {
  report::Reporter who{"cam", "h1", 5, "u", 1, "0.5.0", ""};
  account::SecondReport row;
  const check_report_t good = report::shared_row(who, row);
  struct Case {
    const char* what;
    void (*spoil)(check_report_t&);
  };
  const Case cases[] = {
      {"bucket bounds that do not rise", [](check_report_t& m) { m.bucket_le_us[4] = 50; }},
      {"bucket counts that fall", [](check_report_t& m) { m.delivery.le[0] = 3; }},
      {"a histogram's count below its buckets'",
       [](check_report_t& m) {
         m.lcm_queue.le.back() = 5;
         m.lcm_queue.count = 4;
       }},
  };
  for (const Case& c : cases) {
    gather::View view;
    check_report_t m = good;
    c.spoil(m);
    const char* why = "";
    EXPECT_EQ(view.hear(encoded(m), 0, &why), gather::View::Heard::kMalformed) << c.what;
    EXPECT_STREQ(why, c.what);
  }
}

}  // namespace
}  // namespace varnock
