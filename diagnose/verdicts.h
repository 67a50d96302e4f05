// The lines of varnock-check --diagnose: one per check, each failing one with
// the command that fixes it, made from facts read of the host and from what
// the account saw while listening.
#ifndef VARNOCK_DIAGNOSE_VERDICTS_H_
#define VARNOCK_DIAGNOSE_VERDICTS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bus/lcm_url.h"
#include "bus/lcm_version.h"
#include "host/host.h"

namespace varnock::diagnose {

struct DiagnoseLine {
  enum Mark { kOk, kWarn, kFail };
  Mark mark;
  std::string subject;  // "route", "ttl", ...
  std::string text;
  std::string fix;  // a command or URL change; empty when none
};

// "ok    SUBJECT: TEXT", "warn  ...", "FAIL  ...; fix: FIX", and a newline.
std::string format_line(const DiagnoseLine& line);

// The LCM library loaded now (nullopt: its release cannot be told), and
// what of its receive path bears on loss.
DiagnoseLine lcm_line(const std::optional<bus::LcmVersion>& lcm);

// What the set-up checks read from the system.
struct SetupFacts {
  std::string route_error;  // "" when the kernel found a route
  host::Route route;
  host::InterfaceState interface;
  int64_t rmem_max = -1;  // net.core.*; -1 unreadable
  int64_t rmem_default = -1;
  int64_t ipfrag_high_thresh = -1;  // net.ipv4.*; -1 unreadable
  int64_t ipfrag_time = -1;
  int64_t ipfrag_max_dist = -1;
};

// The checks of a udpm URL's set-up that need no bus: the route to the group,
// its interface's flags and the ttl against it.
std::vector<DiagnoseLine> setup_lines(const bus::LcmUrl& url, const SetupFacts& facts);

// The frames a receive buffer is judged against: the largest that arrived,
// or varnock's when none did.
struct FrameFacts {
  int64_t bytes = 0;  // an encoded frame
  bool seen = false;
};

// The receive buffer limits (rmem_max, the URL's recv_buf_size or
// rmem_default) against `frame`.
std::vector<DiagnoseLine> buffer_lines(const bus::LcmUrl& url, const SetupFacts& facts,
                                       const FrameFacts& frame);

// The receive buffer the kernel granted LCM's socket (SO_RCVBUF) against `frame`.
DiagnoseLine granted_buffer_line(int64_t granted, const FrameFacts& frame);

// What IP fragmentation makes of `frame` on the route's interface: its MTU
// with the packets a frame becomes and what a packet loss costs, and the
// kernel's reassembly settings (net.ipv4.ipfrag_*) against them, for a
// stream of `cycles_per_second` (0: unknown).
std::vector<DiagnoseLine> fragment_lines(const SetupFacts& facts, const FrameFacts& frame,
                                         double cycles_per_second);

// What a few seconds of listening saw.
struct TrafficFacts {
  double seconds = 0;
  int64_t status_records = 0;  // valid
  int64_t status_corrupt = 0;
  int64_t frames = 0;  // valid
  int64_t frames_corrupt = 0;
  int64_t frames_lost = 0;              // as the account counts them
  std::string first_problem;            // of the first corrupt message
  bool udpm = true;                     // only a udpm socket has kernel drops
  std::optional<int64_t> kernel_drops;  // nullopt: unknown (socket not found)
  int64_t frame_bytes = 0;              // the frames the fixes are sized for
};

std::vector<DiagnoseLine> traffic_lines(const TrafficFacts& facts);

// How a preflight ended, most serious first.
enum class Verdict { kNoBus, kCorrupt, kFailed, kPassed };

// kNoBus when the bus could not be opened, else kCorrupt when a corrupt
// message arrived, else kFailed when a line failed, else kPassed.
Verdict verdict_of(const std::vector<DiagnoseLine>& lines, bool bus_opened, bool corrupt);

}  // namespace varnock::diagnose

#endif  // VARNOCK_DIAGNOSE_VERDICTS_H_
