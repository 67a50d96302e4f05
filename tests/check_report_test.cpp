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
  m.version = "0.5.0";
  m.lcm_version = "1.3." + std::to_string(seed);
  m.bucket_le_us = {50, 100, static_cast<int32_t>(200 + seed)};
  int64_t k = seed * 1000;
  for (check_report_t::Histogram* h : {&m.latency, &m.inter_arrival, &m.delivery, &m.lcm_queue}) {
    h->le = {k + 1, k + 2, k + 3};
    h->count = k + 4;
    h->sum_us = k + 5;
    k += 10;
  }
  m.run_periods = {{60 + seed, 900 + seed}, {61 + seed, 62 + seed}};
  int64_t c = seed * 10'000;
  double ms = 0.125 + static_cast<double>(seed);
  for (const int16_t channel : {int16_t{0}, static_cast<int16_t>(seed), int16_t{255}}) {
    check_report_t::Stream s;
    s.channel = channel;
    for (int64_t* count :
         {&s.received, &s.lost, &s.duplicates, &s.reordered, &s.lost_in_lcm, &s.late, &s.corrupt}) {
      *count = ++c;
    }
    for (double* time : {&s.latency_ms_p50, &s.latency_ms_p99, &s.latency_ms_max,
                         &s.delivery_ms_p99, &s.delivery_ms_max, &s.inter_arrival_ms_p99}) {
      *time = (ms += 0.5);
    }
    m.streams.push_back(s);
  }
  return m;
}

// The bytes the streams take at the end of the message: their number, then
// each one's channel, seven counts and six times.
size_t stream_bytes(const check_report_t& m) { return 4 + m.streams.size() * (2 + 7 * 8 + 6 * 8); }

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
  unknown.streams.clear();
  unknown.bucket_le_us.clear();
  for (check_report_t::Histogram* h :
       {&unknown.latency, &unknown.inter_arrival, &unknown.delivery, &unknown.lcm_queue}) {
    *h = {};
  }
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
  extreme.lcm_version = "";
  extreme.bucket_le_us.assign(check_report_t::kBucketsMax, std::numeric_limits<int32_t>::min());
  extreme.bucket_le_us.back() = std::numeric_limits<int32_t>::max();
  extreme.delivery.le.assign(check_report_t::kBucketsMax, kMax);
  extreme.delivery.le.front() = kMin;
  for (check_report_t::Histogram* h :
       {&extreme.latency, &extreme.inter_arrival, &extreme.lcm_queue}) {
    h->le.assign(check_report_t::kBucketsMax, -1);
  }
  extreme.lcm_queue.sum_us = kMin;
  extreme.run_periods.assign(check_report_t::kRunPeriodsMax, {kMin, kMax});
  extreme.run_periods.back() = {kMax, -1};
  extreme.streams.resize(check_report_t::kStreamsMax);
  for (size_t i = 0; i < extreme.streams.size(); ++i) {
    check_report_t::Stream& s = extreme.streams[i];
    s.channel = static_cast<int16_t>(i);
    s.received = kMax - static_cast<int64_t>(i);
    s.corrupt = kMin + static_cast<int64_t>(i);
    s.late = static_cast<int64_t>(i) << 40;
    s.latency_ms_p50 = i % 2 == 0 ? kNaN : -kInf;
    s.inter_arrival_ms_p99 = static_cast<double>(i) / 3;
  }
  extreme.streams.back().delivery_ms_p99 = kInf;
  extreme.streams.front().latency_ms_p99 = -0.0;
  all.push_back(extreme);
  return all;
}

// The lcm-gen struct viewing `m`'s strings and this view's copies of its
// runs (valid while both are).
struct LcmView {
  explicit LcmView(const check_report_t& m);
  std::vector<int64_t> first;
  std::vector<int64_t> last;
  std::vector<int32_t> bounds;
  std::vector<int64_t> latency, inter_arrival, delivery, lcm_queue;
  std::vector<int16_t> channel;
  std::vector<int64_t> received, lost, duplicates, reordered, lost_in_lcm, late, corrupt;
  std::vector<double> latency_p50, latency_p99, latency_max, delivery_p99, delivery_max,
      inter_arrival_p99;
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
  c.version = const_cast<char*>(m.version.c_str());
  c.lcm_version = const_cast<char*>(m.lcm_version.c_str());
  bounds = m.bucket_le_us;
  latency = m.latency.le;
  inter_arrival = m.inter_arrival.le;
  delivery = m.delivery.le;
  lcm_queue = m.lcm_queue.le;
  c.buckets = static_cast<int32_t>(bounds.size());
  c.bucket_le_us = bounds.data();
  c.latency_le = latency.data();
  c.latency_count = m.latency.count;
  c.latency_sum_us = m.latency.sum_us;
  c.inter_arrival_le = inter_arrival.data();
  c.inter_arrival_count = m.inter_arrival.count;
  c.inter_arrival_sum_us = m.inter_arrival.sum_us;
  c.delivery_le = delivery.data();
  c.delivery_count = m.delivery.count;
  c.delivery_sum_us = m.delivery.sum_us;
  c.lcm_queue_le = lcm_queue.data();
  c.lcm_queue_count = m.lcm_queue.count;
  c.lcm_queue_sum_us = m.lcm_queue.sum_us;
  c.run_periods = static_cast<int32_t>(first.size());
  c.run_first = first.data();
  c.run_last = last.data();
  for (const check_report_t::Stream& s : m.streams) {
    channel.push_back(s.channel);
    received.push_back(s.received);
    lost.push_back(s.lost);
    duplicates.push_back(s.duplicates);
    reordered.push_back(s.reordered);
    lost_in_lcm.push_back(s.lost_in_lcm);
    late.push_back(s.late);
    corrupt.push_back(s.corrupt);
    latency_p50.push_back(s.latency_ms_p50);
    latency_p99.push_back(s.latency_ms_p99);
    latency_max.push_back(s.latency_ms_max);
    delivery_p99.push_back(s.delivery_ms_p99);
    delivery_max.push_back(s.delivery_ms_max);
    inter_arrival_p99.push_back(s.inter_arrival_ms_p99);
  }
  c.streams = static_cast<int32_t>(channel.size());
  c.stream_channel = channel.data();
  c.stream_received = received.data();
  c.stream_lost = lost.data();
  c.stream_duplicates = duplicates.data();
  c.stream_reordered = reordered.data();
  c.stream_lost_in_lcm = lost_in_lcm.data();
  c.stream_late = late.data();
  c.stream_corrupt = corrupt.data();
  c.stream_latency_ms_p50 = latency_p50.data();
  c.stream_latency_ms_p99 = latency_p99.data();
  c.stream_latency_ms_max = latency_max.data();
  c.stream_delivery_ms_p99 = delivery_p99.data();
  c.stream_delivery_ms_max = delivery_max.data();
  c.stream_inter_arrival_ms_p99 = inter_arrival_p99.data();
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
  EXPECT_EQ(a.version, b.version);
  EXPECT_EQ(a.lcm_version, b.lcm_version);
  ASSERT_EQ(std::ssize(a.bucket_le_us), b.buckets);
  for (size_t i = 0; i < a.bucket_le_us.size(); ++i) {
    EXPECT_EQ(a.bucket_le_us[i], b.bucket_le_us[i]) << i;
    EXPECT_EQ(a.latency.le[i], b.latency_le[i]) << i;
    EXPECT_EQ(a.inter_arrival.le[i], b.inter_arrival_le[i]) << i;
    EXPECT_EQ(a.delivery.le[i], b.delivery_le[i]) << i;
    EXPECT_EQ(a.lcm_queue.le[i], b.lcm_queue_le[i]) << i;
  }
  EXPECT_EQ(a.latency.count, b.latency_count);
  EXPECT_EQ(a.latency.sum_us, b.latency_sum_us);
  EXPECT_EQ(a.inter_arrival.count, b.inter_arrival_count);
  EXPECT_EQ(a.inter_arrival.sum_us, b.inter_arrival_sum_us);
  EXPECT_EQ(a.delivery.count, b.delivery_count);
  EXPECT_EQ(a.delivery.sum_us, b.delivery_sum_us);
  EXPECT_EQ(a.lcm_queue.count, b.lcm_queue_count);
  EXPECT_EQ(a.lcm_queue.sum_us, b.lcm_queue_sum_us);
  ASSERT_EQ(std::ssize(a.run_periods), b.run_periods);
  for (size_t i = 0; i < a.run_periods.size(); ++i) {
    EXPECT_EQ(a.run_periods[i].first, b.run_first[i]) << i;
    EXPECT_EQ(a.run_periods[i].second, b.run_last[i]) << i;
  }
  ASSERT_EQ(std::ssize(a.streams), b.streams);
  for (size_t i = 0; i < a.streams.size(); ++i) {
    const check_report_t::Stream& s = a.streams[i];
    EXPECT_EQ(s.channel, b.stream_channel[i]) << i;
    EXPECT_EQ(s.received, b.stream_received[i]) << i;
    EXPECT_EQ(s.lost, b.stream_lost[i]) << i;
    EXPECT_EQ(s.duplicates, b.stream_duplicates[i]) << i;
    EXPECT_EQ(s.reordered, b.stream_reordered[i]) << i;
    EXPECT_EQ(s.lost_in_lcm, b.stream_lost_in_lcm[i]) << i;
    EXPECT_EQ(s.late, b.stream_late[i]) << i;
    EXPECT_EQ(s.corrupt, b.stream_corrupt[i]) << i;
    EXPECT_EQ(bits(s.latency_ms_p50), bits(b.stream_latency_ms_p50[i])) << i;
    EXPECT_EQ(bits(s.latency_ms_p99), bits(b.stream_latency_ms_p99[i])) << i;
    EXPECT_EQ(bits(s.latency_ms_max), bits(b.stream_latency_ms_max[i])) << i;
    EXPECT_EQ(bits(s.delivery_ms_p99), bits(b.stream_delivery_ms_p99[i])) << i;
    EXPECT_EQ(bits(s.delivery_ms_max), bits(b.stream_delivery_ms_max[i])) << i;
    EXPECT_EQ(bits(s.inter_arrival_ms_p99), bits(b.stream_inter_arrival_ms_p99[i])) << i;
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
  EXPECT_EQ(check_report_t::kBucketsMax, VARNOCK_CHECK_REPORT_T_BUCKETS_MAX);
  EXPECT_EQ(check_report_t::kStreamsMax, VARNOCK_CHECK_REPORT_T_STREAMS_MAX);
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

// The number of runs sits just before their 16 bytes each, before the
// streams.
TEST_F(CheckReportRejects, RunsOutOfRange) {
  const size_t count_at = good_.size() - stream_bytes(distinct(4)) - size_t{2 * 16 + 4};
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

// The number of buckets sits after the two version strings, before the bounds.
TEST_F(CheckReportRejects, BucketsOutOfRange) {
  const check_report_t m = distinct(4);
  // Back from the end: the runs (count and two periods), the four histograms
  // (three counts, count and sum each), the three bounds, the number.
  constexpr size_t kAfter = (2 * 16 + 4) + 4 * (3 * 8 + 16) + 3 * 4 + 4;
  const size_t count_at = good_.size() - stream_bytes(m) - kAfter;
  uint32_t written = 0;
  for (size_t i = 0; i < 4; ++i) written = (written << 8) | good_[count_at + i];
  ASSERT_EQ(written, m.bucket_le_us.size());
  for (const int64_t buckets :
       {int64_t{-1}, int64_t{65}, int64_t{std::numeric_limits<int32_t>::max()}}) {
    Bytes b = good_;
    store_big_endian<4>(b.data() + count_at, static_cast<uint64_t>(buckets));
    expect_rejected(b, "buckets out of range");
  }
  check_report_t wrong = distinct(5);
  wrong.delivery.le.pop_back();  // fewer counts than bounds
  Bytes buffer(static_cast<size_t>(wrong.encoded_size()));
  EXPECT_EQ(wrong.encode_payload(buffer.data(), 8, static_cast<int32_t>(buffer.size()) - 8), -1);
}

// The number of streams, then their channels (two bytes each), at the end:
// a receiver's memory is bounded by the number, and a channel names one of
// VARNOCK_MSG_0 to VARNOCK_MSG_255.
TEST_F(CheckReportRejects, StreamsOrChannelsOutOfRange) {
  const check_report_t m = distinct(4);
  const size_t count_at = good_.size() - stream_bytes(m);
  uint32_t written = 0;
  for (size_t i = 0; i < 4; ++i) written = (written << 8) | good_[count_at + i];
  ASSERT_EQ(written, m.streams.size());
  for (const int64_t streams : {int64_t{-1}, int64_t{check_report_t::kStreamsMax + 1},
                                int64_t{std::numeric_limits<int32_t>::min()}}) {
    Bytes b = good_;
    store_big_endian<4>(b.data() + count_at, static_cast<uint64_t>(streams));
    expect_rejected(b, "streams out of range");
  }
  for (const int16_t channel : {int16_t{-1}, int16_t{256}, std::numeric_limits<int16_t>::min(),
                                std::numeric_limits<int16_t>::max()}) {
    for (size_t entry = 0; entry < m.streams.size(); ++entry) {
      Bytes b = good_;
      store_big_endian<2>(b.data() + count_at + 4 + 2 * entry, static_cast<uint64_t>(channel));
      expect_rejected(b, "stream channel out of range");
    }
  }
  check_report_t many = distinct(5);
  many.streams.resize(check_report_t::kStreamsMax + 1);
  Bytes buffer(static_cast<size_t>(many.encoded_size()));
  EXPECT_EQ(many.encode_payload(buffer.data(), 8, static_cast<int32_t>(buffer.size()) - 8), -1);
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
