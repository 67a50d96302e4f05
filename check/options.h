// varnock-check's command line.
#ifndef VARNOCK_CHECK_OPTIONS_H_
#define VARNOCK_CHECK_OPTIONS_H_

#include <cstdint>
#include <string>

#include "cli/command_line.h"

namespace varnock::check {

// The longest --name, in bytes.
inline constexpr size_t kMaxNameBytes = 200;
// Bounds of --min-frames and --handler-ms.
inline constexpr int64_t kMaxMinFrames = int64_t{1} << 40;
inline constexpr double kMaxHandlerMs = 10'000;
// Bound of --queue-capacity: a queue holds whole messages, up to 64 KiB a
// stream message and 1.6 MB a frame.
inline constexpr int64_t kMaxQueueCapacity = 1'000'000;

struct Options {
  std::string url;      // empty: LCM's default provider
  int64_t seconds = 0;  // 0: until a signal
  bool json = false;
  std::string csv_path;             // empty: no CSV
  Request request = Request::kRun;  // --help or --version, the first given
  double max_loss_percent = -1;     // -1: no limit
  int64_t min_frames = 0;
  // Judge --max-loss and --min-frames even when the loss is only a lower
  // bound (frames without sequence numbers arrived).
  bool allow_unsequenced = false;
  double handler_ms = 0;  // time every handler takes, as a slow subscriber's
  // LCM's queue for each subscription (lcm_subscription_set_queue_capacity);
  // 0: LCM's own, 30.
  int64_t queue_capacity = 0;
  // Subscribe the streams alone, as a control loop's subscriber would: no
  // RECSTAT, no TFIMAGE.
  bool messages_only = false;
  bool share = false;        // also publish the account on VARNOCK_CHECK
  std::string name;          // the checker's name in what it shares; empty: HOST:PID
  std::string metrics;       // --metrics ADDRESS:PORT; empty: not served
  std::string metrics_file;  // --metrics-file PATH; empty: not written

  bool diagnose = false;  // a preflight of the bus set-up instead of a run

  bool operator==(const Options&) const = default;
};

// Parses argv into *options; returns "" or a message naming the bad argument.
std::string parse_options(int argc, const char* const* argv, Options* options);

// What the usage line shows after the program's name.
inline constexpr char kSynopsis[] = "[OPTION]...";

// The text of --help.
std::string help_text();

}  // namespace varnock::check

#endif  // VARNOCK_CHECK_OPTIONS_H_
