// varnock-check --diagnose: a preflight of the bus set-up, then a few seconds
// of listening through the same account and receive loop as a checking run,
// so that the two never disagree. It reads settings, never changes them.
#ifndef VARNOCK_DIAGNOSE_DIAGNOSE_H_
#define VARNOCK_DIAGNOSE_DIAGNOSE_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "bus/lcm_url.h"
#include "diagnose/verdicts.h"
#include "host/host.h"
#include "platform/clock.h"

namespace varnock::diagnose {

// How long the preflight listens when not told.
inline constexpr int64_t kDefaultSeconds = 3;

// The set-up facts of udpm bus `url`, read through `host`.
SetupFacts read_setup_facts(const bus::LcmUrl& url, const host::Host& host);

// The exit status a program gives for a verdict: the preflight names it in
// its verdict line, the program chooses it.
using ExitStatusOf = int (*)(Verdict verdict);

// Checks bus `url_text` on `host`, listening `seconds` (kDefaultSeconds when
// 0) or until a stop signal; writes each line to `out` as it is made, then a
// verdict line naming exit_status(verdict) when a check failed, and returns
// the verdict. Call from the main thread, with the stop signals installed.
Verdict run_diagnose(const std::string& url_text, int64_t seconds, const host::Host& host,
                     Clock& clock, std::FILE* out, ExitStatusOf exit_status);

}  // namespace varnock::diagnose

#endif  // VARNOCK_DIAGNOSE_DIAGNOSE_H_
