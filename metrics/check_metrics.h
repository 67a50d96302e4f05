// varnock-check's account as Prometheus metrics (varnock_check_*), for one
// checker (varnock-check --metrics) or every checker heard (varnock-gather).
// The values are the table of fields' (report/fields.h), as check_report_t
// carries them.
#ifndef VARNOCK_METRICS_CHECK_METRICS_H_
#define VARNOCK_METRICS_CHECK_METRICS_H_

#include <span>
#include <string>
#include <string_view>

#include "messages/check_report_t.h"
#include "metrics/exposition.h"

namespace varnock::metrics {

// One checker: who it is and its run so far.
struct CheckerSeries {
  std::string_view label;  // the `checker` label (checker_label)
  std::string_view version;
  std::string_view url;
  std::string_view lcm_version;
  // Its settled seconds combined, or its summary once it ended.
  const check_report_t* run = nullptr;
  double last_report_s = 0;  // when its latest report came, seconds since 1970
};

// The `checker` label: the checker's --name, or its host when it was given
// none (its name is then the default "HOST:PID").
std::string checker_label(std::string_view name, std::string_view host, int32_t pid);

// Adds every varnock_check_* family, each with a sample per checker. A count
// a checker cannot know is left out; loss whose cause it cannot know is
// counted under cause "other", so that the causes always add up to the loss.
void add_check_families(Exposition& out, std::span<const CheckerSeries> checkers);

}  // namespace varnock::metrics

#endif  // VARNOCK_METRICS_CHECK_METRICS_H_
