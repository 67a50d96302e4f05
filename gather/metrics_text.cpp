#include "gather/metrics_text.h"

#include <set>
#include <vector>

#include "metrics/check_metrics.h"
#include "metrics/exposition.h"

namespace varnock::gather {

std::string metrics_text(const View& view, int64_t now_ms, int64_t wall_ms) {
  const std::vector<Checker>& checkers = view.checkers();
  std::vector<std::string> labels;
  std::vector<check_report_t> runs;
  labels.reserve(checkers.size());
  runs.reserve(checkers.size());
  std::set<std::string> taken;
  for (const Checker& c : checkers) {
    const std::string label = metrics::checker_label(c.name, c.host, c.pid);
    std::string unique = label;
    for (int n = 2; !taken.insert(unique).second; ++n) unique = label + "#" + std::to_string(n);
    labels.push_back(unique);
    runs.push_back(c.run());
  }
  std::vector<metrics::CheckerSeries> series(checkers.size());
  for (size_t i = 0; i < checkers.size(); ++i) {
    const Checker& c = checkers[i];
    series[i].label = labels[i];
    series[i].version = c.version;
    series[i].url = c.url;
    series[i].lcm_version = c.lcm_version;
    series[i].run = &runs[i];
    series[i].last_report_s = static_cast<double>(wall_ms - (now_ms - c.last_heard_ms)) / 1000.0;
  }
  metrics::Exposition out;
  metrics::add_check_families(out, series);
  out.family("varnock_gather_missing_reports_total", "counter",
             "Reports a checker numbered that never arrived here.");
  for (size_t i = 0; i < checkers.size(); ++i) {
    out.sample("varnock_gather_missing_reports_total", {{"checker", labels[i]}},
               checkers[i].missing_reports);
  }
  out.family("varnock_gather_malformed_reports_total", "counter",
             "Messages on VARNOCK_CHECK that were no checker's report.");
  out.sample("varnock_gather_malformed_reports_total", {}, view.malformed());
  out.family("varnock_gather_checkers", "gauge", "Checkers heard, ended or not.");
  out.sample("varnock_gather_checkers", {}, static_cast<int64_t>(checkers.size()));
  return out.text();
}

}  // namespace varnock::gather
