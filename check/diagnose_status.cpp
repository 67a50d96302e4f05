#include "check/diagnose_status.h"

#include "cli/exit_status.h"

namespace varnock::check {

int diagnose_exit_status(diagnose::Verdict verdict) {
  switch (verdict) {
    case diagnose::Verdict::kNoBus:
      return kExitNoBus;
    case diagnose::Verdict::kCorrupt:
      return kExitCorrupt;
    case diagnose::Verdict::kFailed:
      return kExitDiagnoseFailed;
    case diagnose::Verdict::kPassed:
      break;
  }
  return kExitOk;
}

}  // namespace varnock::check
