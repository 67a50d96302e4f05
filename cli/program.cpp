#include "cli/program.h"

#include "varnock/version.h"

namespace varnock {

std::string usage_line(Program p, const char* synopsis) {
  const std::string name = program_name(p);
  return "Usage: " + name + " " + synopsis + "\n'" + name + " --help' tells more.\n";
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
      std::fprintf(out, "%s %s\n", program_name(p), kVersion);
      return kExitOk;
    case Request::kRun:
      break;
  }
  return std::nullopt;
}

}  // namespace varnock
