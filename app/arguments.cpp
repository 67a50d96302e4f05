#include "app/arguments.h"

#include <string>
#include <string_view>

#include "cli/exit_status.h"

namespace varnock {

std::string parse_arguments(int argc, const char* const* argv, Request* request) {
  // varnock has no option of its own, so reading ends at the first argument.
  OptionReader args(argc, argv, {});
  std::string_view option;
  std::string_view value;
  args.next(&option, &value);
  return args.finish(request);
}

std::string help_text() {
  return R"(Usage: varnock [--help | --version]

A load generator for the LCM message bus. With no arguments it opens the bus
and, as fast as the machine allows with a 2 ms pause after each cycle,
publishes a 63-byte status record on RECSTAT and a 1280 x 1280 test-pattern
image (1,638,440 bytes) on TFIMAGE. Once a second it prints that second (Unix
time) and the number of cycles completed since its last line. Each cycle is
counted when its messages are handed to LCM; varnock-check tells what arrived.

The bus is LCM's default provider: the URL in the environment variable
LCM_DEFAULT_URL, else udpm://239.255.76.67:7667?ttl=0 (this host only). For
example:
  LCM_DEFAULT_URL='udpm://239.255.76.67:7667?ttl=1' varnock   (the local network)
  LCM_DEFAULT_URL='file:///tmp/run.log?mode=w' varnock        (record to a log)

Keys and signals: in the foreground, any key ends the run after the current
cycle and is left unread (with standard input from a pipe, any byte waiting).
Ctrl+C, Ctrl+\, SIGTERM and SIGHUP end it after the current cycle, with the
terminal restored, by that same signal. Ctrl+Z suspends it with the terminal
restored; fg or bg resumes it. In the background (started with & or sent
there by bg), it leaves the terminal and its keys alone until brought to the
foreground.

  --help       this text
  --version    the version

)" + exit_status_help(Program::kVarnock);
}

}  // namespace varnock
