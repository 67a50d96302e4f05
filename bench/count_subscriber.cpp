// A bare subscriber for the benchmarks: receives "RECSTAT" and "TFIMAGE" on
// the bus its argument names (by default, LCM's default multicast group with a
// receive buffer that holds whole frames) until SIGINT or SIGTERM, then
// prints how many of each arrived. It does nothing with what it receives.
//
//   count_subscriber [URL]
#include <lcm/lcm.h>

#include <csignal>
#include <cstdio>

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
  lcm_t* bus =
      lcm_create(argc > 1 ? argv[1] : "udpm://239.255.76.67:7667?ttl=0&recv_buf_size=4194304");
  if (bus == nullptr) return 1;
  long status = 0;
  long frames = 0;
  lcm_subscribe(bus, "RECSTAT", count, &status);
  lcm_subscribe(bus, "TFIMAGE", count, &frames);
  while (g_stop == 0) lcm_handle_timeout(bus, 100);
  std::printf("RECSTAT %ld TFIMAGE %ld\n", status, frames);
  lcm_destroy(bus);
  return 0;
}
