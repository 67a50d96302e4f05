// varnock-gather's command line.
#ifndef VARNOCK_GATHER_OPTIONS_H_
#define VARNOCK_GATHER_OPTIONS_H_

#include <cstdint>
#include <string>

#include "cli/command_line.h"

namespace varnock::gather {

struct Options {
  std::string url;      // empty: the default bus (bus/lcm_url.h)
  int64_t seconds = 0;  // 0: until a signal or the end of the bus's input
  bool json = false;
  bool csv = false;
  std::string metrics;              // --metrics ADDRESS:PORT; empty: not served
  std::string metrics_file;         // --metrics-file PATH; empty: not written
  Request request = Request::kRun;  // --help or --version, the first given

  bool operator==(const Options&) const = default;
};

// Parses argv into *options; returns "" or a message naming the bad argument.
std::string parse_options(int argc, const char* const* argv, Options* options);

// What the usage line shows after the program's name.
inline constexpr char kSynopsis[] = "[OPTION]...";

// The text of --help.
std::string help_text();

}  // namespace varnock::gather

#endif  // VARNOCK_GATHER_OPTIONS_H_
