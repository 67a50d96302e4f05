// The account: validation of crafted messages, publisher runs, the time
// histograms, and the per-second and whole-run figures from scripted
// arrivals.
#include "account/account.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "account/publisher_runs.h"
#include "account/time_histogram.h"
#include "account/validate.h"
#include "messages/encoding.h"
#include "messages/tfimage_t.h"
#include "pattern/frames.h"
#include "tests/support/crafted_messages.h"

namespace varnock::account {
namespace {

using testing::Bytes;
using testing::frame;
using testing::status;

constexpr int64_t kPixels = kFramePixels;

// Writes `value` big-endian at m[at].
void put_u32(Bytes& m, size_t at, uint32_t value) { store_big_endian<4>(m.data() + at, value); }

TEST(ValidateFrame, Table) {
  struct Case {
    const char* name;
    int32_t period;
    std::function<void(Bytes&)> damage;
    const char* problem;  // "" for valid
    int32_t expected_period;
    FrameSize size = {};  // varnock's unless given
  };
  auto pixel = [](size_t i, uint8_t v) { return [=](Bytes& m) { m[40 + i] = v; }; };
  constexpr FrameSize kVga{640, 480};
  const Case cases[] = {
      {"first frame", 60, nullptr, "", 60},
      {"period 61", 61, nullptr, "", 61},
      {"period 1, every byte lit", 1, nullptr, "", 1},
      {"period 1280", 1280, nullptr, "", 1280},
      {"last period with a sequence number", 1'638'399, nullptr, "", 1'638'399},
      {"only byte 0 lit: no sequence number", 1'638'400, nullptr, "", -1},
      {"the longest period compared by tiles", FrameValidator::kMinTile - 1, nullptr, "",
       FrameValidator::kMinTile - 1},
      {"the shortest period checked gap by gap", FrameValidator::kMinTile, nullptr, "",
       FrameValidator::kMinTile},
      {"a pixel set in the last, partial tile", FrameValidator::kMinTile - 1, pixel(1'638'399, 1),
       "pixels off the pattern", 0},
      {"a pixel lit in the last, partial gap", 5'000, pixel(1'638'399, 255),
       "pixels off the pattern", 0},
      {"a lit pixel missing from a long period", 5'000, pixel(1'000'000, 0),
       "pixels off the pattern", 0},
      {"a dark pixel set right after a long period's lit one", 5'000, pixel(1'000'001, 1),
       "pixels off the pattern", 0},
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
      {"width", 60, [](Bytes& m) { m[23] = 1; }, "width times height is not size", 0},
      {"height", 60, [](Bytes& m) { m[26] = 4; }, "width times height is not size", 0},
      {"int_b", 60, [](Bytes& m) { m[31] = 2; }, "int_b is not 1", 0},
      {"int_c", 60, [](Bytes& m) { m[35] = 0; }, "int_c is not 1", 0},
      {"size field", 60, [](Bytes& m) { m[39] = 1; }, "wrong size", 0},
      {"one byte short", 60, [](Bytes& m) { m.pop_back(); }, "wrong size", 0},
      {"one byte long", 60, [](Bytes& m) { m.push_back(0); }, "wrong size", 0},
      {"a status record on the frame channel", 60, [](Bytes& m) { m = status(); }, "wrong size", 0},
      {"empty", 60, [](Bytes& m) { m.clear(); }, "wrong size", 0},
      {"only a header", 60, [](Bytes& m) { m.resize(40); }, "wrong size", 0},
      // Frames of other sizes, as varnock-pace sends them, between and after
      // varnock's: the reference pattern follows the size too.
      {"640 x 480", 60, nullptr, "", 60, kVga},
      {"640 x 480, next period", 61, nullptr, "", 61, kVga},
      {"480 x 640: the same size", 62, nullptr, "", 62, {480, 640}},
      {"640 x 480, last sequenced period", 307'199, nullptr, "", 307'199, kVga},
      {"640 x 480, only byte 0 lit", 307'200, nullptr, "", -1, kVga},
      {"1 x 1: only byte 0, no sequence number", 60, nullptr, "", -1, {1, 1}},
      {"7 x 3, period 5", 5, nullptr, "", 5, {7, 3}},
      {"one row", 60, nullptr, "", 60, {100'000, 1}},
      {"varnock's size again", 63, nullptr, "", 63},
      {"640 x 480, a dark pixel lit", 60, pixel(307'199, 255), "pixels off the pattern", 0, kVga},
      {"640 x 480, a lit pixel missing", 60, pixel(307'140, 0), "pixels off the pattern", 0, kVga},
      {"640 x 480, one byte short", 60, [](Bytes& m) { m.pop_back(); }, "wrong size", 0, kVga},
      {"640 x 480 saying 1280 x 1280", 60,
       [](Bytes& m) {
         put_u32(m, 20, 1280);
         put_u32(m, 24, 1280);
       },
       "width times height is not size", 0, kVga},
      {"a size field that says more than the message holds", 60,
       [](Bytes& m) { put_u32(m, 36, 307'201); }, "wrong size", 0, kVga},
      {"a negative size field", 60, [](Bytes& m) { put_u32(m, 36, 0xFFFFFFFF); }, "wrong size", 0,
       kVga},
      {"width 0", 60, [](Bytes& m) { put_u32(m, 20, 0); }, "width is below 1", 0, kVga},
      {"negative height", 60, [](Bytes& m) { put_u32(m, 24, 0xFFFFFE20); }, "height is below 1", 0,
       kVga},
      {"negative width and height, whose product is size", 60,
       [](Bytes& m) {
         put_u32(m, 20, static_cast<uint32_t>(-640));
         put_u32(m, 24, static_cast<uint32_t>(-480));
       },
       "width is below 1", 0, kVga},
      // 1,073,818,624 x 4 is 307,200 plus 2^32: in 32 bits, the frame's size.
      {"width times height that wraps around to size", 60,
       [](Bytes& m) {
         put_u32(m, 20, 1'073'818'624);
         put_u32(m, 24, 4);
       },
       "width times height is not size", 0, kVga},
  };
  // One validator for the whole table, as for a stream of frames: its
  // reference pattern must follow any jump of period or size.
  FrameValidator validator;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes m = frame(c.period, 1'700'000'000'123, c.size);
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

TEST(RunTracker, Table) {
  // A frame: sequence number, publisher's stamp, receive time (ms).
  struct Frame {
    int64_t seq;
    int64_t stamp;
    int64_t recv;
  };
  struct Case {
    const char* name;
    std::vector<Frame> frames;
    int64_t missing, runs, duplicates, late;
  };
  // Two publishers, each 3 ms a cycle: A from period 60 at stamp 0, B from
  // period `b_first` at stamp `b_stamp`; frames alternate A, B.
  auto two = [](int64_t b_first, int64_t b_stamp, int cycles) {
    std::vector<Frame> f;
    for (int i = 0; i < cycles; ++i) {
      f.push_back({60 + i, int64_t{3} * i, int64_t{3} * i + 1});
      f.push_back({b_first + i, b_stamp + int64_t{3} * i, int64_t{3} * i + 2});
    }
    return f;
  };
  std::vector<Frame> lockstep_with_loss = two(60, 1, 50);
  lockstep_with_loss.erase(lockstep_with_loss.begin() + 20);  // A's 70
  lockstep_with_loss.erase(lockstep_with_loss.begin() + 40);  // B's 80
  std::vector<Frame> stray = two(5'000, 0, 20);
  stray.insert(stray.begin() + 10, {900'000, 15, 16});  // valid, far off
  stray.insert(stray.begin() + 20, {61, 0, 31});        // a 1970 stamp
  const Case cases[] = {
      {"in order", {{60, 0, 1}, {61, 3, 4}, {62, 6, 7}}, 0, 1, 0, 0},
      {"joined mid-run: earlier frames are not missing", {{500, 0, 1}, {501, 3, 4}}, 0, 1, 0, 0},
      {"gap", {{60, 0, 1}, {61, 3, 4}, {64, 12, 13}, {65, 15, 16}}, 2, 1, 0, 0},
      {"a gap the stamps cannot hold starts a run", {{60, 0, 1}, {64, 3, 4}}, 0, 2, 0, 0},
      {"duplicate", {{60, 0, 1}, {61, 3, 4}, {61, 3, 5}, {62, 6, 7}}, 0, 1, 1, 0},
      {"late after a gap", {{60, 0, 1}, {64, 12, 13}, {62, 6, 14}}, 2, 1, 0, 1},
      {"late frame before the first", {{61, 3, 4}, {60, 0, 5}, {62, 6, 7}}, 0, 1, 0, 1},
      {"frames before the first give back nothing",
       {{64, 12, 13}, {60, 0, 14}, {62, 6, 15}, {65, 15, 16}},
       0,
       1,
       0,
       2},
      {"stale duplicate beyond the window",
       {{60, 0, 1}, {61, 3, 4}, {3'000, 9'000, 9'001}, {61, 3, 9'002}},
       2'938,
       1,
       1,
       0},
      {"restart after a short run",
       {{60, 0, 1}, {61, 3, 4}, {60, 500, 501}, {61, 503, 504}},
       0,
       2,
       0,
       0},
      {"restart whose first frame is lost",
       {{60, 0, 1}, {61, 3, 4}, {62, 6, 7}, {61, 506, 507}, {62, 509, 510}},
       0,
       2,
       0,
       0},
      {"two publishers in lockstep", two(60, 1, 50), 0, 2, 0, 0},
      {"two publishers in lockstep, one frame of each lost", lockstep_with_loss, 2, 2, 0, 0},
      {"two publishers apart", two(5'000, 2, 50), 0, 2, 0, 0},
      {"stray frames with a far-off period and a 1970 stamp", stray, 0, 4, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunTracker t;
    int64_t missing = 0;
    int64_t duplicates = 0;
    int64_t late = 0;
    for (const Frame& f : c.frames) {
      const FrameOutcome o = t.add(f.seq, f.stamp, f.recv, kPixels);
      missing += o.missing;
      if (o.kind == FrameOutcome::kDuplicate) ++duplicates;
      if (o.kind == FrameOutcome::kLate || o.kind == FrameOutcome::kEarly) ++late;
      if (o.kind == FrameOutcome::kLate) --missing;
    }
    EXPECT_EQ(missing, c.missing);
    EXPECT_EQ(t.runs_started(), c.runs);
    EXPECT_EQ(duplicates, c.duplicates);
    EXPECT_EQ(late, c.late);
  }
}

TEST(RunTracker, ListsEachRunsPeriodsAndBoundsItsMemory) {
  RunTracker t;
  t.add(61, 3, 4, kPixels);
  t.add(60, 0, 5, kPixels);  // early: the run began at 60
  t.add(70, 30, 31, kPixels);
  t.add(60, 5'000, 5'001, kPixels);
  ASSERT_EQ(t.listed().size(), 2u);
  EXPECT_EQ(t.listed()[0].first, 60);
  EXPECT_EQ(t.listed()[0].last, 70);
  EXPECT_EQ(t.listed()[1].first, 60);
  EXPECT_EQ(t.listed()[1].last, 60);
  // Far more runs than are kept or listed: each stray frame starts one.
  for (int64_t i = 0; i < 1'000; ++i) t.add(1'000 + 7 * i, -1 - i, 6'000 + i, kPixels);
  EXPECT_EQ(t.runs_started(), 1'002);
  EXPECT_EQ(t.listed().size(), RunTracker::kListed);
}

// Many publishers at one rate, started a few milliseconds apart and
// interleaved as they arrive, each losing frames at known places: every run
// is told apart and every gap counted, however many there are.
TEST(RunTracker, ManyInterleavedPublishersAreEachFollowed) {
  for (const int64_t publishers : {int64_t{40}, int64_t{100}}) {
    SCOPED_TRACE(publishers);
    constexpr int64_t kCycles = 120;
    constexpr int64_t kCycleMs = 33;
    struct Frame {
      int64_t stamp_ms, seq;
    };
    std::vector<Frame> frames;
    int64_t dropped = 0;
    for (int64_t p = 0; p < publishers; ++p) {
      for (int64_t k = 0; k < kCycles; ++k) {
        // Neither a run's first nor its last frame: those leave no gap.
        if (k > 0 && k < kCycles - 1 && (p * 13 + k) % 25 == 0) {
          ++dropped;
          continue;
        }
        frames.push_back({1'000 + p * 37 % 331 + k * kCycleMs, 60 + k});
      }
    }
    std::stable_sort(frames.begin(), frames.end(),
                     [](const Frame& a, const Frame& b) { return a.stamp_ms < b.stamp_ms; });
    RunTracker t;
    int64_t missing = 0;
    for (const Frame& f : frames) {
      const FrameOutcome o = t.add(f.seq, f.stamp_ms, f.stamp_ms + 1, kPixels);
      EXPECT_NE(o.kind, FrameOutcome::kDuplicate);
      missing += o.missing;
    }
    EXPECT_EQ(t.runs_started(), publishers);
    EXPECT_EQ(missing, dropped);
    EXPECT_EQ(t.live_runs_retired(), 0);
  }
}

// Past kMaxRuns live runs, the one heard from longest ago retires, and the
// tracker says so.
TEST(RunTracker, RetiringALiveRunIsCounted) {
  RunTracker t;
  for (int64_t i = 0; i <= static_cast<int64_t>(RunTracker::kMaxRuns); ++i) {
    t.add(60, 1'000 + i, 1'000 + i + 1'000'000 * i, kPixels);
  }
  EXPECT_EQ(t.live_runs_retired(), 0);  // each earlier one silent for over kRetireMs
  RunTracker live;
  for (int64_t i = 0; i <= static_cast<int64_t>(RunTracker::kMaxRuns); ++i) {
    live.add(60 + 3 * i, -i, 5, kPixels + i);
  }
  EXPECT_EQ(live.live_runs_retired(), 1);
}

TEST(TimeHistogram, PercentilesWithinTheBucketWidthForAnyValues) {
  struct Case {
    const char* name;
    std::vector<int64_t> us;
    double p50, p99, max;  // ms
  };
  std::vector<int64_t> spread;
  for (int64_t i = 1; i <= 1000; ++i) spread.push_back(i * 1000);  // 1 to 1000 ms
  std::vector<int64_t> offset = spread;
  offset.push_back(-2'000'000'000'000);  // a 1970 stamp seen from today, in reverse
  const Case cases[] = {
      {"one sample", {2'000}, 2.0, 2.0, 2.0},
      {"1 to 1000 ms", spread, 500.0, 990.0, 1000.0},
      {"hosts 5 s apart", {-5'000'000, -5'000'100, -4'999'900}, -5000.0, -4999.9, -4999.9},
      {"one far-off sample moves no percentile", offset, 500.0, 990.0, 1000.0},
      {"the extremes of int64",
       {INT64_MIN, INT64_MAX, 0},
       0.0,
       9.223372036854776e15,
       9.223372036854776e15},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TimeHistogram h;
    for (int64_t v : c.us) h.add(v);
    const TimePercentiles l = h.summary();
    EXPECT_NEAR(l.p50, c.p50, std::fabs(c.p50) * 0.002 + 1e-9);
    EXPECT_NEAR(l.p99, c.p99, std::fabs(c.p99) * 0.002 + 1e-9);
    EXPECT_DOUBLE_EQ(l.max, c.max);
  }
  EXPECT_TRUE(std::isnan(TimeHistogram().summary().p50));
}

// A publisher's cycles fed to a Account as they would arrive: status record,
// then frame, `cycle_ms` apart, received 1 ms after their stamp. Times are
// milliseconds on a clock that starts at kT0, with no steps unless asked.
class AccountFeed {
 public:
  static constexpr int64_t kT0 = 1'700'000'000'000;

  AccountFeed() : checker_(kT0, 0) {}

  // One cycle at `now` with frame period `period`; either message may be lost.
  void cycle(int64_t now, int32_t period, bool status_arrives = true, bool frame_arrives = true) {
    advance(now);
    if (status_arrives) {
      EXPECT_EQ(checker_.on_status(status(now / 1000), now * 1000, now), "");
    }
    if (frame_arrives) {
      EXPECT_EQ(checker_.on_frame(frame_at(period, now - 1), now * 1000, now), "");
    }
  }
  void advance(int64_t now) {
    for (const SecondReport& r : checker_.advance(now, now - kT0 + monotonic_offset)) {
      rows.push_back(r);
    }
  }
  void finish(int64_t now) {
    advance(now);
    for (const SecondReport& r : checker_.finish(now)) rows.push_back(r);
  }
  // A frame of `period` stamped `stamp`, received at `now`, after its status
  // record.
  void receive(int32_t period, int64_t stamp, int64_t now) {
    EXPECT_EQ(checker_.on_status(status(stamp / 1000), now * 1000, now), "");
    EXPECT_EQ(checker_.on_frame(frame_at(period, stamp), now * 1000, now), "");
  }
  Account& checker() { return checker_; }
  int64_t row_sum(int64_t Counts::*field) const {
    int64_t sum = 0;
    for (const SecondReport& r : rows) sum += r.counts.*field;
    return sum;
  }
  const SecondReport* row(int64_t second) const {
    for (const SecondReport& r : rows) {
      if (r.second == second) return &r;
    }
    return nullptr;
  }

  std::vector<SecondReport> rows;
  int64_t monotonic_offset = 0;

 private:
  // Frames of consecutive periods are drawn incrementally.
  Bytes frame_at(int32_t period, int64_t stamp) {
    if (!pattern_ || pattern_->period() != period) {
      pattern_ = std::make_unique<TestPatternFrames>(period);
    }
    const auto bytes = pattern_->next(stamp).encoded_in_place();
    return Bytes(bytes.begin(), bytes.end());
  }

  Account checker_;
  std::unique_ptr<TestPatternFrames> pattern_;
};

TEST(Account, AnOutageShowsAsLossInTheSecondsItLasted) {
  // 100 cycles a second for 10 s; nothing at all arrives in seconds 3 to 7.
  AccountFeed feed;
  constexpr int64_t kT0 = AccountFeed::kT0;
  for (int i = 0; i < 1000; ++i) {
    const int64_t now = kT0 + int64_t{10} * i;
    const bool out = now >= kT0 + 3'000 && now < kT0 + 8'000;
    feed.cycle(now, 60 + i, !out, !out);
  }
  feed.finish(kT0 + 10'000);
  for (int64_t s = 3; s <= 7; ++s) {
    const SecondReport* r = feed.row(kT0 / 1000 + s);
    ASSERT_NE(r, nullptr);
    EXPECT_NEAR(r->counts.lost, 100, 1) << "second " << s;
    EXPECT_EQ(r->counts.lost_estimated, 0);
  }
  for (const SecondReport& r : feed.rows) EXPECT_GE(r.counts.lost, 0);
  const Summary s = feed.checker().summary(10);
  EXPECT_EQ(s.totals.lost, 500);
  EXPECT_EQ(feed.row_sum(&Counts::lost), 500);
  EXPECT_EQ(s.totals.frames, 500);
  EXPECT_EQ(s.totals.runs, 1);
}

// A checker stopped (Ctrl+Z) while a publisher sends 100 cycles a second:
// on resume the socket's backlog (the first 50 cycles of the stop) comes at
// once, the kernel dropped the rest, and live frames follow. The stop opens
// a bounded number of rows, starts no run, and its loss is exact and the
// receive buffer's.
TEST(Account, AStoppedCheckerStaysBoundedAndFollowsItsRuns) {
  constexpr int64_t kT0 = AccountFeed::kT0;
  for (const int64_t stop_s : {10, 70, 3600}) {
    SCOPED_TRACE(std::to_string(stop_s) + " s stopped");
    AccountFeed feed;
    feed.checker().count_kernel_drops(0, kT0);
    for (int i = 0; i < 200; ++i) feed.cycle(kT0 + int64_t{10} * i, 60 + i);
    const int64_t resume = kT0 + 2'000 + stop_s * 1000;
    const int64_t sent_in_stop = stop_s * 100;
    feed.checker().note_stall(stop_s * 1000);
    feed.advance(resume);
    feed.checker().count_kernel_drops(2 * (sent_in_stop - 50), resume);
    for (int i = 0; i < 50; ++i) {
      feed.receive(static_cast<int32_t>(260 + i), kT0 + 2'000 + int64_t{10} * i, resume);
    }
    for (int i = 0; i < 300; ++i) {
      const int64_t now = resume + int64_t{10} * i;
      feed.cycle(now, static_cast<int32_t>(260 + sent_in_stop + i));
    }
    feed.finish(resume + 3'000);
    const Summary s = feed.checker().summary(static_cast<double>(stop_s + 5));
    const int64_t published = 200 + sent_in_stop + 300;
    EXPECT_EQ(s.totals.runs, 1) << "the backlog continues its run";
    EXPECT_EQ(s.totals.lost, sent_in_stop - 50);
    EXPECT_EQ(s.totals.frames + s.totals.lost, published);
    EXPECT_EQ(s.totals.lost_receive_buffer, s.totals.lost);
    EXPECT_EQ(feed.row_sum(&Counts::lost), s.totals.lost);
    EXPECT_LE(feed.rows.size(), size_t{5 + 2 + Account::kMaxGapRows + 5});
    for (const SecondReport& r : feed.rows) EXPECT_GE(r.counts.lost, 0) << r.second;
  }
}

TEST(Account, StatusRecordsWitnessFramesThatNoGapShows) {
  constexpr int64_t kT0 = AccountFeed::kT0;
  struct Case {
    const char* name;
    int32_t first_period;
    std::function<bool(int)> frame_arrives;  // by cycle index
    int64_t lost, estimated;
  };
  const Case cases[] = {
      // 500 cycles; the run ends 110 ms after the last, when every status record
      // without its frame has lost it.
      {"all frames lost", 60, [](int) { return false; }, 500, 500},
      {"frames lost after the last one received", 60, [](int i) { return i < 200; }, 300, 300},
      {"past the last sequenced period", 1'638'400, [](int i) { return i % 10 != 3; }, 50, 50},
      // Once frames return, the gap confirms the witnessed loss: counted once,
      // and no longer an estimate.
      {"gaps found later take back what the witness counted", 60,
       [](int i) { return i < 100 || i >= 300; }, 200, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AccountFeed feed;
    for (int i = 0; i < 500; ++i) {
      feed.cycle(kT0 + int64_t{10} * i, c.first_period + i, true, c.frame_arrives(i));
    }
    feed.finish(kT0 + 5'100);
    const Summary s = feed.checker().summary(5);
    EXPECT_NEAR(s.totals.lost, c.lost, 1);
    EXPECT_NEAR(s.totals.lost_estimated, c.estimated, 1);
    EXPECT_EQ(feed.row_sum(&Counts::lost), s.totals.lost);
    for (const SecondReport& r : feed.rows) EXPECT_GE(r.counts.lost, 0);
  }
}

// At the end of a log nothing is in flight: a status record whose frame
// never came has lost it however short a time ago it came, where at the end
// of a run on a bus its frame may still be on its way.
TEST(Account, AtTheEndOfInputAWitnessedFrameIsLost) {
  constexpr int64_t kT0 = AccountFeed::kT0;
  for (const bool input_ended : {false, true}) {
    SCOPED_TRACE(input_ended ? "input ended" : "run ended");
    AccountFeed feed;
    for (int i = 0; i < 10; ++i) feed.cycle(kT0 + i, 60 + i, true, i < 9);
    if (input_ended) feed.checker().end_of_input();
    feed.finish(kT0 + 10);
    const Summary s = feed.checker().summary(1);
    EXPECT_EQ(s.totals.frames, 9);
    EXPECT_EQ(s.totals.lost, input_ended ? 1 : 0);
    EXPECT_EQ(s.totals.lost_estimated, input_ended ? 1 : 0);
    EXPECT_EQ(feed.row_sum(&Counts::lost), s.totals.lost);
  }
}

TEST(Account, JoinedMidRunAndStrayFramesLoseNothing) {
  constexpr int64_t kT0 = AccountFeed::kT0;
  AccountFeed feed;
  // The checker starts between a status record and its frame, mid-run.
  EXPECT_EQ(feed.checker().on_frame(frame(5'000, kT0 - 1), kT0 * 1000, kT0), "");
  for (int i = 1; i < 300; ++i) feed.cycle(kT0 + int64_t{4} * i, 5'000 + i);
  // A stray valid frame from elsewhere, far off and stamped in 1970.
  EXPECT_EQ(feed.checker().on_frame(frame(800'000, 5), kT0 * 1000, kT0 + 1'200), "");
  for (int i = 300; i < 600; ++i) feed.cycle(kT0 + int64_t{4} * i, 5'000 + i);
  feed.finish(kT0 + 2'400);
  const Summary s = feed.checker().summary(3);
  EXPECT_LE(s.totals.lost, 1);
  EXPECT_EQ(s.totals.runs, 2);
  EXPECT_EQ(s.totals.frames, 601);
  EXPECT_LT(s.latency.p99, 5.0) << "one sample 56 years off moves no percentile that far";
}

TEST(Account, ALateFrameGivesItsLossBackWithoutANegativeRow) {
  constexpr int64_t kT0 = AccountFeed::kT0;
  AccountFeed feed;
  feed.cycle(kT0 + 900, 60);
  feed.cycle(kT0 + 910, 61, true, false);
  feed.cycle(kT0 + 920, 62);
  // 61 arrives in the next second, 100 ms late.
  feed.advance(kT0 + 1'010);
  EXPECT_EQ(feed.checker().on_frame(frame(61, kT0 + 909), (kT0 + 1'010) * 1000, kT0 + 1'010), "");
  feed.finish(kT0 + 1'500);
  const Summary s = feed.checker().summary(1.5);
  EXPECT_EQ(s.totals.lost, 0);
  EXPECT_EQ(s.totals.late, 1);
  EXPECT_EQ(feed.row_sum(&Counts::lost), 0);
  for (const SecondReport& r : feed.rows) EXPECT_GE(r.counts.lost, 0);
}

TEST(Account, AClockStepGivesOneMarkedRow) {
  constexpr int64_t kT0 = AccountFeed::kT0;
  constexpr int64_t kDay = 86'400'000;
  AccountFeed feed;
  for (int i = 0; i < 200; ++i) feed.cycle(kT0 + int64_t{10} * i, 60 + i);
  // The wall clock jumps a day ahead while 10 ms pass.
  feed.monotonic_offset = -kDay;
  for (int i = 200; i < 400; ++i) feed.cycle(kT0 + kDay + int64_t{10} * i, 60 + i);
  feed.finish(kT0 + kDay + 4'000);
  EXPECT_LE(feed.rows.size(), 8u);
  int steps = 0;
  for (const SecondReport& r : feed.rows) {
    if (r.clock_step_s != 0) {
      ++steps;
      EXPECT_EQ(r.clock_step_s, 86'400);
    }
  }
  EXPECT_EQ(steps, 1);
  const Summary s = feed.checker().summary(4);
  EXPECT_EQ(s.totals.lost, 0);
  EXPECT_EQ(s.totals.runs, 1);
  EXPECT_EQ(s.totals.frames, 400);
}

TEST(Account, DamagedStampsAndCorruptMessagesAreCountedNotTrusted) {
  constexpr int64_t kT0 = AccountFeed::kT0;
  AccountFeed feed;
  for (int64_t stamp : {INT64_MIN, INT64_MAX, int64_t{-1}}) {
    EXPECT_EQ(feed.checker().on_frame(frame(60, stamp), kT0 * 1000, kT0), "");
  }
  Bytes bad = status();
  bad[30] = 1;
  EXPECT_NE(feed.checker().on_status(bad, kT0 * 1000, kT0), "");
  feed.finish(kT0 + 100);
  const Summary s = feed.checker().summary(0.1);
  EXPECT_EQ(s.totals.frames, 3);
  EXPECT_EQ(s.totals.corrupt, 1);
  EXPECT_EQ(s.totals.bytes, 3 * kFrameBytes + 63);
  EXPECT_FALSE(std::isnan(s.latency.max));
}

// The kernel's drops are read a little after they happen and a loss is
// placed by its run's pace, so the two may land a second apart; a drop still
// explains a loss beside it, but not one seconds away.
TEST(Account, KernelDropsExplainLossInTheSecondsBeside) {
  constexpr int64_t kT0 = AccountFeed::kT0;
  struct Case {
    const char* name;
    int64_t drops_at;  // ms after kT0: the drops of frames 95..99, lost near kT0 + 960
    int64_t to_buffer;
  };
  const Case cases[] = {
      {"read in the second after", 1'020, 5},
      {"read just before", 930, 5},
      {"read three seconds later", 3'500, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AccountFeed feed;
    feed.checker().count_kernel_drops(0, kT0);
    for (int i = 0; i < 400; ++i) {
      const int64_t now = kT0 + int64_t{10} * i;
      const int64_t drops_at = kT0 + c.drops_at;
      if (drops_at > now - 10 && drops_at <= now) feed.checker().count_kernel_drops(130, drops_at);
      feed.cycle(now, 60 + i, true, i < 95 || i >= 100);
    }
    feed.finish(kT0 + 4'100);
    const Summary s = feed.checker().summary(4);
    EXPECT_EQ(s.totals.lost, 5);
    EXPECT_EQ(s.totals.kernel_drops, 130);
    EXPECT_EQ(s.totals.lost_receive_buffer, c.to_buffer);
    EXPECT_EQ(s.totals.lost_other, 5 - c.to_buffer);
  }
}

// The loss of a row split by what the host counted beside it, each count
// explaining at most one lost frame, in a fixed order.
TEST(Account, LossIsSplitByTheHostsCounters) {
  constexpr int64_t kT0 = AccountFeed::kT0;
  struct Counters {
    int64_t drops = 0, reassembly_failures = 0, reassembly_timeouts = 0, queues_left = 0,
            checksum_errors = 0;
  };
  struct Case {
    const char* name;
    Counters counters;
    int64_t queued_ms;          // how long messages waited in LCM's queue
    bool records_lost = false;  // the lost frames' status records were lost too
    int64_t buffer, memory, fragments, in_lcm, checksum, other;
    int counted_later = 0;  // cycles after the loss that the counters are read
  };
  const Case cases[] = {
      {"reassembly memory full: fragments refused, no timeouts",
       {0, 900, 0, 0, 0},
       1,
       false,
       0,
       10,
       0,
       0,
       0,
       0},
      {"fragments lost on the way: a queue left a datagram",
       {0, 4, 4, 4, 0},
       1,
       false,
       0,
       0,
       4,
       0,
       0,
       6},
      {"... waiting still (ipfrag_time 30): no timeouts yet",
       {0, 0, 0, 4, 0},
       1,
       false,
       0,
       0,
       4,
       0,
       0,
       6},
      {"... seen a second later", {0, 4, 4, 4, 0}, 1, false, 0, 0, 4, 0, 0, 6, 80},
      {"bad checksums, counted among the drops too", {3, 0, 0, 0, 3}, 1, false, 0, 0, 0, 0, 3, 7},
      {"a full receive buffer", {40, 0, 0, 0, 0}, 1, false, 10, 0, 0, 0, 0, 0},
      {"LCM's queue deep, records lost in step", {}, 150, true, 0, 0, 0, 10, 0, 0},
      {"records lost in step, the queue short", {}, 1, true, 0, 0, 0, 0, 0, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AccountFeed feed;
    feed.checker().count_kernel_drops(0, kT0);
    feed.checker().count_network(0, 0, 0, 0, kT0);
    for (int i = 0; i < 300; ++i) {
      const int64_t now = kT0 + int64_t{10} * i;
      const bool lost = i >= 150 && i < 160;  // ten frames at 1.5 s
      if (i == 155 + c.counted_later) {
        feed.checker().count_kernel_drops(c.counters.drops, now);
        feed.checker().count_network(c.counters.reassembly_failures, c.counters.reassembly_timeouts,
                                     c.counters.queues_left, c.counters.checksum_errors, now);
      }
      feed.advance(now);
      const int64_t recv_us = (now - c.queued_ms) * 1000;
      if (!(lost && c.records_lost)) {
        EXPECT_EQ(feed.checker().on_status(status(now / 1000), recv_us, now), "");
      }
      if (!lost) {
        EXPECT_EQ(feed.checker().on_frame(frame(60 + i, now - 1), recv_us, now), "");
      }
    }
    feed.finish(kT0 + 6'000);
    const Summary s = feed.checker().summary(6);
    EXPECT_EQ(s.totals.lost, 10);
    EXPECT_EQ(s.totals.lost_receive_buffer, c.buffer);
    EXPECT_EQ(s.totals.lost_reassembly_memory, c.memory);
    EXPECT_EQ(s.totals.lost_fragments, c.fragments);
    EXPECT_EQ(s.totals.lost_in_lcm, c.in_lcm);
    EXPECT_EQ(s.totals.lost_checksum, c.checksum);
    EXPECT_EQ(s.totals.lost_other, c.other);
  }
}

// Publishers as users meet them, scripted: each sends a status record and
// then a frame every cycle, stamped by its own clock, and the network
// delivers them late, twice or not at all. The account must tell what was
// published, within a frame.
class Bus {
 public:
  struct Publisher {
    int64_t start_ms = 0;  // when it starts, on this host's clock
    double cycle_ms = 10;  // its pace
    int cycles = 100;
    int64_t clock_ahead_ms = 0;  // how far its clock is ahead of this host's
    FrameSize size = {64, 64};
    int32_t first_period = 60;
    int64_t frame_delay_ms = 1;  // from its status record to this host
    int64_t repeats = 1;         // times the network delivers each message
    int stamp_collisions = 0;    // every this many cycles, a stamp repeats the last one's
    int64_t jitter_ms = 0;       // a cycle starts up to this much late, as scheduled processes do
  };

  void add(const Publisher& p) {
    int64_t last_stamp = INT64_MIN;
    for (int i = 0; i < p.cycles; ++i) {
      // Late by a different amount each cycle, the same each run of the test.
      const int64_t late =
          p.jitter_ms > 0 ? (int64_t{i} * 7'919 + p.start_ms) % (p.jitter_ms + 1) : 0;
      const auto sent = p.start_ms + static_cast<int64_t>(i * p.cycle_ms) + late;
      int64_t stamp = sent + p.clock_ahead_ms;
      if (p.stamp_collisions > 0 && i % p.stamp_collisions == 1) stamp = last_stamp;
      last_stamp = stamp;
      for (int64_t r = 0; r < p.repeats; ++r) {
        events_.push_back({sent, true, stamp, p.first_period + i, p.size});
        events_.push_back({sent + p.frame_delay_ms, false, stamp, p.first_period + i, p.size});
      }
    }
    published_ += p.cycles;
  }

  // Feeds every message in the order it arrives, then ends the run.
  Summary run() {
    std::stable_sort(events_.begin(), events_.end(),
                     [](const Event& a, const Event& b) { return a.at_ms < b.at_ms; });
    const int64_t t0 = events_.front().at_ms - 1;
    Account account(t0, 0);
    int64_t now = t0;
    auto advance_to = [&](int64_t t) {
      for (; now + 100 < t; now += 100) (void)account.advance(now + 100, now + 100 - t0);
      now = std::max(now, t);
      (void)account.advance(now, now - t0);
    };
    for (const Event& e : events_) {
      advance_to(e.at_ms);
      if (e.status) {
        EXPECT_EQ(account.on_status(status(e.stamp_ms / 1000), e.at_ms * 1000, e.at_ms), "");
      } else {
        TestPatternFrames pattern(e.size, e.period);
        const auto bytes = pattern.next(e.stamp_ms).encoded_in_place();
        EXPECT_EQ(account.on_frame(bytes, e.at_ms * 1000, e.at_ms), "");
      }
    }
    advance_to(now + 3'000);
    (void)account.finish(now);
    return account.summary(static_cast<double>(now - t0) / 1000);
  }

  int64_t published() const { return published_; }

 private:
  struct Event {
    int64_t at_ms;
    bool status;
    int64_t stamp_ms;
    int32_t period;
    FrameSize size;
  };
  std::vector<Event> events_;
  int64_t published_ = 0;
};

TEST(Account, UnusualButRealPublishersAreAccountedTruly) {
  constexpr int64_t kNow = 1'796'000'000'000;  // this host's clock, late 2026
  constexpr int64_t kDay = 86'400'000;
  using P = Bus::Publisher;
  struct Case {
    const char* name;
    std::vector<P> publishers;
    int64_t runs;
    int64_t duplicates = 0;
  };
  // 16 and 30 publishers alike, started 50 ms apart.
  auto many = [](int n) {
    std::vector<P> ps;
    for (int i = 0; i < n; ++i) {
      P p{kNow + int64_t{50} * i, 100, 30};
      p.jitter_ms = 8;
      ps.push_back(p);
    }
    return ps;
  };
  const Case cases[] = {
      {"a board whose clock reads 1970, seen first, beside a right clock at period 5000",
       {{kNow, 10, 300, -kNow + 20'000, {640, 480}}, {kNow + 5, 10, 300, 0, {640, 480}, 5'000}},
       2},
      {"a varnock-pace an hour ahead beside another",
       {{kNow, 10, 300, 3'600'000}, {kNow + 3, 10, 300}},
       2},
      {"a replayed log, then a publisher already at period 5000",
       {{kNow, 5, 200, -600'000, {640, 480}}, {kNow + 1'000, 5, 300, 0, {640, 480}, 5'000}},
       2},
      {"16 publishers alike, started 50 ms apart", many(16), 16},
      {"30 publishers alike, started 50 ms apart", many(30), 30},
      {"every cycle arrives twice", {{kNow, 10, 300, 0, {64, 64}, 60, 1, 2}}, 1, 300},
      {"500 Hz, stamps sometimes a millisecond apart or equal",
       {{kNow, 2, 1'000, 0, {64, 64}, 60, 1, 1, 7}},
       1},
      {"a slow link: frames 1.5 s after their status records",
       {{kNow, 250, 16, 0, {640, 480}, 60, 1'500}},
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bus bus;
    for (const P& p : c.publishers) bus.add(p);
    const Summary s = bus.run();
    EXPECT_LE(s.totals.lost, 1);
    EXPECT_EQ(s.totals.runs, c.runs);
    EXPECT_EQ(s.totals.frames - s.totals.duplicates, bus.published());
    EXPECT_EQ(s.totals.duplicates, c.duplicates);
  }
  // One valid frame stamped a day ahead, with a period far off, during a
  // paced run: it changes the loss by one at most.
  Bus bus;
  bus.add({kNow, 10, 300, 0, {640, 480}});
  bus.add({kNow + 1'505, 10, 1, kDay, {640, 480}, 200'000});
  const Summary s = bus.run();
  EXPECT_LE(s.totals.lost, 1);
  EXPECT_EQ(s.totals.duplicates, 0);
  EXPECT_EQ(s.totals.runs, 2);
}

}  // namespace
}  // namespace varnock::account
