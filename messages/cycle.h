// What every cycle of a publisher of varnock's stream sends, shared by
// varnock and varnock-pace: a status record on one channel, then a frame on
// the other.
#ifndef VARNOCK_MESSAGES_CYCLE_H_
#define VARNOCK_MESSAGES_CYCLE_H_

#include <cstdint>

#include "messages/recstat_t.h"

namespace varnock {

inline constexpr char kStatusChannel[] = "RECSTAT";
inline constexpr char kImageChannel[] = "TFIMAGE";
// The pause after each cycle of a run as fast as possible; varnock-check
// relies on a cycle lasting at least this long.
inline constexpr int64_t kPauseNanoseconds = 2'000'000;

// The status record of a cycle that started in calendar second `now`.
// Inline, so that the publish loops keep it as cheap as a copy.
inline recstat_t status_record(int64_t now) {
  recstat_t r;
  r.timestamp = now;
  r.int_a = 0;
  r.real_a = 20.0;
  r.real_b = 0.5;
  r.real_c = 0.0;
  r.byte_a = 1;
  r.byte_b = 1;
  r.byte_c = 10;
  r.int_b = 1;
  r.int_c = 2;
  r.int_d = 3;
  r.int_e = 0;
  return r;
}

}  // namespace varnock

#endif  // VARNOCK_MESSAGES_CYCLE_H_
