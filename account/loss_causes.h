// Why a second's frames were lost: its loss split by what the kernel and the
// host counted beside it, each count explaining at most one lost frame, in a
// fixed order (checksum, receive buffer, reassembly memory, fragments, LCM's
// queue, other). Pure: the account keeps what passes between seconds.
#ifndef VARNOCK_ACCOUNT_LOSS_CAUSES_H_
#define VARNOCK_ACCOUNT_LOSS_CAUSES_H_

#include <cstdint>
#include <limits>
#include <optional>

namespace varnock::account {

// LCM's queue was this deep when the deepest wait it showed in a second
// reached it: complete messages are being discarded (LCM keeps 30 a
// subscription, 1.3.1 and 1.5.2 alike: lcm.c's default_max_num_queued_messages).
inline constexpr int64_t kDeepQueueMs = 50;

// What a second knows of its loss. A drop or a reassembly queue and the loss
// it makes can land a second apart (the counters are read a little after,
// the loss is placed by the run's pace), so a second also draws on the
// second before's leftover drops and on what the second after can lend.
struct LossEvidence {
  int64_t lost = 0;  // below zero when late frames gave back more than it counted
  bool kernel_drops_known = false;
  bool network_known = false;
  // Its kernel drops, less those it lent to the second before.
  int64_t kernel_drops = 0;
  // The second before's drops that its own loss left unexplained.
  int64_t drops_carried = 0;
  int64_t checksum_errors = 0;
  int64_t reassembly_failures = 0;
  int64_t reassembly_timeouts = 0;
  // Its reassembly queues left, less those it lent to the second before.
  int64_t queues_left = 0;
  // Lost frames whose status records never came either.
  int64_t lost_with_records = 0;
  // The longest wait in LCM's queue, in milliseconds; NaN with no message.
  double deepest_queue_ms = std::numeric_limits<double>::quiet_NaN();
  // What the second after can still lend, when it is open.
  struct Lendable {
    int64_t kernel_drops = 0;
    int64_t queues_left = 0;
  };
  std::optional<Lendable> next = std::nullopt;
};

// The split. The causes add up to `lost` when any counter is known, and are
// all zero when none is.
struct LossSplit {
  int64_t receive_buffer = 0;
  int64_t checksum = 0;
  int64_t reassembly_memory = 0;
  int64_t fragments = 0;
  int64_t in_lcm = 0;
  int64_t other = 0;
  // Taken from the second after: it lends no more of them.
  int64_t drops_borrowed = 0;
  int64_t queues_borrowed = 0;
  // This second's drops that its loss left over, for the second after
  // (LossEvidence::drops_carried); unchanged while drops are unknown.
  int64_t drops_carried = 0;

  bool operator==(const LossSplit&) const = default;
};

LossSplit split_loss(const LossEvidence& e);

}  // namespace varnock::account

#endif  // VARNOCK_ACCOUNT_LOSS_CAUSES_H_
