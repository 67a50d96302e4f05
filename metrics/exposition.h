// Prometheus' text exposition format (version 0.0.4), written family by
// family: what --metrics serves and --metrics-file holds.
#ifndef VARNOCK_METRICS_EXPOSITION_H_
#define VARNOCK_METRICS_EXPOSITION_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace varnock::metrics {

using Label = std::pair<std::string_view, std::string_view>;

// Samples follow the family they belong to, as the format requires: a
// family's lines are never split. Label values may hold any bytes; they come
// out escaped and as valid UTF-8 (an invalid byte becomes U+FFFD).
class Exposition {
 public:
  // Starts a family: its # HELP and # TYPE ("counter", "gauge",
  // "histogram") lines.
  void family(std::string_view name, std::string_view type, std::string_view help);
  // One sample of the current family: `name` is the family's or, for a
  // histogram, with its suffix (_bucket, _sum, _count).
  void sample(std::string_view name, std::initializer_list<Label> labels, int64_t value);
  void sample(std::string_view name, std::initializer_list<Label> labels, double value);

  const std::string& text() const { return text_; }

 private:
  void start_sample(std::string_view name, std::initializer_list<Label> labels);

  std::string text_;
};

// Microseconds as seconds in the shortest decimal that holds them exactly:
// 50 -> "0.00005", 2500000 -> "2.5". Histograms' `le` labels, which must be
// spelled alike by every program for sums by `le` to meet.
std::string seconds_text(int64_t us);

}  // namespace varnock::metrics

#endif  // VARNOCK_METRICS_EXPOSITION_H_
