// Fuzzes varnock-check's account with the numbers a network can send it:
// sequence numbers, stamps and receive times of any value, in any order, for
// the publisher runs, the status-record witness and the latency histogram.
// Under the sanitizers it must never overflow, and the account must hold:
// losses given back never exceed those counted, memory stays bounded.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>

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
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
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
