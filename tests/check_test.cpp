// varnock-check's parts: validation of crafted messages, loss accounting over
// sequences of periods, and the per-second and whole-run figures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/publisher.h"
#include "check/checker.h"
#include "check/options.h"
#include "check/run.h"
#include "check/sequence.h"
#include "check/validate.h"
#include "messages/encoding.h"
#include "pattern/frames.h"

namespace varnock::check {
namespace {

using Bytes = std::vector<uint8_t>;

// A frame exactly as varnock publishes it with pattern `period`.
Bytes frame(int32_t period, int64_t ms = 1'700'000'000'000) {
  TestPatternFrames frames(period);
  const auto bytes = frames.next(ms).encoded_in_place();
  return Bytes(bytes.begin(), bytes.end());
}

Bytes status(int64_t second = 1'700'000'000) {
  Bytes m(63);
  store_big_endian<8>(m.data(), recstat_t::fingerprint);
  status_record(second).encode_payload(m.data(), 8, 55);
  return m;
}

TEST(ValidateFrame, Table) {
  struct Case {
    const char* name;
    int32_t period;
    std::function<void(Bytes&)> damage;
    const char* problem;  // "" for valid
    int32_t expected_period;
  };
  auto pixel = [](size_t i, uint8_t v) { return [=](Bytes& m) { m[40 + i] = v; }; };
  const Case cases[] = {
      {"first frame", 60, nullptr, "", 60},
      {"period 61", 61, nullptr, "", 61},
      {"period 1, every byte lit", 1, nullptr, "", 1},
      {"period 1280", 1280, nullptr, "", 1280},
      {"last period with a sequence number", 1'638'399, nullptr, "", 1'638'399},
      {"only byte 0 lit: no sequence number", 1'638'400, nullptr, "", -1},
      {"a dark pixel set to 7", 60, pixel(1'000'001, 7), "pixels off the pattern", 0},
      {"a lit pixel set to 254", 60, pixel(120, 254), "pixels off the pattern", 0},
      {"a dark pixel lit", 60, pixel(1'000'001, 255), "pixels off the pattern", 0},
      {"a lit pixel missing", 60, pixel(1'638'360, 0), "pixels off the pattern", 0},
      {"a lit pixel moved", 60,
       [](Bytes& m) {
         m[40 + 600] = 0;
         m[40 + 601] = 255;
       },
       "pixels off the pattern", 0},
      {"one more lit pixel where a period would need two", 1'638'400, pixel(800'000, 255),
       "pixels off the pattern", 0},
      {"pixel 0 dark", 60, pixel(0, 0), "pixel 0 is not lit", 0},
      {"wrong fingerprint", 60, [](Bytes& m) { m[7] ^= 1; }, "wrong fingerprint", 0},
      {"int_a not 0", 60, [](Bytes& m) { m[19] = 1; }, "int_a is not 0", 0},
      {"width", 60, [](Bytes& m) { m[23] = 1; }, "width is not 1280", 0},
      {"height", 60, [](Bytes& m) { m[26] = 4; }, "height is not 1280", 0},
      {"int_b", 60, [](Bytes& m) { m[31] = 2; }, "int_b is not 1", 0},
      {"int_c", 60, [](Bytes& m) { m[35] = 0; }, "int_c is not 1", 0},
      {"size field", 60, [](Bytes& m) { m[39] = 1; }, "size is not 1638400", 0},
      {"one byte short", 60, [](Bytes& m) { m.pop_back(); }, "wrong size", 0},
      {"one byte long", 60, [](Bytes& m) { m.push_back(0); }, "wrong size", 0},
      {"a status record on the frame channel", 60, [](Bytes& m) { m = status(); }, "wrong size", 0},
      {"empty", 60, [](Bytes& m) { m.clear(); }, "wrong size", 0},
  };
  // One validator for the whole table, as for a stream of frames: its
  // reference pattern must follow any jump of period.
  FrameValidator validator;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes m = frame(c.period, 1'700'000'000'123);
    if (c.damage) c.damage(m);
    const FrameVerdict v = validator.validate(m);
    EXPECT_EQ(v.problem, std::string_view(c.problem));
    if (v.valid()) {
      EXPECT_EQ(v.period, c.expected_period);
      EXPECT_EQ(v.timestamp_ms, 1'700'000'000'123);
    }
  }
}

TEST(ValidateStatus, Table) {
  struct Case {
    const char* name;
    std::function<void(Bytes&)> damage;
    const char* problem;
  };
  const Case cases[] = {
      {"as published", nullptr, ""},
      {"int_a is the publisher's to choose", [](Bytes& m) { m[16] = 0x7F; }, ""},
      {"wrong fingerprint", [](Bytes& m) { m[0] = 0; }, "wrong fingerprint"},
      {"real_a", [](Bytes& m) { m[21] = 0x35; }, "wrong field value"},
      {"byte_c", [](Bytes& m) { m[46] = 11; }, "wrong field value"},
      {"int_e", [](Bytes& m) { m[62] = 1; }, "wrong field value"},
      {"short", [](Bytes& m) { m.pop_back(); }, "wrong size"},
      {"long", [](Bytes& m) { m.push_back(0); }, "wrong size"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes m = status(1'700'000'007);
    if (c.damage) c.damage(m);
    const StatusVerdict v = validate_status(m);
    EXPECT_EQ(v.problem, std::string_view(c.problem));
    if (v.valid()) {
      EXPECT_EQ(v.timestamp, 1'700'000'007);
    }
  }
}

TEST(SequenceTracker, Table) {
  struct Frame {
    int64_t seq;
    int64_t ms;
  };
  struct Case {
    const char* name;
    std::vector<Frame> frames;
    int64_t lost, duplicates, late, restarts, run_first, run_last;
  };
  const Case cases[] = {
      {"in order", {{60, 1}, {61, 2}, {62, 3}}, 0, 0, 0, 0, 60, 62},
      {"joined mid-run: earlier frames are not lost", {{500, 1}, {501, 2}}, 0, 0, 0, 0, 500, 501},
      {"gap", {{60, 1}, {61, 2}, {64, 5}, {65, 6}}, 2, 0, 0, 0, 60, 65},
      {"duplicate", {{60, 1}, {61, 2}, {61, 2}, {62, 3}}, 0, 1, 0, 0, 60, 62},
      {"reordered", {{60, 1}, {62, 3}, {61, 2}, {63, 4}}, 0, 0, 1, 0, 60, 63},
      {"late after a gap", {{60, 1}, {64, 5}, {62, 3}}, 2, 0, 1, 0, 60, 64},
      {"restart", {{60, 1}, {61, 2}, {62, 3}, {60, 9}, {61, 10}}, 0, 0, 0, 1, 60, 61},
      {"restart whose first frames are lost",
       {{60, 1}, {61, 2}, {62, 3}, {61, 9}, {62, 10}},
       1,
       0,
       0,
       1,
       61,
       62},
      {"restart after a long run", {{60, 1}, {10'000, 2}, {100, 9}}, 9'939 + 40, 0, 0, 1, 100, 100},
      {"first frame repeated", {{60, 1}, {60, 1}}, 0, 1, 0, 0, 60, 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SequenceTracker t;
    for (const Frame& f : c.frames) t.add(f.seq, f.ms);
    EXPECT_EQ(t.lost(), c.lost);
    EXPECT_EQ(t.duplicates(), c.duplicates);
    EXPECT_EQ(t.late(), c.late);
    EXPECT_EQ(t.restarts(), c.restarts);
    EXPECT_EQ(t.run_first(), c.run_first);
    EXPECT_EQ(t.run_last(), c.run_last);
  }
}

TEST(Checker, SecondsAddUpToTheRunAndLatencyIsReceiveMinusStamp) {
  Checker checker;
  const int64_t stamp = 1'700'000'000'000;
  // Second 1: frames 60 and 62 (61 lost), each received 2 ms after its stamp.
  EXPECT_EQ(checker.on_frame(frame(60, stamp), (stamp + 2) * 1000), "");
  EXPECT_EQ(checker.on_frame(frame(62, stamp), (stamp + 2) * 1000), "");
  EXPECT_EQ(checker.on_status(status(), 0), "");
  const SecondReport first = checker.end_second(1);
  // Second 2: 61 arrives late, 4 ms after its stamp; a damaged status record.
  Bytes bad = status();
  bad[30] = 1;
  EXPECT_EQ(checker.on_frame(frame(61, stamp), (stamp + 4) * 1000), "");
  EXPECT_NE(checker.on_status(bad, 0), "");
  const SecondReport second = checker.end_second(2);

  EXPECT_EQ(first.counts.frames, 2);
  EXPECT_EQ(first.counts.lost, 1);
  EXPECT_EQ(first.counts.status_records, 1);
  EXPECT_EQ(first.counts.bytes, 2 * 1'638'440 + 63);
  EXPECT_DOUBLE_EQ(first.latency.p50, 2.0);
  EXPECT_EQ(second.counts.frames, 1);
  EXPECT_EQ(second.counts.lost, -1) << "the late frame gives its loss back";
  EXPECT_EQ(second.counts.late, 1);
  EXPECT_EQ(second.counts.corrupt, 1);
  EXPECT_DOUBLE_EQ(second.latency.max, 4.0);

  const Counts total = checker.totals();
  EXPECT_EQ(total.frames, 3);
  EXPECT_EQ(total.lost, 0);
  EXPECT_EQ(total.corrupt, 1);
  const Latency l = checker.latency();
  EXPECT_NEAR(l.p50, 2.0, 0.011);
  EXPECT_NEAR(l.p99, 4.0, 0.011);
  EXPECT_DOUBLE_EQ(l.max, 4.0);
}

TEST(Checker, LatencyOutsideTheHistogramRangeAndNoSamples) {
  Checker checker;
  EXPECT_TRUE(std::isnan(checker.latency().p50));
  const int64_t stamp = 1'700'000'000'000;
  checker.on_frame(frame(60, stamp), (stamp - 5'000) * 1000);  // clocks 5 s apart
  checker.on_frame(frame(61, stamp), (stamp + 1) * 1000);
  checker.on_frame(frame(62, stamp), (stamp + 7'000) * 1000);
  const Latency l = checker.latency();
  EXPECT_NEAR(l.p50, 1.0, 0.011);
  EXPECT_DOUBLE_EQ(l.max, 7'000.0);
}

TEST(Options, Table) {
  struct Case {
    std::vector<const char*> argv;
    std::string error_contains;  // "" when valid
  };
  const Case cases[] = {
      {{"varnock-check"}, ""},
      {{"varnock-check", "--url", "memq://", "--seconds", "5", "--json", "--csv", "a.csv"}, ""},
      {{"varnock-check", "--seconds", "0"}, "'0'"},
      {{"varnock-check", "--seconds", "5x"}, "'5x'"},
      {{"varnock-check", "--seconds"}, "--seconds needs a value"},
      {{"varnock-check", "--url"}, "--url needs a value"},
      {{"varnock-check", "--frobnicate"}, "'--frobnicate'"},
      {{"varnock-check", "--url=memq://", "--seconds=5", "--csv=a.csv"}, ""},
      {{"varnock-check", "--seconds=0"}, "'0'"},
      {{"varnock-check", "--url="}, "--url needs a value"},
      {{"varnock-check", "--json=yes"}, "--json takes no value"},
      {{"varnock-check", "--version"}, ""},
  };
  for (const Case& c : cases) {
    Options o;
    const std::string error = parse_options(static_cast<int>(c.argv.size()), c.argv.data(), &o);
    if (c.error_contains.empty()) {
      EXPECT_EQ(error, "");
    } else {
      EXPECT_NE(error.find(c.error_contains), std::string::npos) << error;
    }
  }
  Options o;
  const char* argv[] = {"varnock-check", "--seconds", "12", "--csv", "x.csv", "--json"};
  ASSERT_EQ(parse_options(6, argv, &o), "");
  EXPECT_EQ(o.seconds, 12);
  EXPECT_EQ(o.csv_path, "x.csv");
  EXPECT_TRUE(o.json);
  // The value after '=' is taken whole, '=' signs in it included.
  Options eq;
  const char* eq_argv[] = {"varnock-check", "--url=udpm://239.255.76.67:7667?ttl=0&recv_buf_size=1",
                           "--seconds=7"};
  ASSERT_EQ(parse_options(3, eq_argv, &eq), "");
  EXPECT_EQ(eq.url, "udpm://239.255.76.67:7667?ttl=0&recv_buf_size=1");
  EXPECT_EQ(eq.seconds, 7);
}

TEST(ReceiveBufferWarning, NamesTheSysctlAndTheUrlOption) {
  const std::string url = "udpm://239.255.76.67:7667?ttl=0";
  const std::string low = receive_buffer_warning(url, 212'992, 212'992);
  EXPECT_NE(low.find("net.core.rmem_max"), std::string::npos);
  EXPECT_NE(low.find("recv_buf_size"), std::string::npos);
  EXPECT_NE(receive_buffer_warning(url, 8'388'608, 212'992).find("recv_buf_size"),
            std::string::npos);
  EXPECT_EQ(receive_buffer_warning(url + "&recv_buf_size=8388608", 8'388'608, 212'992), "");
  EXPECT_EQ(receive_buffer_warning("file:///tmp/x.log", 1, 1), "");
}

}  // namespace
}  // namespace varnock::check
