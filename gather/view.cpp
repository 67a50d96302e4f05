#include "gather/view.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "base/saturating.h"

namespace varnock::gather {
namespace {

using R = check_report_t;

constexpr CountField kCounts[] = {
    {"status_records", &R::status_records},
    {"frames", &R::frames},
    {"lost", &R::lost},
    {"lost_estimated", &R::lost_estimated},
    {"corrupt", &R::corrupt},
    {"duplicates", &R::duplicates},
    {"late", &R::late},
    {"runs", &R::runs},
    {"unsequenced", &R::unsequenced},
    {"bytes", &R::bytes},
    {"kernel_drops", &R::kernel_drops},
    {"lost_receive_buffer", &R::lost_receive_buffer},
    {"lost_reassembly_memory", &R::lost_reassembly_memory},
    {"lost_fragments", &R::lost_fragments},
    {"lost_in_lcm", &R::lost_in_lcm},
    {"lost_checksum", &R::lost_checksum},
    {"lost_other", &R::lost_other},
    {"send_drops", &R::send_drops},
};

constexpr TimeField kTimes[] = {
    {"latency_ms_p50", &R::latency_ms_p50, true},
    {"latency_ms_p99", &R::latency_ms_p99, false},
    {"latency_ms_max", &R::latency_ms_max, false},
    {"inter_arrival_ms_p50", &R::inter_arrival_ms_p50, true},
    {"inter_arrival_ms_p99", &R::inter_arrival_ms_p99, false},
    {"inter_arrival_ms_max", &R::inter_arrival_ms_max, false},
    {"delivery_ms_p50", &R::delivery_ms_p50, true},
    {"delivery_ms_p99", &R::delivery_ms_p99, false},
    {"delivery_ms_max", &R::delivery_ms_max, false},
    {"lcm_queue_ms_p50", &R::lcm_queue_ms_p50, true},
    {"lcm_queue_ms_p99", &R::lcm_queue_ms_p99, false},
    {"lcm_queue_ms_max", &R::lcm_queue_ms_max, false},
};

// The causes a checker splits its loss into, by their names in main_cause.
constexpr CountField kCauses[] = {
    {"receive_buffer", &R::lost_receive_buffer},
    {"reassembly_memory", &R::lost_reassembly_memory},
    {"fragments", &R::lost_fragments},
    {"in_lcm", &R::lost_in_lcm},
    {"checksum", &R::lost_checksum},
    {"other", &R::lost_other},
};

// What no checker sends; "" when `m` is plausible.
const char* implausible(const R& m) {
  if (m.kind != R::kKindSecond && m.kind != R::kKindSummary) return "a kind other than 1 or 2";
  for (const CountField& f : kCounts) {
    if (m.*f.member < -1) return "a count below -1";
  }
  if (m.name.size() > kMaxTextBytes || m.host.size() > kMaxTextBytes ||
      m.url.size() > kMaxTextBytes) {
    return "a name, host or url over 1024 bytes";
  }
  return "";
}

}  // namespace

std::span<const CountField> count_fields() { return kCounts; }
std::span<const TimeField> time_fields() { return kTimes; }

std::string_view main_cause(const R& r) {
  if (r.lost == 0) return "-";
  if (r.lost < 0) return "unknown";
  const CountField* largest = nullptr;
  for (const CountField& cause : kCauses) {
    if (r.*cause.member > 0 && (largest == nullptr || r.*cause.member > r.*largest->member)) {
      largest = &cause;
    }
  }
  return largest != nullptr ? largest->name : "unknown";
}

R combine(std::span<const R> records) {
  R out;
  out.kind = R::kKindSummary;
  out.seconds = 0;
  for (const CountField& f : kCounts) out.*f.member = 0;
  bool first = true;
  for (const R& r : records) {
    out.second = first ? r.second : std::max(out.second, r.second);
    out.utime = first ? r.utime : std::max(out.utime, r.utime);
    first = false;
    out.seconds += r.seconds;
    for (const CountField& f : kCounts) {
      int64_t& sum = out.*f.member;
      sum = (sum < 0 || r.*f.member < 0) ? -1 : saturating_add(sum, r.*f.member);
    }
    for (const TimeField& f : kTimes) {
      // fmax keeps the known one of a known and a NaN.
      if (!f.median) out.*f.member = std::fmax(out.*f.member, r.*f.member);
    }
  }
  return out;
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
  auto key = std::make_tuple(m.name, m.host, m.pid);
  auto found = index_.find(key);
  if (found == index_.end()) {
    if (checkers_.size() >= max_checkers_) return Heard::kTooManyCheckers;
    found = index_.emplace(std::move(key), checkers_.size()).first;
    Checker& c = checkers_.emplace_back();
    c.name = m.name;
    c.host = m.host;
    c.pid = m.pid;
  }
  Checker& c = checkers_[found->second];
  c.last_heard_ms = now_ms;
  if (m.kind == R::kKindSecond && c.latest && m.second <= c.latest->second) return Heard::kRepeat;
  c.url = m.url;
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
    c.latest = m;
  }
  if (message != nullptr) *message = std::move(m);
  return heard;
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
