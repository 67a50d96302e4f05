// What every checker reporting on VARNOCK_CHECK has told, with no LCM and
// no clock of its own: messages and this program's time in, checkers, their
// runs and the total out.
#ifndef VARNOCK_GATHER_VIEW_H_
#define VARNOCK_GATHER_VIEW_H_

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "messages/check_report_t.h"

namespace varnock::gather {

// A checker that has sent nothing for this long, and no summary, is silent.
inline constexpr int64_t kSilentAfterMs = 3000;
// Checkers kept; messages of any more are ignored.
inline constexpr size_t kMaxCheckers = 1024;
// The longest name, host or url taken; a message with a longer one is
// malformed, so that a checker's memory stays bounded.
inline constexpr size_t kMaxTextBytes = 1024;

// The largest cause of the loss in `r`, as the name of its field without
// "lost_": "-" when nothing was lost, "unknown" when no cause is known.
std::string_view main_cause(const check_report_t& r);

struct Checker {
  std::string name;
  std::string host;
  int32_t pid = 0;
  std::string url;
  std::string version;      // varnock's, as its latest message says
  std::string lcm_version;  // its LCM library's
  int64_t instance = 0;

  int64_t last_heard_ms = 0;  // this program's clock
  int64_t seconds_heard = 0;
  // Messages numbered between the first and the latest heard that never
  // came (a listener's queue or socket that overflowed, a lossy network).
  int64_t missing_reports = 0;
  std::optional<check_report_t> latest;   // the second with the highest `sequence`
  check_report_t seconds_combined;        // every second heard, combined
  std::optional<check_report_t> summary;  // its own, once it ended

  bool ended() const { return summary.has_value(); }
  bool silent(int64_t now_ms) const { return !ended() && now_ms - last_heard_ms >= kSilentAfterMs; }
  // Its whole run: its own summary when it sent one, else its seconds
  // combined (`seconds` then the number heard).
  check_report_t run() const;

  // Which numbers have come: kWindow below `next_sequence`, as bits (bit i
  // for next_sequence - 1 - i); the first heard is `first_sequence`.
  static constexpr int64_t kWindow = 64;
  int64_t first_sequence = 0;
  int64_t next_sequence = 0;
  uint64_t heard_window = 0;
};

class View {
 public:
  explicit View(size_t max_checkers = kMaxCheckers) : max_checkers_(max_checkers) {}

  enum class Heard { kSecond, kSummary, kRepeat, kMalformed, kTooManyCheckers };

  // Takes the bytes of one message heard at `now_ms`. A message that is not
  // a whole check_report_t, or holds what no checker sends (another kind, a
  // count below -1, a sequence below 0, a string over kMaxTextBytes, stream
  // channels not rising, a stream count below 0), is
  // counted as malformed and *why says why. Checkers are told apart by
  // their instance, and a checker's messages by their sequence, never by
  // clocks: a number heard before (a summary's copy, a network that repeats
  // datagrams) is a repeat and changes nothing, one that comes late within
  // Checker::kWindow is taken, and numbers skipped are missing reports.
  // *message (when given) receives what was taken.
  Heard hear(std::span<const uint8_t> bytes, int64_t now_ms, const char** why = nullptr,
             check_report_t* message = nullptr);

  // In the order first heard.
  const std::vector<Checker>& checkers() const { return checkers_; }
  int64_t malformed() const { return malformed_; }
  // Every checker's missing reports.
  int64_t missing_reports() const;

  // Every checker's run combined.
  check_report_t total() const;
  // The latest seconds of the checkers neither silent nor ended at `now_ms`,
  // combined, and how many they are.
  check_report_t live_total(int64_t now_ms, int* live) const;

 private:
  size_t max_checkers_;
  std::vector<Checker> checkers_;
  std::map<int64_t, size_t> index_;  // by instance
  int64_t malformed_ = 0;
};

}  // namespace varnock::gather

#endif  // VARNOCK_GATHER_VIEW_H_
