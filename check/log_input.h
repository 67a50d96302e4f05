// A log as varnock-check's input (a file:// URL): refused when LCM cannot
// read it whole, walked before LCM reads it, so that LCM is never let near
// damage it would take on trust, and judged once LCM has read it.
#ifndef VARNOCK_CHECK_LOG_INPUT_H_
#define VARNOCK_CHECK_LOG_INPUT_H_

#include <cstdint>
#include <optional>
#include <string>

#include "account/account.h"
#include "bus/lcm_log.h"

namespace varnock::check {

struct LogPlan {
  std::string path;
  bus::LogWalk walk;  // walk.events: how many events LCM may deliver
};

// For the bus `url`: when it names a log to read, refuses one that cannot be
// checked (a stream, a device, a log LCM would write or seek into) and walks
// it, saying on standard error what is wrong. Returns the exit status to end
// with at once (cli/exit_status.h), or nullopt to go on, with *plan set for
// a log and left empty for any other bus (or a log LCM will fail to open and
// say why). A stop signal taken during the walk ends the process by that
// signal: nothing has been accounted. Call from the thread that holds the
// signals, before the bus is opened.
std::optional<int> prepare_log(const std::string& url, std::optional<LogPlan>* plan);

// Judges the log of `plan` once LCM has delivered `handled` events and no
// more: says on standard error where reading ended and why and, when the log
// was read to its end, tells `account` that nothing is in flight. Returns
// kExitOk, or kExitDamagedLog when reading stopped before the log's end.
int judge_log(const LogPlan& plan, int64_t handled, account::Account& account);

}  // namespace varnock::check

#endif  // VARNOCK_CHECK_LOG_INPUT_H_
