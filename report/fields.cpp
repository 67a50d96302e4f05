#include "report/fields.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "messages/stream_message_t.h"

namespace varnock::report {
namespace {

using account::Counts;
using account::SecondReport;
using account::Summary;
using account::TimePercentiles;

constexpr int kMsPlaces = 2;
constexpr int kSecondsPlaces = 3;

// Milliseconds, two decimals; unknown without a sample.
Value ms(double v) { return decimal(v, kMsPlaces); }

// A count the kernel's drops split: unknown while their count is.
Value cause(int64_t v, bool known) { return known ? integer(v) : Value{}; }

using R = check_report_t;

// A count every record has.
#define VARNOCK_COUNT(member)                                                            \
  [](const SecondReport& r) { return integer(r.counts.member); },                        \
      [](const Summary& s) { return integer(s.totals.member); }, &R::member, nullptr, 0, \
      Combine::kSum

// A time in milliseconds: `value` reads it from a row's or the summary's times.
#define VARNOCK_MS(member, path, combine)                                                        \
  [](const SecondReport& r) { return ms(r.path); }, [](const Summary& s) { return ms(s.path); }, \
      nullptr, &R::member, kMsPlaces, combine

// A cause of loss, known once the host's counters are.
#define VARNOCK_CAUSE(member, known)                                                            \
  [](const SecondReport& r) { return cause(r.counts.member, r.known); },                        \
      [](const Summary& s) { return cause(s.totals.member, s.known); }, &R::member, nullptr, 0, \
      Combine::kSum

const Field kFields[] = {
    {FieldId::kSecond, "second", [](const SecondReport& r) { return integer(r.second); }, nullptr},
    {FieldId::kSeconds, "seconds", nullptr,
     [](const Summary& s) { return decimal(s.seconds, kSecondsPlaces); }, nullptr, &R::seconds,
     kSecondsPlaces, Combine::kNone},
    {FieldId::kClockStep, "clock_step_s",
     [](const SecondReport& r) { return integer(r.clock_step_s); }, nullptr},
    {FieldId::kStatusRecords, "status_records", VARNOCK_COUNT(status_records)},
    {FieldId::kFrames, "frames", VARNOCK_COUNT(frames)},
    {FieldId::kLost, "lost", VARNOCK_COUNT(lost)},
    // Frames without a sequence number are known lost only from status
    // records that no frame followed; a frame lost with its record leaves no
    // trace, so with any such frame received the loss is a lower bound.
    {FieldId::kLostLowerBound, "lost_lower_bound",
     [](const SecondReport& r) { return boolean(r.lost_lower_bound); },
     [](const Summary& s) { return boolean(s.lost_lower_bound); }, nullptr, nullptr, 0,
     Combine::kAny, nullptr, &R::lost_lower_bound},
    {FieldId::kLostEstimated, "lost_estimated", VARNOCK_COUNT(lost_estimated)},
    {FieldId::kCorrupt, "corrupt", VARNOCK_COUNT(corrupt)},
    {FieldId::kDuplicates, "duplicates", VARNOCK_COUNT(duplicates)},
    {FieldId::kLate, "late", VARNOCK_COUNT(late)},
    {FieldId::kRuns, "runs", VARNOCK_COUNT(runs)},
    {FieldId::kUnsequenced, "unsequenced", VARNOCK_COUNT(unsequenced)},
    {FieldId::kKernelDrops, "kernel_drops", VARNOCK_CAUSE(kernel_drops, kernel_drops_known)},
    {FieldId::kLostReceiveBuffer, "lost_receive_buffer",
     VARNOCK_CAUSE(lost_receive_buffer, kernel_drops_known), "receive_buffer"},
    {FieldId::kLostReassemblyMemory, "lost_reassembly_memory",
     VARNOCK_CAUSE(lost_reassembly_memory, network_known), "reassembly_memory"},
    {FieldId::kLostFragments, "lost_fragments", VARNOCK_CAUSE(lost_fragments, network_known),
     "fragments"},
    {FieldId::kLostInLcm, "lost_in_lcm", VARNOCK_CAUSE(lost_in_lcm, network_known), "in_lcm"},
    {FieldId::kLostChecksum, "lost_checksum", VARNOCK_CAUSE(lost_checksum, network_known),
     "checksum"},
    {FieldId::kLostOther, "lost_other",
     [](const SecondReport& r) {
       return cause(r.counts.lost_other, r.kernel_drops_known || r.network_known);
     },
     [](const Summary& s) {
       return cause(s.totals.lost_other, s.kernel_drops_known || s.network_known);
     },
     &R::lost_other, nullptr, 0, Combine::kSum, "other"},
    {FieldId::kRunPeriods, "run_periods", nullptr,
     [](const Summary& s) {
       Value v{Value::kPairs, 0, 0, 0, {}};
       for (const account::RunTracker::Span& run : s.runs)
         v.pairs.emplace_back(run.first, run.last);
       return v;
     }},
    {FieldId::kMegabytesPerSecond, "mb_per_s",
     [](const SecondReport& r) { return decimal(static_cast<double>(r.counts.bytes) / 1e6, 3); },
     nullptr},
    {FieldId::kBytes, "bytes", nullptr, [](const Summary& s) { return integer(s.totals.bytes); },
     &R::bytes, nullptr, 0, Combine::kSum},
    {FieldId::kLatencyP50, "latency_ms_p50",
     VARNOCK_MS(latency_ms_p50, latency.p50, Combine::kUnknown)},
    {FieldId::kLatencyP99, "latency_ms_p99",
     VARNOCK_MS(latency_ms_p99, latency.p99, Combine::kLargest)},
    {FieldId::kLatencyMax, "latency_ms_max",
     VARNOCK_MS(latency_ms_max, latency.max, Combine::kLargest)},
    {FieldId::kInterArrivalP50, "inter_arrival_ms_p50",
     VARNOCK_MS(inter_arrival_ms_p50, times.inter_arrival.p50, Combine::kUnknown)},
    {FieldId::kInterArrivalP99, "inter_arrival_ms_p99",
     VARNOCK_MS(inter_arrival_ms_p99, times.inter_arrival.p99, Combine::kLargest)},
    {FieldId::kInterArrivalMax, "inter_arrival_ms_max",
     VARNOCK_MS(inter_arrival_ms_max, times.inter_arrival.max, Combine::kLargest)},
    {FieldId::kDeliveryP50, "delivery_ms_p50",
     VARNOCK_MS(delivery_ms_p50, times.delivery.p50, Combine::kUnknown)},
    {FieldId::kDeliveryP99, "delivery_ms_p99",
     VARNOCK_MS(delivery_ms_p99, times.delivery.p99, Combine::kLargest)},
    {FieldId::kDeliveryMax, "delivery_ms_max",
     VARNOCK_MS(delivery_ms_max, times.delivery.max, Combine::kLargest)},
    {FieldId::kLcmQueueP50, "lcm_queue_ms_p50",
     VARNOCK_MS(lcm_queue_ms_p50, times.lcm_queue.p50, Combine::kUnknown)},
    {FieldId::kLcmQueueP99, "lcm_queue_ms_p99",
     VARNOCK_MS(lcm_queue_ms_p99, times.lcm_queue.p99, Combine::kLargest)},
    {FieldId::kLcmQueueMax, "lcm_queue_ms_max",
     VARNOCK_MS(lcm_queue_ms_max, times.lcm_queue.max, Combine::kLargest)},
    // The checker's host's, so that a checker beside a publisher shows the
    // sender's drops.
    {FieldId::kSendDrops, "send_drops",
     [](const SecondReport& r) { return cause(r.send_drops, r.send_drops >= 0); },
     [](const Summary& s) { return cause(s.send_drops, s.send_drops >= 0); }, &R::send_drops,
     nullptr, 0, Combine::kSum},
};

using account::StreamChannelFigures;

using S = check_report_t::Stream;

#define VARNOCK_STREAM_COUNT(member, help)                                                  \
  {                                                                                         \
#member, [](const StreamChannelFigures&                                                 \
                    c) { return integer(c.counts.member); }, &S::member, nullptr, 0,        \
                                                          "varnock_check_messages_" #member \
                                                          "_total",                         \
                                                          help                              \
  }
#define VARNOCK_STREAM_MS(member, path, combine)                                                  \
  {                                                                                               \
#member, [](const StreamChannelFigures& c) { return ms(c.times.path); }, nullptr, &S::member, \
                                                                          kMsPlaces, nullptr,     \
                                                                          nullptr, combine        \
  }

const StreamField kStreamFields[] = {
    VARNOCK_STREAM_COUNT(received, "Valid stream messages received, duplicates included."),
    VARNOCK_STREAM_COUNT(lost, "Numbers of a stream's publisher runs never received."),
    VARNOCK_STREAM_COUNT(duplicates, "Stream messages received again (or too old to tell)."),
    VARNOCK_STREAM_COUNT(reordered,
                         "Stream messages that came after a higher number of their run."),
    VARNOCK_STREAM_COUNT(lost_in_lcm,
                         "Of the stream messages lost, those LCM's queue discarded (inferred)."),
    VARNOCK_STREAM_COUNT(late,
                         "Reordered stream messages that were counted lost before they came."),
    VARNOCK_STREAM_COUNT(corrupt, "Stream messages that failed decoding or the payload check."),
    VARNOCK_STREAM_MS(latency_ms_p50, latency.p50, Combine::kUnknown),
    VARNOCK_STREAM_MS(latency_ms_p99, latency.p99, Combine::kLargest),
    VARNOCK_STREAM_MS(latency_ms_max, latency.max, Combine::kLargest),
    VARNOCK_STREAM_MS(delivery_ms_p99, delivery.p99, Combine::kLargest),
    VARNOCK_STREAM_MS(delivery_ms_max, delivery.max, Combine::kLargest),
    VARNOCK_STREAM_MS(inter_arrival_ms_p99, inter_arrival.p99, Combine::kLargest),
};

#undef VARNOCK_STREAM_COUNT
#undef VARNOCK_STREAM_MS
#undef VARNOCK_COUNT
#undef VARNOCK_MS
#undef VARNOCK_CAUSE

// The fields check_report_t carries, in the table's order.
const std::vector<const Field*> kShared = [] {
  std::vector<const Field*> shared;
  for (const Field& f : kFields) {
    if (f.count != nullptr || f.decimal != nullptr || f.flag != nullptr ||
        f.id == FieldId::kRunPeriods) {
      shared.push_back(&f);
    }
  }
  return shared;
}();

const Field* field(FieldId id) {
  for (const Field& f : kFields) {
    if (f.id == id) return &f;
  }
  return nullptr;
}

std::string fixed(double v, int places) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", places, v);
  return text;
}

}  // namespace

Value integer(int64_t v) { return {Value::kInteger, v, 0, 0, {}}; }

Value decimal(double v, int places) {
  if (!std::isfinite(v)) return {};
  return {Value::kDecimal, 0, v, places, {}};
}

Value boolean(bool v) { return {Value::kBoolean, v ? 1 : 0, 0, 0, {}}; }

std::span<const Field> fields() { return kFields; }

std::span<const Field* const> shared_fields() { return kShared; }

std::span<const StreamField> stream_fields() { return kStreamFields; }

std::string stream_channel_name(int channel) {
  return kStreamChannelPrefix + std::to_string(channel);
}

Value stream_value(const StreamField& f, const check_report_t::Stream& s) {
  if (f.count != nullptr) return integer(s.*f.count);
  return f.decimal != nullptr ? decimal(s.*f.decimal, f.places) : Value{};
}

check_report_t::Stream shared_stream(const account::StreamChannelFigures& c) {
  check_report_t::Stream s;
  s.channel = static_cast<int16_t>(c.channel);
  for (const StreamField& f : kStreamFields) {
    const Value v = f.of(c);
    if (f.count != nullptr) s.*f.count = v.integer;
    if (f.decimal != nullptr) {
      s.*f.decimal =
          v.kind == Value::kDecimal ? v.decimal : std::numeric_limits<double>::quiet_NaN();
    }
  }
  return s;
}

Value report_value(const Field& f, const check_report_t& m) {
  if (f.count != nullptr) return m.*f.count >= 0 ? integer(m.*f.count) : Value{};
  if (f.decimal != nullptr) return decimal(m.*f.decimal, f.places);
  if (f.flag != nullptr) return boolean(m.*f.flag);
  if (f.id != FieldId::kRunPeriods) return {};
  Value v{Value::kPairs, 0, 0, 0, {}};
  v.pairs = m.run_periods;
  return v;
}

Value row_value(FieldId id, const SecondReport& r) {
  const Field* f = field(id);
  return f != nullptr && f->of_row != nullptr ? f->of_row(r) : Value{};
}

Value summary_value(FieldId id, const Summary& s) {
  const Field* f = field(id);
  return f != nullptr && f->of_summary != nullptr ? f->of_summary(s) : Value{};
}

std::string plain_value(const Value& v, const char* none) {
  switch (v.kind) {
    case Value::kNull:
      return none;
    case Value::kInteger:
      return std::to_string(v.integer);
    case Value::kDecimal:
      return fixed(v.decimal, v.places);
    case Value::kBoolean:
      return v.integer != 0 ? "true" : "false";
    case Value::kPairs:
      break;
  }
  std::string out;
  for (const auto& [first, last] : v.pairs) {
    if (!out.empty()) out += ' ';
    out += std::to_string(first);
    out += '-';
    out += std::to_string(last);
  }
  return out.empty() ? none : out;
}

std::string json_value(const Value& v) {
  if (v.kind != Value::kPairs) return plain_value(v, "null");
  std::string out = "[";
  for (const auto& [first, last] : v.pairs) {
    if (out.size() > 1) out += ',';
    out += '[';
    out += std::to_string(first);
    out += ',';
    out += std::to_string(last);
    out += ']';
  }
  return out + "]";
}

}  // namespace varnock::report
