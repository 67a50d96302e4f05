#include "account/loss_causes.h"

#include <algorithm>
#include <cmath>

namespace varnock::account {

LossSplit split_loss(const LossEvidence& e) {
  LossSplit s;
  s.drops_carried = e.drops_carried;
  if (!e.kernel_drops_known && !e.network_known) return s;
  int64_t left = std::max<int64_t>(e.lost, 0);
  auto take = [&left](int64_t up_to) {
    const int64_t n = std::clamp<int64_t>(up_to, 0, left);
    left -= n;
    return n;
  };
  // A bad checksum is one datagram, and so at most one frame; the socket
  // counts it among its drops too.
  if (e.network_known) s.checksum = take(e.checksum_errors);
  // A dropped datagram takes at most one frame with it.
  if (e.kernel_drops_known) {
    const int64_t own = e.kernel_drops;
    const int64_t checksum = e.network_known ? e.checksum_errors : 0;
    int64_t available = e.drops_carried + own - checksum;
    if (left > available && e.next) {
      s.drops_borrowed = std::min(left - available, e.next->kernel_drops);
      available += s.drops_borrowed;
    }
    s.receive_buffer = take(available);
    const int64_t explained = s.receive_buffer + s.checksum;
    // min(max()), not clamp: counters that went back may leave `own` below zero.
    s.drops_carried = own - std::min(std::max<int64_t>(explained - e.drops_carried, 0), own);
  }
  if (e.network_known) {
    // Reassembly refused for want of memory fails a datagram for each
    // fragment refused, with no timeout; a fragment lost on the way leaves
    // a queue that is never completed, one datagram each. It shows when it
    // begins, as one more incomplete queue, and again when it times out,
    // ipfrag_time later, as one less queue and one more timeout (and
    // failure): counted once, at its beginning. One begun at the end of a
    // second may show in the next, which lends its queues as it lends drops.
    s.reassembly_memory = take(e.reassembly_failures - e.reassembly_timeouts);
    int64_t queues = e.queues_left;
    if (left > queues && e.next) {
      // Queues may be below zero (one in flight at a reading completed since).
      s.queues_borrowed =
          std::min(std::max<int64_t>(left - std::max<int64_t>(queues, 0), 0), e.next->queues_left);
      queues = std::max<int64_t>(queues, 0) + s.queues_borrowed;
    }
    s.fragments = take(queues);
    // Frames lost with their status records while LCM's queue was deep: it
    // discarded both.
    if (!std::isnan(e.deepest_queue_ms) && e.deepest_queue_ms >= kDeepQueueMs) {
      s.in_lcm = take(e.lost_with_records);
    }
  }
  s.other = left + std::min<int64_t>(e.lost, 0);
  return s;
}

}  // namespace varnock::account
