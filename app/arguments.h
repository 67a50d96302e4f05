// varnock's command line: it takes no arguments but --help and --version.
#ifndef VARNOCK_APP_ARGUMENTS_H_
#define VARNOCK_APP_ARGUMENTS_H_

namespace varnock {

enum class Request { kRun, kHelp, kVersion, kUsageError };

// What argv asks for: kRun with no arguments, kHelp or kVersion for exactly
// --help (or -h) or --version, kUsageError for anything else.
Request parse_arguments(int argc, const char* const* argv);

// The usage line and a pointer to --help, for standard error.
const char* usage_text();

// The text of --help.
const char* help_text();

// "varnock <version>\n".
const char* version_text();

}  // namespace varnock

#endif  // VARNOCK_APP_ARGUMENTS_H_
