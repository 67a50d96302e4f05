// Fuzzes varnock-check's validation of a received message: arbitrary bytes,
// and frames (varnock's, and small ones of other sizes, as varnock-pace
// publishes them) and status records with bytes changed.
// It must never crash, never call a wrong message valid, and never call an
// unchanged one wrong. The oracle is the tests' own reading of the format.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "account/validate.h"
#include "messages/cycle.h"
#include "messages/encoding.h"
#include "pattern/frames.h"
#include "tests/support/wire_check.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

uint32_t read_u32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

std::vector<uint8_t> status_message(int64_t second) {
  std::vector<uint8_t> m(63);
  varnock::store_big_endian<8>(m.data(), varnock::recstat_t::fingerprint);
  varnock::status_record(second).encode_payload(m.data(), 8, 55);
  return m;
}

void check_status(std::span<const uint8_t> m, bool unchanged) {
  const varnock::account::StatusVerdict v = varnock::account::validate_status(m);
  if (unchanged) require(v.valid());
  if (!v.valid()) return;
  std::vector<uint8_t> copy(m.begin(), m.end());
  std::fill(copy.begin() + 16, copy.begin() + 20, 0);  // int_a is the publisher's choice
  int64_t second = 0;
  require(varnock::testing::check_status(copy, &second).empty() && second == v.timestamp);
}

void check_frame(varnock::account::FrameValidator& validator, std::span<const uint8_t> m,
                 bool unchanged) {
  const varnock::account::FrameVerdict v = validator.validate(m);
  if (unchanged) require(v.valid());
  if (!v.valid()) return;
  // Valid frames have a header; the oracle checks the dimensions it gives.
  require(m.size() >= 40);
  const auto width = static_cast<int32_t>(read_u32(m.data() + 20));
  const auto height = static_cast<int32_t>(read_u32(m.data() + 24));
  const int64_t pixels = int64_t{width} * height;
  require(pixels >= 1 && pixels <= varnock::kMaxFramePixels);
  const auto period = static_cast<int32_t>(v.period < 0 ? pixels : v.period);
  int64_t ms = 0;
  require(varnock::testing::check_frame(m, period, &ms, width, height).empty() &&
          ms == v.timestamp_ms);
}

// A small frame of `width` x `height` with pattern `period`.
std::vector<uint8_t> small_frame(int32_t width, int32_t height, int32_t period, int64_t ms) {
  varnock::TestPatternFrames frames(varnock::FrameSize{width, height}, period);
  const auto bytes = frames.next(ms).encoded_in_place();
  return {bytes.begin(), bytes.end()};
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
  static varnock::account::FrameValidator validator;  // one stream of frames, as in a run
  static FrameBench bench;
  FuzzedDataProvider in(data, length);
  const int mode = in.ConsumeIntegralInRange(0, 3);
  if (mode == 0) {
    const std::vector<uint8_t> raw = in.ConsumeRemainingBytes<uint8_t>();
    check_status(raw, false);
    check_frame(validator, raw, false);
    return 0;
  }
  // Frames of varnock's size alternate with others, as from two publishers.
  std::vector<uint8_t> other;
  std::vector<uint8_t>& m =
      mode == 1   ? bench.frame(in.ConsumeIntegralInRange<int32_t>(1, 2'000'000),
                                in.ConsumeIntegral<int64_t>())
      : mode == 2 ? (other = status_message(in.ConsumeIntegral<int64_t>()))
                  : (other = small_frame(in.ConsumeIntegralInRange<int32_t>(1, 64),
                                         in.ConsumeIntegralInRange<int32_t>(1, 64),
                                         in.ConsumeIntegralInRange<int32_t>(1, 5000),
                                         in.ConsumeIntegral<int64_t>()));
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
  if (mode != 2) {
    check_frame(validator, view, unchanged);
  } else {
    check_status(view, unchanged);
  }
  for (auto c = changes.rbegin(); c != changes.rend(); ++c) m[c->at] = c->was;
  return 0;
}
