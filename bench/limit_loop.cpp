// The cycle-rate limit of varnock's workload: publishes a 63-byte and a
// 1,638,440-byte message through the same bus and pauses 2 ms, nothing else.
// Prints the same rate lines as varnock and stops on a key.
#include <lcm/lcm.h>

#include <cstdint>
#include <vector>

#include "app/publisher.h"
#include "cli/exit_status.h"
#include "messages/tfimage_t.h"
#include "platform/clock.h"
#include "platform/console.h"

int main() {
  varnock::SystemClock clock;
  varnock::ProcessConsole console;
  console.write("limit_loop\n");
  lcm_t* bus = lcm_create("");
  if (bus == nullptr) return varnock::kExitNoBus;

  const std::vector<uint8_t> status(63, 1);
  const std::vector<uint8_t> image(varnock::kFrameBytes, 2);
  int64_t last_report = clock.calendar_seconds();
  int32_t cycles = 0;
  int status_code = varnock::kExitOk;
  while (!console.key_waiting()) {
    const int64_t now = clock.calendar_seconds();
    if (now != last_report) {
      char line[64];
      console.write(varnock::format_rate_line(line, now, cycles));
      cycles = 0;
      last_report = now;
    }
    lcm_publish(bus, varnock::kStatusChannel, status.data(), static_cast<unsigned>(status.size()));
    lcm_publish(bus, varnock::kImageChannel, image.data(), static_cast<unsigned>(image.size()));
    ++cycles;
    const int64_t deadline = clock.monotonic_nanoseconds() + varnock::kPauseNanoseconds;
    while (clock.monotonic_nanoseconds() < deadline) clock.sleep_until(deadline);
    if (const int signo = console.stop_signal(); signo != 0) {
      status_code = varnock::exit_status_for_signal(signo);
      break;
    }
  }
  lcm_destroy(bus);
  return status_code;
}
