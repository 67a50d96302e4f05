// varnock-gather: one view of every varnock-check that reports on the bus.
#include <cstdio>

#include "gather/exit_status.h"
#include "gather/gather_run.h"
#include "gather/options.h"
#include "gather/screen.h"
#include "platform/clock.h"
#include "platform/descriptors.h"
#include "platform/signals.h"
#include "varnock/version.h"

int main(int argc, char** argv) {
  using namespace varnock;
  open_missing_standard_descriptors();
  gather::Options options;
  if (const std::string error = gather::parse_options(argc, argv, &options); !error.empty()) {
    std::fprintf(stderr, "varnock-gather: %s\n%s", error.c_str(), gather::usage_line());
    return gather::kGatherUsage;
  }
  if (options.help) {
    std::fputs(gather::usage(), stdout);
    return gather::kGatherOk;
  }
  if (options.version) {
    std::printf("varnock-gather %s\n", kVersion);
    return gather::kGatherOk;
  }
  hold_run_signals(RunSignals::kStop);
  SystemClock clock;
  gather::StandardOutput screen;
  const int status = gather::run_gather(options, clock, screen);
  // Ended by a signal, with its summary written, the process dies of it.
  if (const int signo = received_stop_signal(); signo != 0) end_by_signal(signo);
  return status;
}
