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

// Who reports. Checkers are told apart by `instance`: name, host and pid
// can be the same for two (containers on one host, each its PID 1).
struct Reporter {
  std::string name;  // --name, or "HOST:PID"
  std::string host;
  int32_t pid = 0;
  std::string url;
  int64_t instance = 0;     // new_instance()
  std::string version;      // varnock's release
  std::string lcm_version;  // the LCM library's, "" when unknown
};

// A random number for a run of a checker, never 0.
int64_t new_instance();

// The row's or the summary's fields as the message carries them, from the
// one table of fields (report/fields.h): the same values as the JSON lines,
// an unknown count -1, a time without a sample NaN; and the times' samples
// in the coarse buckets (account/time_histogram.h).
check_report_t shared_row(const Reporter& who, const account::SecondReport& r);
check_report_t shared_summary(const Reporter& who, const account::Summary& s, int64_t last_second);

// Publishes on `bus`, numbering the messages (check_report_t's `sequence`).
// LCM reports no failure for a fragmented publish, so none is counted; a
// message that cannot be encoded is skipped. Main thread only.
class Sharer {
 public:
  // The summary is sent this many times, the copies spread over about
  // kSummarySpreadMs at random: a fleet of checkers stopped by one signal
  // sends its summaries in the same instant, more than a listener's socket
  // may hold, and a copy sent later, at another time than the others', still
  // arrives. Copies keep one number, so a listener takes one.
  static constexpr int kSummaryCopies = 3;
  static constexpr int64_t kSummarySpreadMs = 300;

  Sharer(lcm_t* bus, Reporter who, Clock& clock);
  void row(const account::SecondReport& r);
  // Sends the copies, sleeping between them (Clock::sleep_until, where held
  // signals are taken; a signal only hastens the next copy).
  void summary(const account::Summary& s);

 private:
  // Numbers `m` and sends it.
  void publish(check_report_t& m);
  // Sends `m` as it is numbered.
  void send(check_report_t& m);

  lcm_t* bus_;
  Reporter who_;
  Clock& clock_;
  int64_t last_second_ = 0;
  int64_t sequence_ = 0;
};

// "HOST:PID", the default name.
std::string default_reporter_name(const std::string& host, int32_t pid);

}  // namespace varnock::report

#endif  // VARNOCK_REPORT_SHARE_H_
