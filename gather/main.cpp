// varnock-gather: one view of every varnock-check that reports on the bus.
#include <cstdio>
#include <optional>

#include "cli/program.h"
#include "gather/gather_run.h"
#include "gather/options.h"
#include "gather/screen.h"
#include "platform/clock.h"
#include "platform/descriptors.h"
#include "platform/signals.h"

int main(int argc, char** argv) {
  using namespace varnock;
  open_missing_standard_descriptors();
  gather::Options options;
  const CommandLine line{gather::parse_options(argc, argv, &options), options.request};
  if (const std::optional<int> status =
          answer_command_line(Program::kGather, line, gather::kSynopsis, gather::help_text())) {
    return *status;
  }
  hold_run_signals(RunSignals::kStopAndResize);
  SystemClock clock;
  gather::StandardOutput screen;
  const int status = gather::run_gather(options, clock, screen);
  // Ended by a signal, with its summary written, the process dies of it.
  if (const int signo = received_stop_signal(); signo != 0) end_by_signal(signo);
  return status;
}
