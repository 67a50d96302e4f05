// varnock-check --diagnose: a preflight of the bus set-up, one line per check,
// each failing one with the command that fixes it. It reads settings, never
// changes them.
#ifndef VARNOCK_CHECK_DIAGNOSE_H_
#define VARNOCK_CHECK_DIAGNOSE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check/options.h"
#include "check/receive_buffer.h"
#include "check/route.h"
#include "check/udpm_url.h"
#include "platform/clock.h"

namespace varnock::check {

// Exit status of --diagnose beside kCheckOk, kCheckNoBus and kCheckCorrupt
// (check/run.h): a check failed.
inline constexpr int kDiagnoseFailed = 5;

struct DiagnoseLine {
  enum Mark { kOk, kWarn, kFail };
  Mark mark;
  std::string subject;  // "route", "ttl", ...
  std::string text;
  std::string fix;  // a command or URL change; empty when none
};

// "ok    SUBJECT: TEXT", "warn  ...", "FAIL  ...; fix: FIX", and a newline.
std::string format_line(const DiagnoseLine& line);

// What the set-up checks read from the system.
struct SetupFacts {
  std::string route_error;  // "" when the kernel found a route
  Route route;
  int interface_flags = -1;  // IFF_*; -1 unknown
  int64_t rmem_max = -1;     // net.core.*; -1 unreadable
  int64_t rmem_default = -1;
};

// The checks of a udpm URL's set-up that need no bus: the route to the group,
// its interface's flags, the ttl against it, and the receive buffer limits.
std::vector<DiagnoseLine> setup_lines(const LcmUrl& url, const SetupFacts& facts);

// The receive buffer the kernel granted LCM's socket (SO_RCVBUF).
DiagnoseLine granted_buffer_line(int64_t granted);

// What a few seconds of listening saw.
struct TrafficFacts {
  double seconds = 0;
  int64_t status_records = 0;  // valid
  int64_t status_corrupt = 0;
  int64_t frames = 0;  // valid
  int64_t frames_corrupt = 0;
  int64_t frames_lost = 0;              // gaps in the frames' sequence numbers
  std::string first_problem;            // of the first corrupt message
  bool udpm = true;                     // only a udpm socket has kernel drops
  std::optional<int64_t> kernel_drops;  // nullopt: unknown (socket not found)
};

std::vector<DiagnoseLine> traffic_lines(const TrafficFacts& facts);

// The exit status for `lines`: kCheckNoBus when the bus could not be opened,
// else kCheckCorrupt when a corrupt message arrived, else kDiagnoseFailed
// when a line failed, else kCheckOk.
int diagnose_exit_status(const std::vector<DiagnoseLine>& lines, bool bus_opened, bool corrupt);

// Runs the preflight on the URL `options` names, listening options.seconds
// (3 when 0); writes the lines and a verdict to standard output and returns
// the exit status.
int run_diagnose(const Options& options, Clock& clock);

}  // namespace varnock::check

#endif  // VARNOCK_CHECK_DIAGNOSE_H_
