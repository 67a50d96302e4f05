// The exit status of varnock-check --diagnose, from the preflight's verdict.
#ifndef VARNOCK_CHECK_DIAGNOSE_STATUS_H_
#define VARNOCK_CHECK_DIAGNOSE_STATUS_H_

#include "diagnose/verdicts.h"

namespace varnock::check {

// The exit status (cli/exit_status.h) varnock-check gives for `verdict`.
int diagnose_exit_status(diagnose::Verdict verdict);

}  // namespace varnock::check

#endif  // VARNOCK_CHECK_DIAGNOSE_STATUS_H_
