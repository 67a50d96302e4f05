#include "cli/program.h"

#include "bus/lcm_version.h"
#include "varnock/version.h"

namespace varnock {

std::string usage_line(Program p, const char* synopsis) {
  const std::string name = program_name(p);
  return "Usage: " + name + " " + synopsis + "\n'" + name + " --help' tells more.\n";
}

std::string lcm_version_line() {
  const std::optional<bus::LcmVersion> v = bus::loaded_lcm_version();
  if (!v) return "LCM of a release that cannot be told (the library loaded now does not name it)";
  return "LCM " + v->text() + " (the library loaded now)";
}

std::optional<int> answer_command_line(Program p, const CommandLine& line, const char* synopsis,
                                       const std::string& help, std::FILE* out, std::FILE* err) {
  if (!line.error.empty()) {
    std::fprintf(err, "%s: %s\n%s", program_name(p), line.error.c_str(),
                 usage_line(p, synopsis).c_str());
    return kExitUsage;
  }
  switch (line.request) {
    case Request::kHelp:
      std::fputs(help.c_str(), out);
      return kExitOk;
    case Request::kVersion:
      // The LCM named is the one running, which need not be the one built on.
      std::fprintf(out, "%s %s\n%s\n", program_name(p), kVersion, lcm_version_line().c_str());
      return kExitOk;
    case Request::kRun:
      break;
  }
  return std::nullopt;
}

}  // namespace varnock
