// varnock-check's run: open the bus, subscribe, account second by second.
#ifndef VARNOCK_CHECK_RUN_H_
#define VARNOCK_CHECK_RUN_H_

#include <string>

#include "check/options.h"
#include "platform/clock.h"

namespace varnock::check {

enum CheckExitStatus : int {
  kCheckOk = 0,       // nothing corrupt
  kCheckNoBus = 1,    // the bus could not be opened
  kCheckUsage = 2,    // bad command line
  kCheckCorrupt = 3,  // a corrupt message was received
};

// The LCM default provider's URL.
inline constexpr char kLcmDefaultUrl[] = "udpm://239.255.76.67:7667?ttl=0";

// The URL a run with `options` opens: --url, else LCM_DEFAULT_URL, else LCM's default.
std::string url_in_use(const Options& options);

// Warnings about receive buffers too small for a frame on a udpm URL, given
// the kernel's net.core.rmem_max and rmem_default; "" when there is none.
std::string receive_buffer_warning(const std::string& url, long rmem_max, long rmem_default);

// Runs until options.seconds have passed or a stop signal; returns the exit
// status. Writes rows and the summary to standard output, notes to standard error.
int run_check(const Options& options, Clock& clock);

}  // namespace varnock::check

#endif  // VARNOCK_CHECK_RUN_H_
