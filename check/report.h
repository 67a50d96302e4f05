// How varnock-check writes its account: a line a second and a summary, as
// text, JSON (one object a line) or CSV rows.
#ifndef VARNOCK_CHECK_REPORT_H_
#define VARNOCK_CHECK_REPORT_H_

#include <cstdint>
#include <string>

#include "check/checker.h"

namespace varnock::check {

std::string text_row(const SecondReport& r);
std::string json_row(const SecondReport& r);
std::string csv_header();
std::string csv_row(const SecondReport& r);

// The whole run of `seconds` seconds.
std::string text_summary(const Checker& checker, double seconds);
std::string json_summary(const Checker& checker, double seconds);

}  // namespace varnock::check

#endif  // VARNOCK_CHECK_REPORT_H_
