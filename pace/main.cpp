// varnock-pace: varnock's stream at the rate and frame size of the user's
// own, to be checked by varnock-check.
#include <cstdio>
#include <memory>
#include <new>
#include <optional>

#include "cli/program.h"
#include "pace/options.h"
#include "pace/pacer.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/descriptors.h"
#include "platform/signals.h"

int main(int argc, char** argv) {
  varnock::open_missing_standard_descriptors();
  varnock::pace::Options options;
  const varnock::CommandLine line{varnock::pace::parse_options(argc, argv, &options),
                                  options.request};
  if (const std::optional<int> status = varnock::answer_command_line(
          varnock::Program::kPace, line, varnock::pace::kSynopsis, varnock::pace::help_text())) {
    return *status;
  }
  varnock::SystemClock clock;
  int status = 0;
  int stop_signal = 0;
  {
    varnock::ProcessConsole console;
    const std::unique_ptr<varnock::SendDropSource> drops = varnock::make_system_send_drop_source();
    try {
      status = varnock::pace::run_pace(options, clock, console, *drops);
    } catch (const std::bad_alloc&) {
      std::fprintf(stderr, "varnock-pace: cannot allocate a frame of %lld bytes\n",
                   static_cast<long long>(options.size.pixels()));
      status = varnock::kExitNoBus;
    }
    stop_signal = console.stop_signal();
  }  // the terminal is restored here
  // Ended by a signal, the process dies of it, as varnock does.
  if (stop_signal != 0) varnock::end_by_signal(stop_signal);
  return status;
}
