// varnock-pace's command line.
#ifndef VARNOCK_PACE_OPTIONS_H_
#define VARNOCK_PACE_OPTIONS_H_

#include <cstdint>
#include <string>

#include "cli/command_line.h"
#include "pattern/frames.h"

namespace varnock::pace {

// The fastest paced rate: one cycle every 2 ms, as varnock's pause allows at
// most and as varnock-check expects of a publisher.
inline constexpr double kMaxRateHz = 500;
// With --messages, cycles need no pause: up to 100 kHz.
inline constexpr double kMaxMessageRateHz = 100'000;
// The slowest: a cycle every 100 s, well within the 10 minutes after which
// varnock-check takes a silent publisher for gone.
inline constexpr double kMinRateHz = 0.01;

struct Options {
  double rate_hz = 0;               // cycles a second; 0: as fast as possible (--rate max)
  FrameSize size;                   // 1280 x 1280 unless --width, --height
  int64_t message_bytes = 0;        // --messages: 0 for frames, else each message's bytes
  int32_t channels = 1;             // --channels, with --messages
  int64_t seconds = 0;              // 0: until a key or a signal
  std::string url;                  // empty: LCM's default provider
  bool json = false;                // JSON lines on standard output instead of text
  std::string metrics;              // --metrics ADDRESS:PORT; empty: not served
  Request request = Request::kRun;  // --help or --version, the first given
};

// Parses argv into *options; returns "" or a message naming the bad argument
// and its value.
std::string parse_options(int argc, const char* const* argv, Options* options);

// What the usage line shows after the program's name.
inline constexpr char kSynopsis[] = "[OPTION]...";

// The text of --help.
std::string help_text();

}  // namespace varnock::pace

#endif  // VARNOCK_PACE_OPTIONS_H_
