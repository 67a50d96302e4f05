#include "report/share.h"

#include <limits>
#include <utility>

#include "messages/encoding.h"
#include "report/fields.h"

namespace varnock::report {
namespace {

// The message's members by the field of the table that fills them.
struct CountMember {
  FieldId id;
  int64_t check_report_t::*member;
};
struct TimeMember {
  FieldId id;
  double check_report_t::*member;
};

constexpr CountMember kCounts[] = {
    {FieldId::kStatusRecords, &check_report_t::status_records},
    {FieldId::kFrames, &check_report_t::frames},
    {FieldId::kLost, &check_report_t::lost},
    {FieldId::kLostEstimated, &check_report_t::lost_estimated},
    {FieldId::kCorrupt, &check_report_t::corrupt},
    {FieldId::kDuplicates, &check_report_t::duplicates},
    {FieldId::kLate, &check_report_t::late},
    {FieldId::kRuns, &check_report_t::runs},
    {FieldId::kUnsequenced, &check_report_t::unsequenced},
    {FieldId::kKernelDrops, &check_report_t::kernel_drops},
    {FieldId::kLostReceiveBuffer, &check_report_t::lost_receive_buffer},
    {FieldId::kLostReassemblyMemory, &check_report_t::lost_reassembly_memory},
    {FieldId::kLostFragments, &check_report_t::lost_fragments},
    {FieldId::kLostInLcm, &check_report_t::lost_in_lcm},
    {FieldId::kLostChecksum, &check_report_t::lost_checksum},
    {FieldId::kLostOther, &check_report_t::lost_other},
};

constexpr TimeMember kTimes[] = {
    {FieldId::kLatencyP50, &check_report_t::latency_ms_p50},
    {FieldId::kLatencyP99, &check_report_t::latency_ms_p99},
    {FieldId::kLatencyMax, &check_report_t::latency_ms_max},
    {FieldId::kInterArrivalP50, &check_report_t::inter_arrival_ms_p50},
    {FieldId::kInterArrivalP99, &check_report_t::inter_arrival_ms_p99},
    {FieldId::kInterArrivalMax, &check_report_t::inter_arrival_ms_max},
    {FieldId::kDeliveryP50, &check_report_t::delivery_ms_p50},
    {FieldId::kDeliveryP99, &check_report_t::delivery_ms_p99},
    {FieldId::kDeliveryMax, &check_report_t::delivery_ms_max},
    {FieldId::kLcmQueueP50, &check_report_t::lcm_queue_ms_p50},
    {FieldId::kLcmQueueP99, &check_report_t::lcm_queue_ms_p99},
    {FieldId::kLcmQueueMax, &check_report_t::lcm_queue_ms_max},
};

template <typename ValueOf>
check_report_t fill(const Reporter& who, ValueOf value) {
  check_report_t m;
  m.name = who.name;
  m.host = who.host;
  m.pid = who.pid;
  m.url = who.url;
  for (const CountMember& c : kCounts) {
    const Value v = value(c.id);
    m.*c.member = v.kind == Value::kInteger ? v.integer : -1;
  }
  for (const TimeMember& t : kTimes) {
    const Value v = value(t.id);
    m.*t.member = v.kind == Value::kDecimal ? v.decimal : std::numeric_limits<double>::quiet_NaN();
  }
  return m;
}

}  // namespace

check_report_t shared_row(const Reporter& who, const account::SecondReport& r, int64_t send_drops) {
  check_report_t m = fill(who, [&r](FieldId id) { return row_value(id, r); });
  m.kind = check_report_t::kKindSecond;
  m.second = r.second;
  m.seconds = 1;
  m.bytes = r.counts.bytes;
  m.send_drops = send_drops;
  return m;
}

check_report_t shared_summary(const Reporter& who, const account::Summary& s, int64_t last_second,
                              int64_t send_drops) {
  check_report_t m = fill(who, [&s](FieldId id) { return summary_value(id, s); });
  m.kind = check_report_t::kKindSummary;
  m.second = last_second;
  m.seconds = s.seconds;
  m.bytes = s.totals.bytes;
  m.send_drops = send_drops;
  return m;
}

std::string default_reporter_name(const std::string& host, int32_t pid) {
  return host + ":" + std::to_string(pid);
}

Sharer::Sharer(lcm_t* bus, Reporter who, Clock& clock, SendDropSource& drops)
    : bus_(bus),
      who_(std::move(who)),
      clock_(clock),
      drops_(drops),
      first_(drops.read()),
      last_(first_),
      last_second_(clock.calendar_seconds()) {}

void Sharer::row(const account::SecondReport& r) {
  const SendCounters now = drops_.read();
  check_report_t m = shared_row(who_, r, send_drops_between(last_, now));
  last_ = now;
  last_second_ = r.second;
  publish(m);
}

void Sharer::summary(const account::Summary& s) {
  check_report_t m =
      shared_summary(who_, s, last_second_, send_drops_between(first_, drops_.read()));
  publish(m);
}

void Sharer::publish(check_report_t& m) {
  m.utime = clock_.wall_milliseconds() * 1000;
  publish_message(bus_, kShareChannel, m);
}

}  // namespace varnock::report
