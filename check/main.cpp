// varnock-check: subscribes to varnock's channels and reports, second by
// second, what arrived, what was lost and what was damaged.
#include <cstdio>
#include <memory>
#include <optional>

#include "bus/lcm_url.h"
#include "check/check_run.h"
#include "check/diagnose_status.h"
#include "check/options.h"
#include "cli/program.h"
#include "diagnose/diagnose.h"
#include "host/host.h"
#include "platform/clock.h"
#include "platform/descriptors.h"
#include "platform/signals.h"

int main(int argc, char** argv) {
  using namespace varnock;
  open_missing_standard_descriptors();
  check::Options options;
  const CommandLine line{check::parse_options(argc, argv, &options), options.request};
  if (const std::optional<int> status =
          answer_command_line(Program::kCheck, line, check::kSynopsis, check::help_text())) {
    return *status;
  }
  hold_run_signals(RunSignals::kStop);
  SystemClock clock;
  const std::unique_ptr<host::Host> host = host::make_system_host();
  if (options.diagnose) {
    return check::diagnose_exit_status(diagnose::run_diagnose(bus::url_in_use(options.url),
                                                              options.seconds, *host, clock, stdout,
                                                              check::diagnose_exit_status));
  }
  const std::unique_ptr<SendDropSource> drops = make_system_send_drop_source();
  return check::run_check(options, *host, clock, *drops);
}
