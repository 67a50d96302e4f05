// check_report_t's wire format held to the code lcm-gen makes from
// messages/check_report_t.lcm: the fingerprint, bytes both ways, and what
// decode refuses.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "messages/check_report_t.h"
#include "messages/encoding.h"
#include "tests/support/bus_capture.h"
#include "varnock_check_report_t.h"

namespace varnock {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Every number distinct from every other, so that swapped fields show.
check_report_t distinct(int64_t seed) {
  check_report_t m;
  m.name = "alpha";
  m.host = "host-1";
  m.pid = static_cast<int32_t>(seed * 7 + 1);
  m.url = "udpm://239.255.76.67:7667?ttl=0";
  m.instance = 0x1234'5678'9ABC'0000 + seed;
  m.sequence = 40 + seed;
  m.lost_lower_bound = seed % 2 == 1;
  m.utime = 1'700'000'000'000'000 + seed;
  m.kind = check_report_t::kKindSecond;
  m.second = 1'700'000'000 + seed;
  m.seconds = 1;
  int64_t n = seed * 100;
  for (int64_t* count : {&m.status_records, &m.frames, &m.lost, &m.lost_estimated, &m.corrupt,
                         &m.duplicates, &m.late, &m.runs, &m.unsequenced, &m.bytes, &m.kernel_drops,
                         &m.lost_receive_buffer, &m.lost_reassembly_memory, &m.lost_fragments,
                         &m.lost_in_lcm, &m.lost_checksum, &m.lost_other, &m.send_drops}) {
    *count = ++n;
  }
  double t = 0.25 + static_cast<double>(seed);
  for (double* time :
       {&m.latency_ms_p50, &m.latency_ms_p99, &m.latency_ms_max, &m.inter_arrival_ms_p50,
        &m.inter_arrival_ms_p99, &m.inter_arrival_ms_max, &m.delivery_ms_p50, &m.delivery_ms_p99,
        &m.delivery_ms_max, &m.lcm_queue_ms_p50, &m.lcm_queue_ms_p99, &m.lcm_queue_ms_max}) {
    *time = (t += 1.5);
  }
  m.run_periods = {{60 + seed, 900 + seed}, {61 + seed, 62 + seed}};
  return m;
}

// Unknowns, extremes, empty and long strings, and bytes beyond ASCII.
std::vector<check_report_t> cases() {
  std::vector<check_report_t> all{distinct(1)};

  check_report_t unknown = distinct(2);
  unknown.kind = check_report_t::kKindSummary;
  unknown.seconds = 12.5;
  unknown.kernel_drops = unknown.lost_receive_buffer = unknown.lost_other = -1;
  unknown.send_drops = -1;
  unknown.latency_ms_p50 = unknown.delivery_ms_max = unknown.lcm_queue_ms_p99 = kNaN;
  unknown.run_periods.clear();
  all.push_back(unknown);

  check_report_t extreme = distinct(3);
  extreme.name = "";
  extreme.host = "h\xc3\xa9t\xe2\x82\xac \x01\x7f\xff";
  extreme.url.assign(70'000, 'u');
  extreme.pid = std::numeric_limits<int32_t>::min();
  extreme.utime = kMin;
  extreme.kind = -128;
  extreme.second = kMax;
  extreme.seconds = -0.0;
  extreme.frames = kMax;
  extreme.lost = kMin;
  extreme.instance = kMin;
  extreme.sequence = kMax;
  extreme.bytes = -1;
  extreme.latency_ms_p50 = -kInf;
  extreme.latency_ms_max = kInf;
  extreme.delivery_ms_p50 = std::numeric_limits<double>::denorm_min();
  extreme.run_periods.assign(check_report_t::kRunPeriodsMax, {kMin, kMax});
  extreme.run_periods.back() = {kMax, -1};
  all.push_back(extreme);
  return all;
}

// The lcm-gen struct viewing `m`'s strings and this view's copies of its
// runs (valid while both are).
struct LcmView {
  explicit LcmView(const check_report_t& m);
  std::vector<int64_t> first;
  std::vector<int64_t> last;
  varnock_check_report_t c{};
};

LcmView::LcmView(const check_report_t& m) {
  for (const auto& run : m.run_periods) {
    first.push_back(run.first);
    last.push_back(run.second);
  }
  c.name = const_cast<char*>(m.name.c_str());
  c.host = const_cast<char*>(m.host.c_str());
  c.pid = m.pid;
  c.url = const_cast<char*>(m.url.c_str());
  c.instance = m.instance;
  c.sequence = m.sequence;
  c.lost_lower_bound = m.lost_lower_bound ? 1 : 0;
  c.utime = m.utime;
  c.kind = m.kind;
  c.second = m.second;
  c.seconds = m.seconds;
  c.status_records = m.status_records;
  c.frames = m.frames;
  c.lost = m.lost;
  c.lost_estimated = m.lost_estimated;
  c.corrupt = m.corrupt;
  c.duplicates = m.duplicates;
  c.late = m.late;
  c.runs = m.runs;
  c.unsequenced = m.unsequenced;
  c.bytes = m.bytes;
  c.kernel_drops = m.kernel_drops;
  c.lost_receive_buffer = m.lost_receive_buffer;
  c.lost_reassembly_memory = m.lost_reassembly_memory;
  c.lost_fragments = m.lost_fragments;
  c.lost_in_lcm = m.lost_in_lcm;
  c.lost_checksum = m.lost_checksum;
  c.lost_other = m.lost_other;
  c.send_drops = m.send_drops;
  c.latency_ms_p50 = m.latency_ms_p50;
  c.latency_ms_p99 = m.latency_ms_p99;
  c.latency_ms_max = m.latency_ms_max;
  c.inter_arrival_ms_p50 = m.inter_arrival_ms_p50;
  c.inter_arrival_ms_p99 = m.inter_arrival_ms_p99;
  c.inter_arrival_ms_max = m.inter_arrival_ms_max;
  c.delivery_ms_p50 = m.delivery_ms_p50;
  c.delivery_ms_p99 = m.delivery_ms_p99;
  c.delivery_ms_max = m.delivery_ms_max;
  c.lcm_queue_ms_p50 = m.lcm_queue_ms_p50;
  c.lcm_queue_ms_p99 = m.lcm_queue_ms_p99;
  c.lcm_queue_ms_max = m.lcm_queue_ms_max;
  c.run_periods = static_cast<int32_t>(first.size());
  c.run_first = first.data();
  c.run_last = last.data();
}

// Equal bit for bit, so that NaN matches NaN and -0.0 is not 0.0.
uint64_t bits(double v) { return std::bit_cast<uint64_t>(v); }

void expect_same(const check_report_t& a, const varnock_check_report_t& b) {
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.host, b.host);
  EXPECT_EQ(a.pid, b.pid);
  EXPECT_EQ(a.url, b.url);
  EXPECT_EQ(a.instance, b.instance);
  EXPECT_EQ(a.sequence, b.sequence);
  EXPECT_EQ(a.lost_lower_bound ? 1 : 0, b.lost_lower_bound);
  EXPECT_EQ(a.utime, b.utime);
  EXPECT_EQ(a.kind, b.kind);
  EXPECT_EQ(a.second, b.second);
  EXPECT_EQ(bits(a.seconds), bits(b.seconds));
  EXPECT_EQ(a.status_records, b.status_records);
  EXPECT_EQ(a.frames, b.frames);
  EXPECT_EQ(a.lost, b.lost);
  EXPECT_EQ(a.lost_estimated, b.lost_estimated);
  EXPECT_EQ(a.corrupt, b.corrupt);
  EXPECT_EQ(a.duplicates, b.duplicates);
  EXPECT_EQ(a.late, b.late);
  EXPECT_EQ(a.runs, b.runs);
  EXPECT_EQ(a.unsequenced, b.unsequenced);
  EXPECT_EQ(a.bytes, b.bytes);
  EXPECT_EQ(a.kernel_drops, b.kernel_drops);
  EXPECT_EQ(a.lost_receive_buffer, b.lost_receive_buffer);
  EXPECT_EQ(a.lost_reassembly_memory, b.lost_reassembly_memory);
  EXPECT_EQ(a.lost_fragments, b.lost_fragments);
  EXPECT_EQ(a.lost_in_lcm, b.lost_in_lcm);
  EXPECT_EQ(a.lost_checksum, b.lost_checksum);
  EXPECT_EQ(a.lost_other, b.lost_other);
  EXPECT_EQ(a.send_drops, b.send_drops);
  EXPECT_EQ(bits(a.latency_ms_p50), bits(b.latency_ms_p50));
  EXPECT_EQ(bits(a.latency_ms_p99), bits(b.latency_ms_p99));
  EXPECT_EQ(bits(a.latency_ms_max), bits(b.latency_ms_max));
  EXPECT_EQ(bits(a.inter_arrival_ms_p50), bits(b.inter_arrival_ms_p50));
  EXPECT_EQ(bits(a.inter_arrival_ms_p99), bits(b.inter_arrival_ms_p99));
  EXPECT_EQ(bits(a.inter_arrival_ms_max), bits(b.inter_arrival_ms_max));
  EXPECT_EQ(bits(a.delivery_ms_p50), bits(b.delivery_ms_p50));
  EXPECT_EQ(bits(a.delivery_ms_p99), bits(b.delivery_ms_p99));
  EXPECT_EQ(bits(a.delivery_ms_max), bits(b.delivery_ms_max));
  EXPECT_EQ(bits(a.lcm_queue_ms_p50), bits(b.lcm_queue_ms_p50));
  EXPECT_EQ(bits(a.lcm_queue_ms_p99), bits(b.lcm_queue_ms_p99));
  EXPECT_EQ(bits(a.lcm_queue_ms_max), bits(b.lcm_queue_ms_max));
  ASSERT_EQ(std::ssize(a.run_periods), b.run_periods);
  for (size_t i = 0; i < a.run_periods.size(); ++i) {
    EXPECT_EQ(a.run_periods[i].first, b.run_first[i]) << i;
    EXPECT_EQ(a.run_periods[i].second, b.run_last[i]) << i;
  }
}

// What publish_message puts on a bus for `m`.
Bytes published(const check_report_t& m) {
  testing::BusCapture capture;
  EXPECT_EQ(publish_message(capture.bus(), "VARNOCK_CHECK", m), 0);
  capture.drain();
  if (capture.messages().size() != 1) {
    ADD_FAILURE() << capture.messages().size() << " messages published";
    return {};
  }
  return capture.messages()[0].bytes;
}

Bytes lcm_encoded(const check_report_t& m) {
  const LcmView view(m);
  const varnock_check_report_t& c = view.c;
  Bytes b(static_cast<size_t>(varnock_check_report_t_encoded_size(&c)));
  EXPECT_EQ(varnock_check_report_t_encode(b.data(), 0, static_cast<int>(b.size()), &c),
            static_cast<int>(b.size()));
  return b;
}

TEST(CheckReport, FingerprintIsLcmGens) {
  EXPECT_EQ(check_report_t::fingerprint,
            static_cast<uint64_t>(__varnock_check_report_t_get_hash()));
  const Bytes b = lcm_encoded(distinct(1));
  uint64_t first8 = 0;
  for (int i = 0; i < 8; ++i) first8 = (first8 << 8) | b[i];
  EXPECT_EQ(first8, check_report_t::fingerprint);
  EXPECT_EQ(check_report_t::kKindSecond, VARNOCK_CHECK_REPORT_T_KIND_SECOND);
  EXPECT_EQ(check_report_t::kKindSummary, VARNOCK_CHECK_REPORT_T_KIND_SUMMARY);
  EXPECT_EQ(check_report_t::kRunPeriodsMax, VARNOCK_CHECK_REPORT_T_RUN_PERIODS_MAX);
}

TEST(CheckReport, OurBytesAreLcmGensBothWays) {
  for (const check_report_t& m : cases()) {
    SCOPED_TRACE(m.name + " / " + std::to_string(m.pid));
    const Bytes ours = published(m);
    const Bytes theirs = lcm_encoded(m);
    EXPECT_EQ(m.encoded_size(), static_cast<int64_t>(theirs.size()));
    EXPECT_EQ(ours, theirs);

    varnock_check_report_t decoded{};
    ASSERT_EQ(
        varnock_check_report_t_decode(ours.data(), 0, static_cast<int>(ours.size()), &decoded),
        static_cast<int>(ours.size()));
    expect_same(m, decoded);
    varnock_check_report_t_decode_cleanup(&decoded);

    check_report_t back;
    const char* why = "";
    ASSERT_TRUE(
        check_report_t::decode(theirs.data(), static_cast<int64_t>(theirs.size()), &back, &why))
        << why;
    expect_same(back, LcmView(m).c);
  }
}

TEST(CheckReport, EncodePayloadNeedsRoomForEveryField) {
  const check_report_t m = cases()[2];
  const int32_t payload = static_cast<int32_t>(m.encoded_size() - 8);
  Bytes buffer(static_cast<size_t>(payload) + 16, 0xEE);
  EXPECT_EQ(m.encode_payload(buffer.data(), 16, payload), payload);
  // The url is most of the payload: capacities short of it fail at it.
  for (const int32_t capacity : {0, 1, 4, 10, 20, payload / 2, payload - 300, payload - 1}) {
    SCOPED_TRACE(capacity);
    EXPECT_EQ(m.encode_payload(buffer.data(), 16, capacity), -1);
  }
}

class CheckReportRejects : public ::testing::Test {
 protected:
  void SetUp() override {
    good_ = lcm_encoded(distinct(4));
    check_report_t m;
    ASSERT_TRUE(check_report_t::decode(good_.data(), std::ssize(good_), &m));
  }

  // Decodes `b`, expected to fail with `why` naming the problem.
  static void expect_rejected(const Bytes& b, const char* problem) {
    check_report_t m;
    const char* why = "";
    EXPECT_FALSE(check_report_t::decode(b.data(), std::ssize(b), &m, &why));
    EXPECT_NE(std::string(why).find(problem), std::string::npos) << why;
  }

  Bytes good_;
};

TEST_F(CheckReportRejects, EveryTruncation) {
  for (size_t n = 0; n < good_.size(); ++n) {
    SCOPED_TRACE(n);
    check_report_t m;
    EXPECT_FALSE(check_report_t::decode(good_.data(), static_cast<int64_t>(n), &m));
  }
  check_report_t m;
  EXPECT_FALSE(check_report_t::decode(nullptr, 0, &m));
}

TEST_F(CheckReportRejects, AnotherFingerprint) {
  for (size_t i = 0; i < 8; ++i) {
    Bytes b = good_;
    b[i] ^= 0x10;
    expect_rejected(b, "fingerprint");
  }
}

TEST_F(CheckReportRejects, BadStringLengths) {
  // The name "alpha" (length field at 8), the host "host-1" (at 18), the
  // url (at 33 after the pid).
  const size_t url_at = 8 + 4 + 6 + 4 + 7 + 4;
  struct Case {
    size_t at;
    int64_t length;
    const char* problem;
  };
  const int64_t past_end = static_cast<int64_t>(good_.size());
  const Case table[] = {
      {8, 0, "below 1"},
      {8, -1, "below 1"},
      {8, std::numeric_limits<int32_t>::min(), "below 1"},
      {8, std::numeric_limits<int32_t>::max(), "past the end"},
      {8, past_end, "past the end"},
      {18, 0, "below 1"},
      {18, past_end - 18, "past the end"},
      {url_at, -5, "below 1"},
      {url_at, past_end - static_cast<int64_t>(url_at) - 3, "past the end"},
      // Shorter than written: the string's last byte is not its NUL.
      {8, 5, "NUL"},
      {url_at, 2, "NUL"},
  };
  for (const Case& c : table) {
    SCOPED_TRACE(std::to_string(c.at) + ": " + std::to_string(c.length));
    Bytes b = good_;
    store_big_endian<4>(b.data() + c.at, static_cast<uint64_t>(c.length));
    expect_rejected(b, c.problem);
  }
  Bytes no_nul = good_;
  no_nul[8 + 4 + 5] = 'x';  // after "alpha"
  expect_rejected(no_nul, "NUL");
}

// The number of runs sits just before their 16 bytes each, at the end.
TEST_F(CheckReportRejects, RunsOutOfRange) {
  const size_t count_at = good_.size() - size_t{2 * 16 + 4};
  for (const int64_t runs :
       {int64_t{-1}, int64_t{101}, int64_t{std::numeric_limits<int32_t>::min()}}) {
    Bytes b = good_;
    store_big_endian<4>(b.data() + count_at, static_cast<uint64_t>(runs));
    expect_rejected(b, "runs out of range");
  }
  check_report_t m = distinct(5);
  m.run_periods.resize(check_report_t::kRunPeriodsMax + 1);
  Bytes buffer(static_cast<size_t>(m.encoded_size()));
  EXPECT_EQ(m.encode_payload(buffer.data(), 8, static_cast<int32_t>(buffer.size()) - 8), -1);
}

// A boolean is one byte, 0 or 1, as lcm-gen's code writes it.
TEST_F(CheckReportRejects, BooleanOtherThanZeroOrOne) {
  const check_report_t m = distinct(4);
  const size_t url_at = 8 + 4 + 6 + 4 + 7 + 4;
  // url, instance, sequence, utime, kind, second, seconds, status_records,
  // frames, lost; then the flag.
  const size_t flag_at = url_at + 4 + m.url.size() + 1 + 8 + 8 + 8 + 1 + 8 + 8 + 8 + 8 + 8;
  ASSERT_EQ(good_[flag_at], m.lost_lower_bound ? 1 : 0);
  for (const uint8_t byte : {2, 0x80, 0xFF}) {
    Bytes b = good_;
    b[flag_at] = byte;
    expect_rejected(b, "boolean");
  }
}

TEST_F(CheckReportRejects, TrailingBytes) {
  Bytes one_more = good_;
  one_more.push_back(0);
  expect_rejected(one_more, "past the message's end");
  Bytes two = good_;
  two.insert(two.end(), good_.begin(), good_.end());
  expect_rejected(two, "past the message's end");
}

}  // namespace
}  // namespace varnock
