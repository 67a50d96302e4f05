#include "check/diagnose_status.h"

#include "check/exit_status.h"

namespace varnock::check {

int diagnose_exit_status(diagnose::Verdict verdict) {
  switch (verdict) {
    case diagnose::Verdict::kNoBus:
      return kCheckNoBus;
    case diagnose::Verdict::kCorrupt:
      return kCheckCorrupt;
    case diagnose::Verdict::kFailed:
      return kDiagnoseFailed;
    case diagnose::Verdict::kPassed:
      break;
  }
  return kCheckOk;
}

}  // namespace varnock::check
