// varnock-check --share: the account as check_report_t messages on
// "VARNOCK_CHECK", one for each settled second and one for the summary, so
// that varnock-gather (or lcm-logger, or code from lcm-gen) anywhere on the
// bus sees every checker's.
#ifndef VARNOCK_REPORT_SHARE_H_
#define VARNOCK_REPORT_SHARE_H_

#include <lcm/lcm.h>

#include <cstdint>
#include <string>

#include "account/account.h"
#include "messages/check_report_t.h"
#include "platform/clock.h"

namespace varnock::report {

inline constexpr char kShareChannel[] = "VARNOCK_CHECK";

// Who reports: a checker is told apart by the three.
struct Reporter {
  std::string name;  // --name, or "HOST:PID"
  std::string host;
  int32_t pid = 0;
  std::string url;
};

// The row's or the summary's fields as the message carries them, from the
// one table of fields (report/fields.h): the same values as the JSON lines,
// an unknown count -1, a time without a sample NaN.
check_report_t shared_row(const Reporter& who, const account::SecondReport& r);
check_report_t shared_summary(const Reporter& who, const account::Summary& s, int64_t last_second);

// Publishes on `bus`. LCM reports no failure for a fragmented publish, so
// none is counted; a message that cannot be encoded is skipped. Main thread
// only.
class Sharer {
 public:
  Sharer(lcm_t* bus, Reporter who, Clock& clock);
  void row(const account::SecondReport& r);
  void summary(const account::Summary& s);

 private:
  void publish(check_report_t& m);

  lcm_t* bus_;
  Reporter who_;
  Clock& clock_;
  int64_t last_second_ = 0;
};

// "HOST:PID", the default name.
std::string default_reporter_name(const std::string& host, int32_t pid);

}  // namespace varnock::report

#endif  // VARNOCK_REPORT_SHARE_H_
