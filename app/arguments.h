// varnock's command line: it takes no arguments but --help and --version.
#ifndef VARNOCK_APP_ARGUMENTS_H_
#define VARNOCK_APP_ARGUMENTS_H_

#include <string>

#include "cli/command_line.h"

namespace varnock {

// Reads argv into *request (kRun with no arguments); returns "" or a message
// naming the argument varnock does not take.
std::string parse_arguments(int argc, const char* const* argv, Request* request);

// What the usage line shows after the program's name.
inline constexpr char kVarnockSynopsis[] = "[--help | --version]";

// The text of --help.
std::string help_text();

}  // namespace varnock

#endif  // VARNOCK_APP_ARGUMENTS_H_
