// varnock-check's account as text for people, JSON lines (each object with
// a "type": start, second, summary) and CSV rows, all from the one table of
// fields (report/fields.h).
#ifndef VARNOCK_REPORT_FORMATS_H_
#define VARNOCK_REPORT_FORMATS_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "account/account.h"
#include "messages/check_report_t.h"

namespace varnock::report {

// What the run was asked to do, for the JSON start line.
struct StartInfo {
  std::string url;
  int64_t seconds = 0;  // 0: until stopped
  // What the kernel granted the receiving socket; nullopt when unknown (not
  // a udpm URL, or the socket was not found).
  std::optional<int64_t> receive_buffer_bytes;
  double max_loss_percent = -1;  // -1: no limit
  int64_t min_frames = 0;
  double handler_ms = 0;
  int64_t queue_capacity = 0;  // 0: LCM's own
  bool messages_only = false;
  // The release of the LCM library the run is on ("1.5.2"); nullopt when it
  // cannot be told.
  std::optional<std::string> lcm_version;
};

std::string json_start(const StartInfo& s);

// Without `frames` (--messages-only), the second and its stream lines alone.
std::string text_row(const account::SecondReport& r, bool frames = true);
std::string json_row(const account::SecondReport& r);
std::string csv_header();
std::string csv_row(const account::SecondReport& r);

std::string text_summary(const account::Summary& s, bool frames = true);
std::string json_summary(const account::Summary& s);

// The "messages" list of the JSON lines, from the streams check_report_t
// carries: what the checker's own line has.
std::string json_messages(std::span<const check_report_t::Stream> streams);

}  // namespace varnock::report

#endif  // VARNOCK_REPORT_FORMATS_H_
