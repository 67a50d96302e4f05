// How varnock-check writes its account: a start line, a row a second and a
// summary, as text, JSON (one object a line, each with a "type") or CSV rows.
// docs/output-fields.md describes every field.
#ifndef VARNOCK_CHECK_REPORT_H_
#define VARNOCK_CHECK_REPORT_H_

#include <cstdint>
#include <optional>
#include <string>

#include "check/checker.h"

namespace varnock::check {

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
};

std::string json_start(const StartInfo& s);

std::string text_row(const SecondReport& r);
std::string json_row(const SecondReport& r);
std::string csv_header();
std::string csv_row(const SecondReport& r);

std::string text_summary(const Summary& s);
std::string json_summary(const Summary& s);

// `text` as a JSON string, quotes included.
std::string json_string(std::string_view text);

}  // namespace varnock::check

#endif  // VARNOCK_CHECK_REPORT_H_
