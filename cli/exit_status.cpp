#include "cli/exit_status.h"

namespace varnock {
namespace {

struct Meaning {
  Program program;
  ExitStatus status;
  const char* text;
};

// In the order each program's help lists them.
constexpr Meaning kMeanings[] = {
    {Program::kVarnock, kExitOk, "a key ended the run; --help or --version answered"},
    {Program::kVarnock, kExitNoBus, "the bus could not be opened"},
    {Program::kVarnock, kExitUsage, "usage error"},

    {Program::kCheck, kExitOk, "messages arrived, none corrupt, limits met"},
    {Program::kCheck, kExitNoBus, "the bus could not be opened, or LCM cannot receive on it"},
    {Program::kCheck, kExitUsage, "usage error"},
    {Program::kCheck, kExitCorrupt, "a corrupt message was received"},
    {Program::kCheck, kExitShortfall,
     "nothing was received, or a --max-loss or --min-frames limit was missed or could not "
     "be judged (frames without sequence numbers)"},
    {Program::kCheck, kExitDiagnoseFailed, "--diagnose found a problem"},
    {Program::kCheck, kExitOutputError,
     "the report could not be written (standard output, --csv or --metrics-file), or "
     "--metrics could not listen"},
    {Program::kCheck, kExitDamagedLog,
     "the log read (--url file://) is damaged: reading stopped before its end"},

    {Program::kPace, kExitOk, "a key or --seconds ended the run; --help or --version answered"},
    {Program::kPace, kExitNoBus, "the bus could not be opened or the frame not allocated"},
    {Program::kPace, kExitUsage, "usage error"},
    {Program::kPace, kExitOutputError, "--metrics could not listen"},

    {Program::kGather, kExitOk, "at least one checker reported"},
    {Program::kGather, kExitNoBus, "the bus could not be opened, or LCM cannot receive on it"},
    {Program::kGather, kExitUsage, "usage error"},
    {Program::kGather, kExitShortfall, "no checker reported"},
    {Program::kGather, kExitOutputError,
     "standard output or --metrics-file could not be written, or --metrics could not listen"},
};

const char* signal_text(Program p) {
  switch (p) {
    case Program::kCheck:
      // Its summary is the point of a run, so a stop signal ends the run
      // with its exit status rather than by the signal.
      return "A reader that closes the pipe on standard output ends varnock-check quietly,\n"
             "by SIGPIPE.\n";
    case Program::kGather:
      return "Ended by SIGINT, SIGTERM or SIGHUP, it writes its summary and then dies of\n"
             "that signal. A reader that closes the pipe on standard output ends it\n"
             "quietly, by SIGPIPE.\n";
    case Program::kVarnock:
    case Program::kPace:
      break;
  }
  return "A run ended by a signal ends by that signal (a shell shows 128 + its\n"
         "number, 130 for Ctrl+C).\n";
}

}  // namespace

const char* program_name(Program p) {
  switch (p) {
    case Program::kVarnock:
      return "varnock";
    case Program::kCheck:
      return "varnock-check";
    case Program::kPace:
      return "varnock-pace";
    case Program::kGather:
      return "varnock-gather";
  }
  return "varnock";
}

std::string exit_status_help(Program p) {
  std::string out = "Exit status:\n";
  for (const Meaning& m : kMeanings) {
    if (m.program != p) continue;
    out += "  " + std::to_string(static_cast<int>(m.status)) + "  " + m.text + "\n";
  }
  return out + signal_text(p);
}

}  // namespace varnock
