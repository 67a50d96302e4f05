// The account's fields, defined once: each has a name and a value in the
// per-second rows, in the summary, or both, and, where check_report_t
// carries it, its member there and how several checkers' values combine.
// Every output follows this table in its order and takes its values and
// their rounding from it: varnock-check's JSON lines, CSV and text, the
// reports it shares, and varnock-gather's rows, table, JSON and CSV.
// docs/output-fields.md describes every field.
#ifndef VARNOCK_REPORT_FIELDS_H_
#define VARNOCK_REPORT_FIELDS_H_

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "account/account.h"
#include "messages/check_report_t.h"

namespace varnock::report {

// A field's value: a whole number, a decimal with fixed places, a list of
// [first, last] pairs, true or false (`integer` 1 or 0), or unknown.
struct Value {
  enum Kind { kNull, kInteger, kDecimal, kPairs, kBoolean };
  Kind kind = kNull;
  int64_t integer = 0;
  double decimal = 0;
  int places = 0;
  std::vector<std::pair<int64_t, int64_t>> pairs;
};

// A known whole number; a decimal with `places`, unknown when not finite.
Value integer(int64_t v);
Value decimal(double v, int places);
Value boolean(bool v);

// Every field by name; the order is the output's.
enum class FieldId {
  kSecond,
  kSeconds,
  kClockStep,
  kStatusRecords,
  kFrames,
  kLost,
  kLostLowerBound,
  kLostEstimated,
  kCorrupt,
  kDuplicates,
  kLate,
  kRuns,
  kUnsequenced,
  kKernelDrops,
  kLostReceiveBuffer,
  kLostReassemblyMemory,
  kLostFragments,
  kLostInLcm,
  kLostChecksum,
  kLostOther,
  kRunPeriods,
  kMegabytesPerSecond,
  kBytes,
  kLatencyP50,
  kLatencyP99,
  kLatencyMax,
  kInterArrivalP50,
  kInterArrivalP99,
  kInterArrivalMax,
  kDeliveryP50,
  kDeliveryP99,
  kDeliveryMax,
  kLcmQueueP50,
  kLcmQueueP99,
  kLcmQueueMax,
  kSendDrops,
};

// How the values of several reports (seconds, or checkers) make one.
enum class Combine {
  kNone,     // not combined (a run's own length, its runs)
  kSum,      // counts; unknown when any is
  kLargest,  // p99 and max: the largest known
  kUnknown,  // a median cannot be made from others'
  kAny,      // a flag: true when any is
};

struct Field {
  FieldId id;
  const char* name;
  // Null when the field is not in that record.
  Value (*of_row)(const account::SecondReport&);
  Value (*of_summary)(const account::Summary&);
  // Where check_report_t carries it: a count (-1 unknown), or a decimal with
  // `places` (NaN unknown); both null when it carries it otherwise or not.
  int64_t check_report_t::*count = nullptr;
  double check_report_t::*decimal = nullptr;
  int places = 0;
  Combine combine = Combine::kNone;
  // For the causes of loss: the cause's short name ("receive_buffer").
  const char* cause = nullptr;
  // Where check_report_t carries it as a flag.
  bool check_report_t::*flag = nullptr;
};

// The whole table, in output order.
std::span<const Field> fields();

// A field's value in a row or the summary; kNull when the field is not in it.
Value row_value(FieldId id, const account::SecondReport& r);
Value summary_value(FieldId id, const account::Summary& s);

// A field's value as check_report_t `m` carries it (run_periods included),
// with the table's rounding; kNull when `m` does not carry it or it is unknown.
Value report_value(const Field& f, const check_report_t& m);

// The fields carried in check_report_t, in the table's order.
std::span<const Field* const> shared_fields();

// The fields of each entry of a row's and the summary's "messages" list,
// one entry per stream channel, after its "channel" name; each is carried
// in check_report_t's streams as a count or a decimal with `places`. Counts
// of several reports are summed per channel, times combined by `combine`.
struct StreamField {
  const char* name;
  Value (*of)(const account::StreamChannelFigures&);
  int64_t check_report_t::Stream::*count = nullptr;
  double check_report_t::Stream::*decimal = nullptr;
  int places = 0;
  // A count's Prometheus counter, labelled by checker and channel; null
  // for none.
  const char* metric = nullptr;
  const char* help = nullptr;
  // How a time combines across seconds and checkers; counts are summed.
  Combine combine = Combine::kSum;
};
std::span<const StreamField> stream_fields();

// A stream field as check_report_t carries it, with the table's rounding.
Value stream_value(const StreamField& f, const check_report_t::Stream& s);

// The figures as check_report_t carries them, by the table.
check_report_t::Stream shared_stream(const account::StreamChannelFigures& c);

// "VARNOCK_MSG_<k>".
std::string stream_channel_name(int channel);

// "42", "0.76", "null" (JSON) or `none` (text, CSV) for an unknown value.
std::string json_value(const Value& v);
std::string plain_value(const Value& v, const char* none);

}  // namespace varnock::report

#endif  // VARNOCK_REPORT_FIELDS_H_
