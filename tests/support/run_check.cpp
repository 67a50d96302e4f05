#include "tests/support/run_check.h"

#include <lcm/eventlog.h>

#include <memory>
#include <span>
#include <string_view>

#include "tests/support/wire_check.h"

namespace varnock::testing {

std::string check_log(const std::string& path, std::vector<int64_t>* cycle_seconds, int32_t width,
                      int32_t height) {
  std::unique_ptr<lcm_eventlog_t, void (*)(lcm_eventlog_t*)> log(
      lcm_eventlog_create(path.c_str(), "r"), lcm_eventlog_destroy);
  if (!log) return "cannot open log " + path;
  int64_t index = 0;
  int64_t second = 0;
  int64_t last_ms = INT64_MIN;
  while (lcm_eventlog_event_t* event = lcm_eventlog_read_next_event(log.get())) {
    std::unique_ptr<lcm_eventlog_event_t, void (*)(lcm_eventlog_event_t*)> owned(
        event, lcm_eventlog_free_event);
    const std::string where = "event " + std::to_string(index) + ": ";
    const std::string_view channel(event->channel, static_cast<size_t>(event->channellen));
    const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(event->data), event->datalen);
    if (index % 2 == 0) {
      if (channel != "RECSTAT") return where + "expected RECSTAT, got " + std::string(channel);
      if (std::string e = check_status(bytes, &second); !e.empty()) return where + e;
      cycle_seconds->push_back(second);
    } else {
      if (channel != "TFIMAGE") return where + "expected TFIMAGE, got " + std::string(channel);
      const auto period = static_cast<int32_t>(60 + index / 2);
      int64_t ms = 0;
      if (std::string e = check_frame(bytes, period, &ms, width, height); !e.empty()) {
        return where + e;
      }
      // The frame is stamped after the cycle's second was read.
      if (ms / 1000 < second || ms / 1000 > second + 1) {
        return where + "frame stamped " + std::to_string(ms) + " ms in a cycle of second " +
               std::to_string(second);
      }
      if (ms < last_ms) return where + "frame timestamps went backwards";
      last_ms = ms;
    }
    ++index;
  }
  if (index % 2 != 0) return "log ends inside a cycle";
  return "";
}

std::string check_rate_lines(const std::vector<int64_t>& cycle_seconds, const std::string& lines) {
  // A line is printed by the first cycle of every run of equal seconds after
  // the first, counting the cycles of the run before it.
  std::string expected;
  size_t run_start = 0;
  for (size_t i = 1; i <= cycle_seconds.size(); ++i) {
    if (i < cycle_seconds.size() && cycle_seconds[i] == cycle_seconds[i - 1]) continue;
    if (i < cycle_seconds.size()) {
      expected +=
          std::to_string(cycle_seconds[i]) + " frame rate: " + std::to_string(i - run_start) + "\n";
    }
    run_start = i;
  }
  if (lines == expected) return "";
  // A run that starts on the edge of a second reports 0 cycles in its first.
  if (!cycle_seconds.empty() &&
      lines == std::to_string(cycle_seconds[0]) + " frame rate: 0\n" + expected) {
    return "";
  }
  return "rate lines\n" + lines + "differ from the cycles logged, which give\n" + expected;
}

std::string after_banner(const std::string& output) {
  constexpr std::string_view kBanner = "varnock\n";
  if (output.compare(0, kBanner.size(), kBanner) != 0) return "";
  return output.substr(kBanner.size());
}

}  // namespace varnock::testing
