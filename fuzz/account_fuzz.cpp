// Fuzzes varnock-check's account with the numbers a network can send it:
// sequence numbers, stamps and receive times of any value, in any order, for
// the publisher runs, the status-record witness and the latency histogram;
// and the split of loss by cause with any counters a run can gather. Under
// the sanitizers it must never overflow, and the account must hold: losses
// given back never exceed those counted, memory stays bounded, the causes add
// up to the loss and a drop explains one lost frame at most.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "account/loss_causes.h"
#include "account/publisher_runs.h"
#include "account/status_witness.h"
#include "account/time_histogram.h"
#include "messages/tfimage_t.h"

namespace {

// The last period of varnock's pattern that is a sequence number.
constexpr int64_t kLastPeriod = varnock::kFramePixels - 1;

void require(bool condition) {
  if (!condition) std::abort();
}

// Counters as large as a run's, far from overflow.
constexpr int64_t kMost = int64_t{1} << 40;

void split_any_loss(FuzzedDataProvider& in) {
  using varnock::account::LossEvidence;
  LossEvidence e;
  e.lost = in.ConsumeIntegralInRange<int64_t>(-kMost, kMost);
  e.kernel_drops_known = in.ConsumeBool();
  e.network_known = in.ConsumeBool();
  e.kernel_drops = in.ConsumeIntegralInRange<int64_t>(0, kMost);
  e.drops_carried = in.ConsumeIntegralInRange<int64_t>(0, kMost);
  e.checksum_errors = in.ConsumeIntegralInRange<int64_t>(0, kMost);
  e.reassembly_failures = in.ConsumeIntegralInRange<int64_t>(0, kMost);
  e.reassembly_timeouts = in.ConsumeIntegralInRange<int64_t>(0, kMost);
  e.queues_left = in.ConsumeIntegralInRange<int64_t>(-kMost, kMost);
  e.lost_with_records = in.ConsumeIntegralInRange<int64_t>(0, kMost);
  e.deepest_queue_ms = in.ConsumeFloatingPoint<double>();
  if (in.ConsumeBool()) {
    e.next = LossEvidence::Lendable{in.ConsumeIntegralInRange<int64_t>(0, kMost),
                                    in.ConsumeIntegralInRange<int64_t>(-kMost, kMost)};
  }
  const varnock::account::LossSplit s = varnock::account::split_loss(e);
  const int64_t causes[] = {s.receive_buffer, s.checksum, s.reassembly_memory, s.fragments,
                            s.in_lcm};
  int64_t sum = s.other;
  for (int64_t n : causes) {
    require(n >= 0);
    sum += n;
  }
  if (!e.kernel_drops_known && !e.network_known) {
    require(sum == 0 && s.drops_carried == e.drops_carried);
    return;
  }
  require(sum == e.lost);
  require(s.other >= std::min<int64_t>(e.lost, 0));
  // Borrowed only what the next second lends, and only what was needed.
  require(s.drops_borrowed >= 0 && s.drops_borrowed <= (e.next ? e.next->kernel_drops : 0));
  require(s.queues_borrowed <= (e.next ? std::max<int64_t>(e.next->queues_left, 0) : 0));
  if (e.kernel_drops_known) {
    // A drop explains one frame at most, and carries one second at most.
    require(s.receive_buffer <= e.drops_carried + e.kernel_drops + s.drops_borrowed);
    require(s.drops_carried >= 0 && s.drops_carried <= e.kernel_drops);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  varnock::account::RunTracker runs;
  varnock::account::StatusWitness witness;
  varnock::account::TimeHistogram latency;
  int64_t missing = 0;
  int64_t late = 0;
  int64_t frames = 0;
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
      case 0: {
        // A valid frame's sequence number is a period of the pattern.
        const int64_t seq = in.ConsumeIntegralInRange<int64_t>(1, kLastPeriod);
        const int64_t stamp = in.ConsumeIntegral<int64_t>();
        const int64_t recv = in.ConsumeIntegral<int64_t>();
        const auto o = runs.add(seq, stamp, recv, in.ConsumeIntegralInRange<int64_t>(1, 3));
        require(o.missing >= 0 && o.missing < kLastPeriod);
        missing += o.missing;
        if (o.kind == varnock::account::FrameOutcome::kLate) ++late;
        ++frames;
        break;
      }
      case 1:
        witness.on_status(in.ConsumeIntegral<int64_t>(), in.ConsumeIntegral<int64_t>());
        break;
      case 2: {
        const int64_t n = in.ConsumeIntegral<int64_t>();
        const int64_t now = in.ConsumeIntegral<int64_t>();
        const int64_t from = in.ConsumeIntegral<int64_t>();
        int64_t unmatched = -1;
        for (const auto& [second, back] :
             witness.close(n, now, from, in.ConsumeIntegral<int64_t>(), &unmatched)) {
          require(back > 0 && back <= std::max<int64_t>(n, 0));
        }
        require(unmatched >= 0 && unmatched <= std::max<int64_t>(n, 0));
        break;
      }
      case 3: {
        const int64_t n = in.ConsumeIntegralInRange<int64_t>(0, kLastPeriod);
        const int64_t taken =
            witness.take_back(n, in.ConsumeIntegral<int64_t>(), in.ConsumeIntegral<int64_t>());
        require(taken >= 0 && taken <= n);
        for (const auto& [second, lost] :
             witness.expire(in.ConsumeIntegral<int64_t>(), in.ConsumeBool())) {
          require(lost > 0);
        }
        break;
      }
      case 4:
        split_any_loss(in);
        break;
      default:
        latency.add(in.ConsumeIntegral<int64_t>());
        break;
    }
  }
  // A late frame gives back a loss some gap counted.
  require(late <= missing);
  require(runs.runs_started() <= frames);
  require(runs.listed().size() <= varnock::account::RunTracker::kListed);
  const varnock::account::TimePercentiles l = latency.summary();
  if (latency.count() > 0) require(l.p50 <= l.max && l.p99 <= l.max);
  return 0;
}
