// varnock-pace's metrics (--metrics), as Prometheus' text.
#ifndef VARNOCK_PACE_PACE_METRICS_H_
#define VARNOCK_PACE_PACE_METRICS_H_

#include <cstdint>
#include <string>

namespace varnock::pace {

// The cycles published so far, the datagrams the host dropped of what it
// sent since the start (-1: unknown, left out), the rate asked (0: as fast
// as possible, left out) and, with --messages, the messages LCM took (-1:
// frames, left out).
std::string pace_metrics_text(int64_t cycles, int64_t send_drops, double rate_hz,
                              int64_t messages_sent = -1);

}  // namespace varnock::pace

#endif  // VARNOCK_PACE_PACE_METRICS_H_
