#include "report/share.h"

#include <limits>
#include <random>
#include <utility>

#include "messages/encoding.h"
#include "report/fields.h"

namespace varnock::report {
namespace {

static_assert(account::RunTracker::kListed <= check_report_t::kRunPeriodsMax,
              "every run a summary lists fits in a report");
static_assert(kMaxStreamChannels <= check_report_t::kStreamsMax,
              "every stream channel fits in a report");

check_report_t::Histogram histogram(const account::TimeBuckets& b) {
  return {{b.at_or_below.begin(), b.at_or_below.end()}, b.count, b.sum_us};
}

void fill_histograms(check_report_t& m, const account::TimePercentiles& latency,
                     const account::ReceiveTimes& times) {
  m.bucket_le_us.assign(account::kBucketBoundsUs.begin(), account::kBucketBoundsUs.end());
  m.latency = histogram(latency.buckets);
  m.inter_arrival = histogram(times.inter_arrival.buckets);
  m.delivery = histogram(times.delivery.buckets);
  m.lcm_queue = histogram(times.lcm_queue.buckets);
}

template <typename ValueOf>
check_report_t fill(const Reporter& who, ValueOf value) {
  check_report_t m;
  m.name = who.name;
  m.host = who.host;
  m.pid = who.pid;
  m.url = who.url;
  m.instance = who.instance;
  m.version = who.version;
  m.lcm_version = who.lcm_version;
  for (const Field* f : shared_fields()) {
    const Value v = value(f->id);
    if (f->count != nullptr) m.*f->count = v.kind == Value::kInteger ? v.integer : -1;
    if (f->decimal != nullptr) {
      m.*f->decimal =
          v.kind == Value::kDecimal ? v.decimal : std::numeric_limits<double>::quiet_NaN();
    }
    if (f->flag != nullptr) m.*f->flag = v.kind == Value::kBoolean && v.integer != 0;
    if (f->id == FieldId::kRunPeriods) m.run_periods = v.pairs;
  }
  return m;
}

}  // namespace

check_report_t shared_row(const Reporter& who, const account::SecondReport& r) {
  check_report_t m = fill(who, [&r](FieldId id) { return row_value(id, r); });
  m.kind = check_report_t::kKindSecond;
  m.second = r.second;
  m.seconds = 1;
  // A row shows the rate; the message carries what makes it.
  m.bytes = r.counts.bytes;
  fill_histograms(m, r.latency, r.times);
  for (const account::StreamChannelFigures& c : r.messages) m.streams.push_back(shared_stream(c));
  return m;
}

check_report_t shared_summary(const Reporter& who, const account::Summary& s, int64_t last_second) {
  check_report_t m = fill(who, [&s](FieldId id) { return summary_value(id, s); });
  m.kind = check_report_t::kKindSummary;
  m.second = last_second;
  fill_histograms(m, s.latency, s.times);
  for (const account::StreamChannelFigures& c : s.messages) m.streams.push_back(shared_stream(c));
  return m;
}

int64_t new_instance() {
  std::random_device random;
  std::uniform_int_distribution<int64_t> any(1, std::numeric_limits<int64_t>::max());
  return any(random);
}

std::string default_reporter_name(const std::string& host, int32_t pid) {
  return host + ":" + std::to_string(pid);
}

Sharer::Sharer(lcm_t* bus, Reporter who, Clock& clock)
    : bus_(bus), who_(std::move(who)), clock_(clock), last_second_(clock.calendar_seconds()) {}

void Sharer::row(const account::SecondReport& r) {
  check_report_t m = shared_row(who_, r);
  last_second_ = r.second;
  publish(m);
}

void Sharer::summary(const account::Summary& s) {
  check_report_t m = shared_summary(who_, s, last_second_);
  publish(m);
  // Each later copy at a random time in its share of the spread.
  std::minstd_rand random(static_cast<uint32_t>(who_.instance));
  constexpr int64_t kShareMs = kSummarySpreadMs / (kSummaryCopies - 1);
  const int64_t first_ns = clock_.monotonic_nanoseconds();
  for (int copy = 1; copy < kSummaryCopies; ++copy) {
    const auto at_ms =
        static_cast<int64_t>((copy - 1) * kShareMs + static_cast<int64_t>(random() % kShareMs));
    clock_.sleep_until(first_ns + at_ms * 1'000'000);
    send(m);  // the same number again
  }
}

void Sharer::publish(check_report_t& m) {
  m.sequence = sequence_++;
  send(m);
}

void Sharer::send(check_report_t& m) {
  m.utime = clock_.wall_milliseconds() * 1000;
  publish_message(bus_, kShareChannel, m);
}

}  // namespace varnock::report
