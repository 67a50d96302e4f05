// varnock-gather's command line.
#ifndef VARNOCK_GATHER_OPTIONS_H_
#define VARNOCK_GATHER_OPTIONS_H_

#include <cstdint>
#include <string>

namespace varnock::gather {

// The longest run --seconds asks for: a year.
inline constexpr int64_t kMaxSeconds = 366LL * 24 * 3600;

struct Options {
  std::string url;      // empty: the default bus (bus/lcm_url.h)
  int64_t seconds = 0;  // 0: until a signal or the end of the bus's input
  bool json = false;
  bool csv = false;
  bool help = false;
  bool version = false;

  bool operator==(const Options&) const = default;
};

// Parses argv into *options; returns "" or a message naming the bad argument.
std::string parse_options(int argc, const char* const* argv, Options* options);

// The usage line and a pointer to --help, for standard error.
const char* usage_line();

// The text of --help.
const char* usage();

}  // namespace varnock::gather

#endif  // VARNOCK_GATHER_OPTIONS_H_
