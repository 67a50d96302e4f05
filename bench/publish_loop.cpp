// The publishing limit of varnock-pace --messages: lcm_publish of one
// BYTES-byte buffer on VARNOCK_MSG_0, in a loop, for SECONDS, and nothing
// else; then prints {"messages":N,"seconds":S}, N the messages LCM accepted.
//
//   publish_loop URL SECONDS BYTES
#include <lcm/lcm.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: publish_loop URL SECONDS BYTES\n");
    return 2;
  }
  const long seconds = std::atol(argv[2]);
  const long bytes = std::atol(argv[3]);
  if (seconds < 1 || bytes < 1 || bytes > 65536) {
    std::fprintf(stderr, "publish_loop: SECONDS from 1, BYTES from 1 to 65536\n");
    return 2;
  }
  lcm_t* bus = lcm_create(argv[1]);
  if (bus == nullptr) return 1;
  const std::vector<unsigned char> message(static_cast<size_t>(bytes), 0x5A);
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + std::chrono::seconds(seconds);
  long long sent = 0;
  // The clock is read once every 256 messages, so that the loop is all
  // publishing.
  do {
    for (int i = 0; i < 256; ++i) {
      sent += lcm_publish(bus, "VARNOCK_MSG_0", message.data(),
                          static_cast<unsigned int>(message.size())) == 0;
    }
  } while (Clock::now() < end);
  const std::chrono::duration<double> elapsed = Clock::now() - start;
  std::printf("{\"messages\":%lld,\"seconds\":%.6f}\n", sent, elapsed.count());
  lcm_destroy(bus);
  return 0;
}
