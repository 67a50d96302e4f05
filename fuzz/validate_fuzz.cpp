// Fuzzes varnock-check's validation of a received message: arbitrary bytes,
// and frames and status records as varnock publishes them with bytes changed.
// It must never crash, never call a wrong message valid, and never call an
// unchanged one wrong. The oracle is the tests' own reading of the format.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "app/publisher.h"
#include "check/validate.h"
#include "messages/encoding.h"
#include "pattern/frames.h"
#include "tests/support/wire_check.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

std::vector<uint8_t> status_message(int64_t second) {
  std::vector<uint8_t> m(63);
  varnock::store_big_endian<8>(m.data(), varnock::recstat_t::fingerprint);
  varnock::status_record(second).encode_payload(m.data(), 8, 55);
  return m;
}

void check_status(std::span<const uint8_t> m, bool unchanged) {
  const varnock::check::StatusVerdict v = varnock::check::validate_status(m);
  if (unchanged) require(v.valid());
  if (!v.valid()) return;
  std::vector<uint8_t> copy(m.begin(), m.end());
  std::fill(copy.begin() + 16, copy.begin() + 20, 0);  // int_a is the publisher's choice
  int64_t second = 0;
  require(varnock::testing::check_status(copy, &second).empty() && second == v.timestamp);
}

void check_frame(varnock::check::FrameValidator& validator, std::span<const uint8_t> m,
                 bool unchanged) {
  const varnock::check::FrameVerdict v = validator.validate(m);
  if (unchanged) require(v.valid());
  if (!v.valid()) return;
  const int32_t period = v.period < 0 ? varnock::TestPatternFrames::kPixels : v.period;
  int64_t ms = 0;
  require(varnock::testing::check_frame(m, period, &ms).empty() && ms == v.timestamp_ms);
}

}  // namespace

// A frame as varnock publishes it, kept between runs and redrawn to the
// period a run asks for, so that a run costs a validation, not a 1.6 MB build.
class FrameBench {
 public:
  FrameBench() {
    varnock::TestPatternFrames frames;
    const auto bytes = frames.next(0).encoded_in_place();
    bytes_.assign(bytes.begin(), bytes.end());
  }
  std::vector<uint8_t>& frame(int32_t period, int64_t timestamp_ms) {
    varnock::redraw_pattern(bytes_.data() + 40, drawn_, period);
    drawn_ = period;
    varnock::store_big_endian<8>(bytes_.data() + 8, static_cast<uint64_t>(timestamp_ms));
    return bytes_;
  }

 private:
  std::vector<uint8_t> bytes_;
  int32_t drawn_ = varnock::TestPatternFrames::kFirstPeriod;
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length) {
  static varnock::check::FrameValidator validator;  // one stream of frames, as in a run
  static FrameBench bench;
  FuzzedDataProvider in(data, length);
  const int mode = in.ConsumeIntegralInRange(0, 2);
  if (mode == 0) {
    const std::vector<uint8_t> raw = in.ConsumeRemainingBytes<uint8_t>();
    check_status(raw, false);
    check_frame(validator, raw, false);
    return 0;
  }
  std::vector<uint8_t> status;
  std::vector<uint8_t>& m = mode == 1
                                ? bench.frame(in.ConsumeIntegralInRange<int32_t>(1, 2'000'000),
                                              in.ConsumeIntegral<int64_t>())
                                : (status = status_message(in.ConsumeIntegral<int64_t>()));
  // Changes a few bytes, to be put back afterwards.
  struct Change {
    size_t at;
    uint8_t was;
  };
  std::vector<Change> changes;
  bool unchanged = true;
  const int count = in.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < count; ++i) {
    const size_t at = in.ConsumeIntegralInRange<size_t>(0, m.size() - 1);
    const auto value = in.ConsumeIntegral<uint8_t>();
    changes.push_back({at, m[at]});
    unchanged = unchanged && m[at] == value;
    m[at] = value;
  }
  size_t kept = m.size();
  if (in.ConsumeBool()) {
    kept = in.ConsumeIntegralInRange<size_t>(0, m.size());
    unchanged = unchanged && kept == m.size();
  }
  const std::span<const uint8_t> view(m.data(), kept);
  if (mode == 1) {
    check_frame(validator, view, unchanged);
  } else {
    check_status(view, unchanged);
  }
  for (auto c = changes.rbegin(); c != changes.rend(); ++c) m[c->at] = c->was;
  return 0;
}
