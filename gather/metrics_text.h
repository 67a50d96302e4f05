// varnock-gather's metrics: every checker heard, as its own exposition
// would show it (metrics/check_metrics.h), and what gather itself counts.
#ifndef VARNOCK_GATHER_METRICS_TEXT_H_
#define VARNOCK_GATHER_METRICS_TEXT_H_

#include <cstdint>
#include <string>

#include "gather/view.h"

namespace varnock::gather {

// The exposition of `view` at `now_ms` (this program's monotonic clock),
// when the wall clock reads `wall_ms`. Each checker's run is its seconds
// heard, or its summary once it ended. Checkers whose `checker` labels
// would be the same get "#2", "#3"... in the order first heard, so that no
// two share a series.
std::string metrics_text(const View& view, int64_t now_ms, int64_t wall_ms);

}  // namespace varnock::gather

#endif  // VARNOCK_GATHER_METRICS_TEXT_H_
