// varnock: publishes a status record and a test-pattern image on the LCM bus
// as fast as the bus allows, reporting the cycle rate every second, until a
// key is pressed.
#include "app/publisher.h"
#include "platform/clock.h"
#include "platform/console.h"

int main() {
  varnock::SystemClock clock;
  varnock::ProcessConsole console;
  return varnock::run_varnock("", clock, console);
}
