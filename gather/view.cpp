#include "gather/view.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "base/saturating.h"
#include "report/combine.h"
#include "report/fields.h"

namespace varnock::gather {
namespace {

using report::combine;

using R = check_report_t;

// What no checker sends; "" when `m` is plausible.
const char* implausible(const R& m) {
  if (m.kind != R::kKindSecond && m.kind != R::kKindSummary) return "a kind other than 1 or 2";
  if (m.sequence < 0) return "a sequence below 0";
  for (const report::Field* f : report::shared_fields()) {
    if (f->count != nullptr && m.*f->count < -1) return "a count below -1";
  }
  if (m.name.size() > kMaxTextBytes || m.host.size() > kMaxTextBytes ||
      m.url.size() > kMaxTextBytes || m.version.size() > kMaxTextBytes ||
      m.lcm_version.size() > kMaxTextBytes) {
    return "a name, host, url or version over 1024 bytes";
  }
  for (size_t i = 1; i < m.bucket_le_us.size(); ++i) {
    if (m.bucket_le_us[i] <= m.bucket_le_us[i - 1]) return "bucket bounds that do not rise";
  }
  for (const R::Histogram* h : {&m.latency, &m.inter_arrival, &m.delivery, &m.lcm_queue}) {
    int64_t below = 0;
    for (const int64_t n : h->le) {
      if (n < below) return "bucket counts that fall";
      below = n;
    }
    if (h->count < below) return "a histogram's count below its buckets'";
  }
  int previous = -1;
  for (const R::Stream& stream : m.streams) {
    if (stream.channel <= previous) return "stream channels repeated or out of order";
    previous = stream.channel;
    for (const report::StreamField& f : report::stream_fields()) {
      if (f.count != nullptr && stream.*f.count < 0) return "a stream count below 0";
    }
  }
  return "";
}

// Whether `sequence` is news to `c`, marking it heard; counts what it skips
// as missing and takes back a missing one that came late.
bool take_sequence(Checker& c, int64_t sequence) {
  if (sequence >= c.next_sequence) {
    const int64_t skipped = sequence - c.next_sequence;
    c.missing_reports = saturating_add(c.missing_reports, skipped);
    c.heard_window = skipped >= Checker::kWindow - 1 ? 1 : (c.heard_window << (skipped + 1)) | 1;
    c.next_sequence = saturating_add(sequence, 1);
    return true;
  }
  const int64_t back = c.next_sequence - 1 - sequence;
  const uint64_t bit = back < Checker::kWindow ? uint64_t{1} << back : 0;
  if (bit == 0 || (c.heard_window & bit) != 0) return false;
  c.heard_window |= bit;
  // Before the first heard it was never counted missing.
  if (sequence > c.first_sequence) --c.missing_reports;
  return true;
}

}  // namespace

std::string_view main_cause(const R& r) {
  if (r.lost == 0) return "-";
  if (r.lost < 0) return "unknown";
  const report::Field* largest = nullptr;
  for (const report::Field* f : report::shared_fields()) {
    if (f->cause != nullptr && r.*f->count > 0 &&
        (largest == nullptr || r.*f->count > r.*largest->count)) {
      largest = f;
    }
  }
  return largest != nullptr ? largest->cause : "unknown";
}

R Checker::run() const {
  if (summary) return *summary;
  R r = seconds_combined;
  r.seconds = static_cast<double>(seconds_heard);
  return r;
}

View::Heard View::hear(std::span<const uint8_t> bytes, int64_t now_ms, const char** why,
                       R* message) {
  R m;
  const char* problem = "";
  if (!R::decode(bytes.data(), std::ssize(bytes), &m, &problem) ||
      *(problem = implausible(m)) != '\0') {
    ++malformed_;
    if (why != nullptr) *why = problem;
    return Heard::kMalformed;
  }
  auto found = index_.find(m.instance);
  if (found == index_.end()) {
    if (checkers_.size() >= max_checkers_) return Heard::kTooManyCheckers;
    found = index_.emplace(m.instance, checkers_.size()).first;
    Checker& c = checkers_.emplace_back();
    c.name = m.name;
    c.host = m.host;
    c.pid = m.pid;
    c.instance = m.instance;
    c.first_sequence = c.next_sequence = m.sequence;
  }
  Checker& c = checkers_[found->second];
  c.last_heard_ms = now_ms;
  const bool newest = m.sequence >= c.next_sequence;
  if (!take_sequence(c, m.sequence)) return Heard::kRepeat;
  c.url = m.url;
  c.version = m.version;
  c.lcm_version = m.lcm_version;
  const Heard heard = m.kind == R::kKindSummary ? Heard::kSummary : Heard::kSecond;
  if (heard == Heard::kSummary) {
    c.summary = m;
  } else {
    if (c.seconds_heard == 0) {
      c.seconds_combined = combine({&m, 1});
    } else {
      const std::array<R, 2> both{c.seconds_combined, m};
      c.seconds_combined = combine(both);
    }
    c.seconds_heard = saturating_add(c.seconds_heard, 1);
    if (newest || !c.latest) c.latest = m;
  }
  if (message != nullptr) *message = std::move(m);
  return heard;
}

int64_t View::missing_reports() const {
  int64_t missing = 0;
  for (const Checker& c : checkers_) missing = saturating_add(missing, c.missing_reports);
  return missing;
}

R View::total() const {
  std::vector<R> runs;
  runs.reserve(checkers_.size());
  for (const Checker& c : checkers_) runs.push_back(c.run());
  return combine(runs);
}

R View::live_total(int64_t now_ms, int* live) const {
  std::vector<R> latest;
  for (const Checker& c : checkers_) {
    if (c.latest && !c.ended() && !c.silent(now_ms)) latest.push_back(*c.latest);
  }
  *live = static_cast<int>(latest.size());
  return combine(latest);
}

}  // namespace varnock::gather
