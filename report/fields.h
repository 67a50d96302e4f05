// The account's fields, defined once: each has a name and a value in the
// per-second rows, in the summary, or both. The JSON lines and the CSV
// columns follow this table in its order; the text shows the same values in
// a form for people. docs/output-fields.md describes every field.
#ifndef VARNOCK_REPORT_FIELDS_H_
#define VARNOCK_REPORT_FIELDS_H_

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "account/account.h"

namespace varnock::report {

// A field's value: a whole number, a decimal with fixed places, a list of
// [first, last] pairs, or unknown.
struct Value {
  enum Kind { kNull, kInteger, kDecimal, kPairs };
  Kind kind = kNull;
  int64_t integer = 0;
  double decimal = 0;
  int places = 0;
  std::vector<std::pair<int64_t, int64_t>> pairs;
};

// Every field by name; the order is the output's.
enum class FieldId {
  kSecond,
  kSeconds,
  kClockStep,
  kStatusRecords,
  kFrames,
  kLost,
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
};

struct Field {
  FieldId id;
  const char* name;
  // Null when the field is not in that record.
  Value (*of_row)(const account::SecondReport&);
  Value (*of_summary)(const account::Summary&);
};

// The whole table, in output order.
std::span<const Field> fields();

// A field's value in a row or the summary; kNull when the field is not in it.
Value row_value(FieldId id, const account::SecondReport& r);
Value summary_value(FieldId id, const account::Summary& s);

// "42", "0.76", "null" (JSON) or `none` (text, CSV) for an unknown value.
std::string json_value(const Value& v);
std::string plain_value(const Value& v, const char* none);

}  // namespace varnock::report

#endif  // VARNOCK_REPORT_FIELDS_H_
