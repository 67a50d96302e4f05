#include "pace/pace_metrics.h"

#include "metrics/exposition.h"

namespace varnock::pace {

std::string pace_metrics_text(int64_t cycles, int64_t send_drops, double rate_hz,
                              int64_t messages_sent) {
  metrics::Exposition out;
  out.family("varnock_pace_cycles_total", "counter",
             "Cycles published: a status record and its frame, or with --messages a message on "
             "each channel, handed to LCM.");
  out.sample("varnock_pace_cycles_total", {}, cycles);
  if (messages_sent >= 0) {
    out.family("varnock_pace_messages_sent_total", "counter",
               "With --messages: the messages LCM took, every channel's.");
    out.sample("varnock_pace_messages_sent_total", {}, messages_sent);
  }
  out.family("varnock_pace_send_drops_total", "counter",
             "Datagrams this host dropped of what it sent, other programs' included.");
  if (send_drops >= 0) out.sample("varnock_pace_send_drops_total", {}, send_drops);
  out.family("varnock_pace_target_rate_hertz", "gauge",
             "The cycles a second asked for (--rate); absent for as fast as possible.");
  if (rate_hz > 0) out.sample("varnock_pace_target_rate_hertz", {}, rate_hz);
  return out.text();
}

}  // namespace varnock::pace
