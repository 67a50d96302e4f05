// varnock: publishes a status record and a test-pattern image on the LCM bus
// as fast as the bus allows, reporting the cycle rate every second, until a
// key is pressed.
#include <cstdio>
#include <memory>
#include <optional>

#include "app/arguments.h"
#include "app/publisher.h"
#include "cli/program.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/signals.h"

int main(int argc, char** argv) {
  varnock::Request request = varnock::Request::kRun;
  const varnock::CommandLine line{varnock::parse_arguments(argc, argv, &request), request};
  if (const std::optional<int> status = varnock::answer_command_line(
          varnock::Program::kVarnock, line, varnock::kVarnockSynopsis, varnock::help_text())) {
    return *status;
  }
  varnock::SystemClock clock;
  int status = 0;
  int stop_signal = 0;
  {
    varnock::ProcessConsole console;
    const std::unique_ptr<varnock::SendDropSource> drops = varnock::make_system_send_drop_source();
    status = varnock::run_varnock("", clock, console, *drops);
    stop_signal = console.stop_signal();
  }  // the terminal is restored here
  // Ended by a signal, the process dies of it, so that a calling shell or
  // script stops as it would for any program the signal killed.
  if (stop_signal != 0) varnock::end_by_signal(stop_signal);
  return status;
}
