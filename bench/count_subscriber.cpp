// A bare subscriber for the benchmarks: receives "RECSTAT", "TFIMAGE" and the
// streams "VARNOCK_MSG_.*" on the bus its argument names (by default, LCM's
// default multicast group with a receive buffer that holds whole frames)
// until SIGINT or SIGTERM, then prints, as one JSON object, how many of each
// arrived and the datagrams the kernel dropped for its socket (null off
// udpm). It does nothing with what it receives.
//
//   count_subscriber [URL]
#include <lcm/lcm.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "bus/lcm_url.h"
#include "host/host.h"
#include "receive/subscription.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void on_stop(int /*signo*/) { g_stop = 1; }

void count(const lcm_recv_buf_t* /*rbuf*/, const char* /*channel*/, void* counter) {
  ++*static_cast<long*>(counter);
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, on_stop);
  std::signal(SIGTERM, on_stop);
  const std::string url =
      argc > 1 ? argv[1] : "udpm://239.255.76.67:7667?ttl=0&recv_buf_size=4194304";
  lcm_t* bus = lcm_create(url.c_str());
  if (bus == nullptr) return 1;
  long status = 0;
  long frames = 0;
  long messages = 0;
  lcm_subscribe(bus, "RECSTAT", count, &status);
  lcm_subscribe(bus, "TFIMAGE", count, &frames);
  // The queue varnock-check gives each stream channel, so that neither loses
  // in LCM's queue what the other keeps.
  lcm_subscription_t* streams = lcm_subscribe(bus, "VARNOCK_MSG_.*", count, &messages);
  if (streams != nullptr) {
    lcm_subscription_set_queue_capacity(streams, varnock::receive::kStreamQueue);
  }
  varnock::bus::LcmUrl parsed;
  std::unique_ptr<varnock::host::ReceiveCounters> socket;
  if (varnock::bus::parse_lcm_url(url, &parsed).empty() && parsed.udpm()) {
    socket = varnock::host::make_system_host()->find_receive_socket(parsed.port);
  }
  while (g_stop == 0) lcm_handle_timeout(bus, 100);
  const long long drops = socket ? socket->drops() : -1;
  std::printf("{\"status_records\":%ld,\"frames\":%ld,\"messages\":%ld,\"kernel_drops\":%s}\n",
              status, frames, messages, drops >= 0 ? std::to_string(drops).c_str() : "null");
  lcm_destroy(bus);
  return 0;
}
