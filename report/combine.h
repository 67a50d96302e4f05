// Several reports made one: a checker's seconds into its run, checkers'
// runs into a total.
#ifndef VARNOCK_REPORT_COMBINE_H_
#define VARNOCK_REPORT_COMBINE_H_

#include <span>

#include "messages/check_report_t.h"

namespace varnock::report {

// The counts and times of `records` combined as the table of fields says
// (report/fields.h): counts summed (unknown when any is), p99 and max the
// largest known, p50 unknown; `seconds` added up; the histograms' buckets
// summed where every record has the same bounds, and none otherwise; the
// streams' counts summed per channel, their times as the frames'.
check_report_t combine(std::span<const check_report_t> records);

}  // namespace varnock::report

#endif  // VARNOCK_REPORT_COMBINE_H_
