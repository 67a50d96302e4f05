#include "report/fields.h"

#include <cmath>
#include <cstdio>

namespace varnock::report {
namespace {

using account::Counts;
using account::SecondReport;
using account::Summary;
using account::TimePercentiles;

Value integer(int64_t v) { return {Value::kInteger, v, 0, 0, {}}; }

Value decimal(double v, int places) {
  if (std::isnan(v)) return {};
  return {Value::kDecimal, 0, v, places, {}};
}

// Milliseconds, two decimals; unknown without a sample.
Value ms(double v) { return decimal(v, 2); }

// A count the kernel's drops split: unknown while their count is.
Value cause(int64_t v, bool known) { return known ? integer(v) : Value{}; }

const Field kFields[] = {
    {FieldId::kSecond, "second", [](const SecondReport& r) { return integer(r.second); }, nullptr},
    {FieldId::kSeconds, "seconds", nullptr, [](const Summary& s) { return decimal(s.seconds, 3); }},
    {FieldId::kClockStep, "clock_step_s",
     [](const SecondReport& r) { return integer(r.clock_step_s); }, nullptr},
    {FieldId::kStatusRecords, "status_records",
     [](const SecondReport& r) { return integer(r.counts.status_records); },
     [](const Summary& s) { return integer(s.totals.status_records); }},
    {FieldId::kFrames, "frames", [](const SecondReport& r) { return integer(r.counts.frames); },
     [](const Summary& s) { return integer(s.totals.frames); }},
    {FieldId::kLost, "lost", [](const SecondReport& r) { return integer(r.counts.lost); },
     [](const Summary& s) { return integer(s.totals.lost); }},
    {FieldId::kLostEstimated, "lost_estimated",
     [](const SecondReport& r) { return integer(r.counts.lost_estimated); },
     [](const Summary& s) { return integer(s.totals.lost_estimated); }},
    {FieldId::kCorrupt, "corrupt", [](const SecondReport& r) { return integer(r.counts.corrupt); },
     [](const Summary& s) { return integer(s.totals.corrupt); }},
    {FieldId::kDuplicates, "duplicates",
     [](const SecondReport& r) { return integer(r.counts.duplicates); },
     [](const Summary& s) { return integer(s.totals.duplicates); }},
    {FieldId::kLate, "late", [](const SecondReport& r) { return integer(r.counts.late); },
     [](const Summary& s) { return integer(s.totals.late); }},
    {FieldId::kRuns, "runs", [](const SecondReport& r) { return integer(r.counts.runs); },
     [](const Summary& s) { return integer(s.totals.runs); }},
    {FieldId::kUnsequenced, "unsequenced",
     [](const SecondReport& r) { return integer(r.counts.unsequenced); },
     [](const Summary& s) { return integer(s.totals.unsequenced); }},
    {FieldId::kKernelDrops, "kernel_drops",
     [](const SecondReport& r) { return cause(r.counts.kernel_drops, r.kernel_drops_known); },
     [](const Summary& s) { return cause(s.totals.kernel_drops, s.kernel_drops_known); }},
    {FieldId::kLostReceiveBuffer, "lost_receive_buffer",
     [](const SecondReport& r) {
       return cause(r.counts.lost_receive_buffer, r.kernel_drops_known);
     },
     [](const Summary& s) { return cause(s.totals.lost_receive_buffer, s.kernel_drops_known); }},
    {FieldId::kLostReassemblyMemory, "lost_reassembly_memory",
     [](const SecondReport& r) { return cause(r.counts.lost_reassembly_memory, r.network_known); },
     [](const Summary& s) { return cause(s.totals.lost_reassembly_memory, s.network_known); }},
    {FieldId::kLostFragments, "lost_fragments",
     [](const SecondReport& r) { return cause(r.counts.lost_fragments, r.network_known); },
     [](const Summary& s) { return cause(s.totals.lost_fragments, s.network_known); }},
    {FieldId::kLostInLcm, "lost_in_lcm",
     [](const SecondReport& r) { return cause(r.counts.lost_in_lcm, r.network_known); },
     [](const Summary& s) { return cause(s.totals.lost_in_lcm, s.network_known); }},
    {FieldId::kLostChecksum, "lost_checksum",
     [](const SecondReport& r) { return cause(r.counts.lost_checksum, r.network_known); },
     [](const Summary& s) { return cause(s.totals.lost_checksum, s.network_known); }},
    {FieldId::kLostOther, "lost_other",
     [](const SecondReport& r) {
       return cause(r.counts.lost_other, r.kernel_drops_known || r.network_known);
     },
     [](const Summary& s) {
       return cause(s.totals.lost_other, s.kernel_drops_known || s.network_known);
     }},
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
    {FieldId::kBytes, "bytes", nullptr, [](const Summary& s) { return integer(s.totals.bytes); }},
    {FieldId::kLatencyP50, "latency_ms_p50",
     [](const SecondReport& r) { return ms(r.latency.p50); },
     [](const Summary& s) { return ms(s.latency.p50); }},
    {FieldId::kLatencyP99, "latency_ms_p99",
     [](const SecondReport& r) { return ms(r.latency.p99); },
     [](const Summary& s) { return ms(s.latency.p99); }},
    {FieldId::kLatencyMax, "latency_ms_max",
     [](const SecondReport& r) { return ms(r.latency.max); },
     [](const Summary& s) { return ms(s.latency.max); }},
    {FieldId::kInterArrivalP50, "inter_arrival_ms_p50",
     [](const SecondReport& r) { return ms(r.times.inter_arrival.p50); },
     [](const Summary& s) { return ms(s.times.inter_arrival.p50); }},
    {FieldId::kInterArrivalP99, "inter_arrival_ms_p99",
     [](const SecondReport& r) { return ms(r.times.inter_arrival.p99); },
     [](const Summary& s) { return ms(s.times.inter_arrival.p99); }},
    {FieldId::kInterArrivalMax, "inter_arrival_ms_max",
     [](const SecondReport& r) { return ms(r.times.inter_arrival.max); },
     [](const Summary& s) { return ms(s.times.inter_arrival.max); }},
    {FieldId::kDeliveryP50, "delivery_ms_p50",
     [](const SecondReport& r) { return ms(r.times.delivery.p50); },
     [](const Summary& s) { return ms(s.times.delivery.p50); }},
    {FieldId::kDeliveryP99, "delivery_ms_p99",
     [](const SecondReport& r) { return ms(r.times.delivery.p99); },
     [](const Summary& s) { return ms(s.times.delivery.p99); }},
    {FieldId::kDeliveryMax, "delivery_ms_max",
     [](const SecondReport& r) { return ms(r.times.delivery.max); },
     [](const Summary& s) { return ms(s.times.delivery.max); }},
    {FieldId::kLcmQueueP50, "lcm_queue_ms_p50",
     [](const SecondReport& r) { return ms(r.times.lcm_queue.p50); },
     [](const Summary& s) { return ms(s.times.lcm_queue.p50); }},
    {FieldId::kLcmQueueP99, "lcm_queue_ms_p99",
     [](const SecondReport& r) { return ms(r.times.lcm_queue.p99); },
     [](const Summary& s) { return ms(s.times.lcm_queue.p99); }},
    {FieldId::kLcmQueueMax, "lcm_queue_ms_max",
     [](const SecondReport& r) { return ms(r.times.lcm_queue.max); },
     [](const Summary& s) { return ms(s.times.lcm_queue.max); }},
};

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

std::span<const Field> fields() { return kFields; }

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
