// Microbenchmarks of the publish cycle's parts.
#include <benchmark/benchmark.h>
#include <lcm/lcm.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "account/validate.h"
#include "app/publisher.h"
#include "messages/encoding.h"
#include "messages/recstat_t.h"
#include "messages/tfimage_t.h"
#include "pattern/frames.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace varnock {
namespace {

// A console with no key, no signal and nowhere to write.
class QuietConsole final : public Console {
 public:
  void write(std::string_view /*text*/) override {}
  bool key_waiting() override { return false; }
  int stop_signal() override { return 0; }
};

tfimage_t full_frame() {
  TestPatternFrames frames;
  return frames.next(1'700'000'000'000);
}

void BM_EncodeStatus(benchmark::State& state) {
  const recstat_t status = status_record(1'700'000'000);
  std::vector<uint8_t> buffer(static_cast<size_t>(recstat_t::encoded_size()));
  for (auto _ : state) {
    benchmark::DoNotOptimize(status.encode_payload(buffer.data(), 8, recstat_t::kPayloadSize));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * recstat_t::encoded_size());
}
BENCHMARK(BM_EncodeStatus);

void BM_EncodeFrame(benchmark::State& state) {
  const tfimage_t frame = full_frame();
  std::vector<uint8_t> buffer(static_cast<size_t>(frame.encoded_size()));
  const auto payload = static_cast<int32_t>(frame.encoded_size() - 8);
  for (auto _ : state) {
    benchmark::DoNotOptimize(frame.encode_payload(buffer.data(), 8, payload));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * frame.encoded_size());
}
BENCHMARK(BM_EncodeFrame);

// publish_message of a full frame (laid out in place, no copy) on an
// in-process bus that drops it for want of a subscriber.
void BM_PublishFrame(benchmark::State& state) {
  lcm_t* bus = lcm_create("memq://");
  tfimage_t frame = full_frame();
  for (auto _ : state) benchmark::DoNotOptimize(publish_message(bus, kImageChannel, frame));
  state.SetBytesProcessed(state.iterations() * frame.encoded_size());
  lcm_destroy(bus);
}
BENCHMARK(BM_PublishFrame);

// One cycle's image step (header, timestamp, redraw of the pattern) at
// periods from the argument on: 60 is a run's first cycle, where every cache
// line of the image changes; the period grows by one a cycle, so a run spends
// its first seconds near 60 and little time there after.
void BM_TestPatternStep(benchmark::State& state) {
  const auto first = static_cast<int32_t>(state.range(0));
  TestPatternFrames frames(first);
  frames.next(0);  // allocates and draws the first frame
  int64_t ms = 1'700'000'000'000;
  for (auto _ : state) {
    if (frames.period() >= first + 500) {
      state.PauseTiming();
      frames = TestPatternFrames(first);
      frames.next(0);
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(frames.next(++ms).data.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kFramePixels);
}
BENCHMARK(BM_TestPatternStep)->Arg(60)->Arg(1'000)->Arg(100'000);

// Two encoded frames of consecutive periods from `first` on, as a stream of
// received frames alternates them.
std::vector<std::vector<uint8_t>> two_frames(int32_t first) {
  std::vector<std::vector<uint8_t>> messages;
  TestPatternFrames frames(first);
  for (int i = 0; i < 2; ++i) {
    const auto bytes = frames.next(1'700'000'000'000).encoded_in_place();
    messages.emplace_back(bytes.begin(), bytes.end());
  }
  return messages;
}

// varnock-check's validation of one received frame, every byte checked, in a
// stream of frames whose period changes every frame, from the argument on.
void BM_ValidateFrame(benchmark::State& state) {
  const std::vector<std::vector<uint8_t>> messages =
      two_frames(static_cast<int32_t>(state.range(0)));
  account::FrameValidator validator;
  size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(validator.validate(messages[next]).period);
    next ^= 1;
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(messages[0].size()));
}
BENCHMARK(BM_ValidateFrame)
    ->Arg(1)
    ->Arg(60)
    ->Arg(1'000)
    ->Arg(4'095)
    ->Arg(4'096)
    ->Arg(100'000)
    ->Arg(2'000'000)
    ->Unit(benchmark::kMicrosecond);

// The machine's bandwidth for one pass over the same frames, for scale:
// memchr for a byte no pixel holds reads every pixel once.
void BM_MemchrFrame(benchmark::State& state) {
  const std::vector<std::vector<uint8_t>> messages = two_frames(60);
  size_t next = 0;
  for (auto _ : state) {
    const uint8_t* bytes = messages[next].data();
    benchmark::DoNotOptimize(bytes);  // a pure function: kept from hoisting
    benchmark::DoNotOptimize(std::memchr(bytes + 40, 7, messages[next].size() - 40));
    next ^= 1;
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(messages[0].size()));
}
BENCHMARK(BM_MemchrFrame)->Unit(benchmark::kMicrosecond);

// And memcmp of a frame with an equal copy: two passes' worth of reading, as
// a comparison with a reference frame takes.
void BM_MemcmpFrame(benchmark::State& state) {
  const std::vector<std::vector<uint8_t>> messages = two_frames(60);
  const std::vector<std::vector<uint8_t>> copies = two_frames(60);
  size_t next = 0;
  for (auto _ : state) {
    const uint8_t* bytes = messages[next].data();
    benchmark::DoNotOptimize(bytes);
    benchmark::DoNotOptimize(std::memcmp(bytes, copies[next].data(), messages[next].size()));
    next ^= 1;
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(messages[0].size()));
}
BENCHMARK(BM_MemcmpFrame)->Unit(benchmark::kMicrosecond);

// The pause at the end of a cycle, on the real clocks; its mean length is the
// reported time (and pause_ms).
void BM_Pause(benchmark::State& state) {
  SystemClock clock;
  QuietConsole console;
  const int64_t start = clock.monotonic_nanoseconds();
  for (auto _ : state) pause_after_cycle(clock, console);
  const double elapsed_ms = static_cast<double>(clock.monotonic_nanoseconds() - start) / 1e6;
  state.counters["pause_ms"] = elapsed_ms / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Pause)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1000);

}  // namespace
}  // namespace varnock

BENCHMARK_MAIN();
