// varnock-check: subscribes to varnock's channels and reports, second by
// second, what arrived, what was lost and what was damaged.
#include <cstdio>

#include "check/diagnose.h"
#include "check/options.h"
#include "check/run.h"
#include "platform/clock.h"
#include "platform/descriptors.h"
#include "varnock/version.h"

int main(int argc, char** argv) {
  varnock::open_missing_standard_descriptors();
  varnock::check::Options options;
  if (const std::string error = varnock::check::parse_options(argc, argv, &options);
      !error.empty()) {
    std::fprintf(stderr, "varnock-check: %s\n%s", error.c_str(), varnock::check::usage_line());
    return varnock::check::kCheckUsage;
  }
  if (options.help) {
    std::fputs(varnock::check::usage(), stdout);
    return varnock::check::kCheckOk;
  }
  if (options.version) {
    std::printf("varnock-check %s\n", varnock::kVersion);
    return varnock::check::kCheckOk;
  }
  varnock::SystemClock clock;
  if (options.diagnose) return varnock::check::run_diagnose(options, clock);
  return varnock::check::run_check(options, clock);
}
