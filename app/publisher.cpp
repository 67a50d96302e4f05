#include "app/publisher.h"

#include <charconv>
#include <cstdio>
#include <string>

#include "cli/exit_status.h"
#include "messages/encoding.h"
#include "messages/tfimage_t.h"
#include "pattern/frames.h"

namespace varnock {

std::string_view format_rate_line(char (&buffer)[64], int64_t now, int32_t cycles) {
  constexpr std::string_view kLabel = " frame rate: ";
  char* end = buffer + sizeof buffer;
  char* p = std::to_chars(buffer, end, now).ptr;
  p += kLabel.copy(p, kLabel.size());
  p = std::to_chars(p, end, cycles).ptr;
  *p++ = '\n';
  return {buffer, static_cast<size_t>(p - buffer)};
}

void pause_after_cycle(Clock& clock, Console& console) {
  const int64_t deadline = clock.monotonic_nanoseconds() + kPauseNanoseconds;
  while (clock.monotonic_nanoseconds() < deadline && console.stop_signal() == 0) {
    clock.sleep_until(deadline);
  }
}

std::string send_drop_warning(int64_t drops) {
  return "varnock: warning: the kernel dropped " + std::to_string(drops) +
         " datagrams of what this host sent while LCM reported them sent: the link or its queue "
         "is slower than varnock (the count is the host's, other programs' included)\n";
}

int run_publisher(lcm_t* bus, Clock& clock, Console& console, SendDropSource& drops) {
  int64_t last_report = clock.calendar_seconds();
  int32_t cycles = 0;
  TestPatternFrames frames;
  const SendCounters before = drops.read();
  bool warned = false;
  if (console.key_waiting()) return kExitOk;

  for (;;) {
    const int64_t now = clock.calendar_seconds();
    const recstat_t status = status_record(now);
    if (now != last_report) {
      char line[64];
      console.write(format_rate_line(line, now, cycles));
      cycles = 0;
      last_report = now;
      // Standard output stays the rate lines alone; the warning comes once.
      if (const int64_t dropped = warned ? 0 : send_drops_between(before, drops.read());
          dropped > 0) {
        std::fputs(send_drop_warning(dropped).c_str(), stderr);
        warned = true;
      }
    }
    publish_message(bus, kStatusChannel, status);
    publish_message(bus, kImageChannel, frames.next(clock.wall_milliseconds()));
    ++cycles;
    pause_after_cycle(clock, console);
    if (const int signo = console.stop_signal(); signo != 0) return exit_status_for_signal(signo);
    if (console.key_waiting()) return kExitOk;
  }
}

int run_varnock(const char* provider, Clock& clock, Console& console, SendDropSource& drops) {
  console.write("varnock\n");
  lcm_t* bus = lcm_create(provider);
  if (bus == nullptr) return kExitNoBus;
  const int status = run_publisher(bus, clock, console, drops);  // frees the frame on return
  lcm_destroy(bus);
  return status;
}

}  // namespace varnock
