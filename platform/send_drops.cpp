#include "platform/send_drops.h"

#include <algorithm>

namespace varnock {

int64_t send_drops_between(const SendCounters& before, const SendCounters& after) {
  int64_t drops = -1;
  const auto rise = [&drops](int64_t a, int64_t b) {
    // A counter that went backwards was reset (or wrapped): it tells nothing.
    if (a >= 0 && b >= a) drops = std::max(drops, b - a);
  };
  rise(before.send_buffer_errors, after.send_buffer_errors);
  rise(before.fragmentation_failures, after.fragmentation_failures);
  rise(before.output_discards, after.output_discards);
  return drops;
}

}  // namespace varnock
