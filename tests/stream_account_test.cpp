// The small streams' account: tables of sequences per channel and publisher
// run, what LCM's queue discarded by the witness's count, rows by second, and
// percentiles from known times.
#include "account/stream_account.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace varnock::account {
namespace {

constexpr int64_t kT0 = 1'700'000'000'000;  // the account's start, ms; a second's start
constexpr int64_t kBefore = -10'000;        // a run begun 10 s before the account
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

// A message as the table gives it; run_ms is its run's start from kT0.
struct Msg {
  int64_t seq;
  int64_t publisher = 1;
  int channel = 0;
  int64_t run_ms = kBefore;
  bool valid = true;
};

std::vector<Msg> numbers(std::initializer_list<int64_t> seqs, int64_t publisher = 1,
                         int channel = 0, int64_t run_ms = kBefore) {
  std::vector<Msg> out;
  for (int64_t s : seqs) out.push_back({s, publisher, channel, run_ms});
  return out;
}

std::vector<Msg> operator+(std::vector<Msg> a, const std::vector<Msg>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The i-th message of a feed arrives at kT0 + 1 + i ms, sent half a
// millisecond before.
StreamArrival arrival(const Msg& m, int64_t now_ms) {
  StreamArrival a;
  a.channel = m.channel;
  a.valid = m.valid;
  a.recv_utime = now_ms * 1000;
  a.handler_utime = now_ms * 1000 + 100;
  a.header = {m.publisher, (kT0 + m.run_ms) * 1'000'000, m.seq, now_ms * 1'000'000 - 500'000};
  return a;
}

const StreamChannelFigures* channel_in(const std::vector<StreamChannelFigures>& list, int k) {
  for (const StreamChannelFigures& c : list) {
    if (c.channel == k) return &c;
  }
  return nullptr;
}

TEST(StreamAccount, SequencesTable) {
  struct Expect {
    int channel;
    int64_t received, lost, duplicates, reordered, late, runs, corrupt;
    int64_t sent;  // numbers in the runs' spans
  };
  struct Case {
    const char* name;
    std::vector<Msg> messages;
    std::vector<Expect> channels;
  };
  constexpr int64_t kJump = StreamAccount::kMaxJump;
  std::vector<Msg> interleaved;
  for (int64_t i = 0; i < 10; ++i) {
    if (i != 3) interleaved.push_back({i, 1});
    if (i != 5) interleaved.push_back({100 + i, 2});
  }
  const Case cases[] = {
      {"in order", numbers({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}), {{0, 10, 0, 0, 0, 0, 1, 0, 10}}},
      {"gaps", numbers({0, 1, 4, 5, 9}), {{0, 5, 5, 0, 0, 0, 1, 0, 10}}},
      {"repeats", numbers({0, 1, 1, 2, 2, 2, 3}), {{0, 7, 0, 3, 0, 0, 1, 0, 4}}},
      {"a reordered message fills its gap", numbers({0, 2, 1, 3}), {{0, 4, 0, 0, 1, 1, 1, 0, 4}}},
      {"reordered and repeated", numbers({0, 3, 1, 1, 2, 3}), {{0, 6, 0, 2, 2, 2, 1, 0, 4}}},
      {"a gap filled late, another left", numbers({10, 14, 12, 15}), {{0, 4, 2, 0, 1, 1, 1, 0, 6}}},
      {"a number's slot taken back from one a window before",
       numbers({0, 4095, 4106, 4096}),
       {{0, 4, 4103, 0, 1, 1, 1, 0, 4107}}},
      {"joined mid-run: nothing before the first is lost",
       numbers({1000, 1001, 1003}),
       {{0, 3, 1, 0, 0, 0, 1, 0, 4}}},
      {"below the first: the numbers between were sent",
       numbers({5, 6, 3, 7, 4}),
       {{0, 5, 0, 0, 2, 1, 1, 0, 5}}},
      {"a run begun after the account counts from 0",
       numbers({2, 3, 5}, 1, 0, 0),
       {{0, 3, 3, 0, 0, 0, 1, 0, 6}}},
      {"a run begun after the account, from a number below 0",
       numbers({-3, -2}, 1, 0, 0),
       {{0, 2, 0, 0, 0, 0, 1, 0, 2}}},
      {"... and its first messages may still come",
       numbers({2, 3, 0, 1}, 1, 0, 0),
       {{0, 4, 0, 0, 2, 2, 1, 0, 4}}},
      {"a restarted publisher is a new run",
       numbers({0, 1, 2, 3, 4}) + numbers({0, 2}, 1, 0, kBefore + 5),
       {{0, 7, 1, 0, 0, 0, 2, 0, 8}}},
      {"further back than the window: a duplicate",
       numbers({0, 10'000, 5, 10'001}),
       {{0, 4, 9'999, 1, 0, 0, 1, 0, 10'002}}},
      {"a jump of kMaxJump is counted",
       numbers({0, kJump}),
       {{0, 2, kJump - 1, 0, 0, 0, 1, 0, kJump + 1}}},
      {"a jump beyond kMaxJump begins the run anew",
       numbers({0, 1, kJump + 2, kJump + 3}),
       {{0, 4, 0, 0, 0, 0, 2, 0, 4}}},
      {"far backwards begins the run anew",
       numbers({int64_t{1} << 40, (int64_t{1} << 40) + 1, 5, 6, 8}),
       {{0, 5, 1, 0, 0, 0, 2, 0, 6}}},
      {"wrapped from INT64_MAX to INT64_MIN",
       numbers({kMax - 2, kMax - 1, kMax, kMin, kMin + 2}),
       {{0, 5, 1, 0, 0, 0, 1, 0, 6}}},
      {"from INT64_MIN to INT64_MAX: a jump back of one",
       numbers({kMin, kMax, kMin + 1}),
       {{0, 3, 0, 0, 1, 0, 1, 0, 3}}},
      {"two publishers interleaved on one channel, one message of each lost",
       interleaved,
       {{0, 18, 2, 0, 0, 0, 2, 0, 20}}},
      {"channels apart, one publisher on both",
       numbers({0, 1, 2}, 1, 0) + numbers({0, 2}, 1, 7) + numbers({3}, 1, 0) + numbers({1}, 1, 7),
       {{0, 4, 0, 0, 0, 0, 1, 0, 4}, {7, 3, 0, 0, 1, 1, 1, 0, 3}}},
      {"a corrupt message is corrupt and nothing else",
       numbers({0}) + std::vector<Msg>{{kMax, 9, 0, kBefore, false}} + numbers({1, 2}),
       {{0, 3, 0, 0, 0, 0, 1, 1, 3}}},
      {"channels outside 0..255 are ignored",
       numbers({0, 1}, 1, 255) + numbers({0}, 1, 256) + numbers({0}, 1, -1),
       {{255, 2, 0, 0, 0, 0, 1, 0, 2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StreamAccount account(kT0);
    int64_t now = kT0;
    for (const Msg& m : c.messages) {
      ++now;
      account.on_message(arrival(m, now), now);
    }
    const StreamSummary s = account.summary();
    ASSERT_EQ(s.channels.size(), c.channels.size());
    for (const Expect& e : c.channels) {
      SCOPED_TRACE(e.channel);
      const StreamChannelFigures* f = channel_in(s.channels, e.channel);
      ASSERT_NE(f, nullptr);
      const StreamCounts& n = f->counts;
      EXPECT_EQ(n.received, e.received);
      EXPECT_EQ(n.lost, e.lost);
      EXPECT_EQ(n.duplicates, e.duplicates);
      EXPECT_EQ(n.reordered, e.reordered);
      EXPECT_EQ(n.late, e.late);
      EXPECT_EQ(n.runs, e.runs);
      EXPECT_EQ(n.corrupt, e.corrupt);
      EXPECT_EQ(n.received - n.duplicates + n.lost, e.sent);
    }
  }
}

TEST(StreamAccount, RunsBeyondTheBoundRetireTheLeastRecentlyHeard) {
  // One publisher heard throughout, and a crowd of others each heard once:
  // the steady one keeps its run and its exact count.
  StreamAccount account(kT0);
  constexpr int64_t kOthers = 3 * StreamAccount::kMaxRuns;
  int64_t now = kT0;
  for (int64_t i = 0; i < kOthers; ++i) {
    ++now;
    if (i != 50) account.on_message(arrival({i, 1}, now), now);
    account.on_message(arrival({0, 100 + i}, now), now);
  }
  const StreamSummary s = account.summary();
  ASSERT_EQ(s.channels.size(), 1u);
  const StreamCounts& n = s.channels[0].counts;
  EXPECT_EQ(n.runs, 1 + kOthers);
  EXPECT_EQ(s.runs_retired, kOthers + 1 - static_cast<int64_t>(StreamAccount::kMaxRuns));
  EXPECT_EQ(n.received, 2 * kOthers - 1);
  EXPECT_EQ(n.lost, 1);
}

TEST(StreamAccount, RowsAndWhatLcmsQueueDiscarded) {
  // Channels 0 and 3 at 100 Hz for 4 s. The witness sees what LCM delivered;
  // the account's handler misses what its queue discarded: channel 0's
  // messages 150-154 (second 1) and channel 3's 320 (second 3). Channel 0's
  // 250 never reaches LCM (second 2). Channel 3's 120 comes 100 ms late.
  StreamAccount account(kT0);
  std::vector<StreamSecond> rows;
  auto take = [&](std::vector<StreamSecond> r) { rows.insert(rows.end(), r.begin(), r.end()); };
  auto discarded = [](int k, int64_t i) {
    return (k == 0 && i >= 150 && i <= 154) || (k == 3 && i == 320);
  };
  auto handle = [&](int k, int64_t i, int64_t now) {
    take(account.advance(now));
    if (!discarded(k, i)) account.on_message(arrival({i, 1, k}, now), now);
    account.on_witnessed(k, now);
  };
  for (int64_t i = 0; i < 400; ++i) {
    const int64_t now = kT0 + 10 * i + 5;
    for (int k : {0, 3}) {
      if (k == 0 && i == 250) continue;
      if (k == 3 && i == 120) continue;
      handle(k, i, now);
    }
    if (i == 130) handle(3, 120, now);
  }
  take(account.finish(kT0 + 4'000));

  struct Expect {
    int64_t second;
    int channel;
    int64_t received, lost, reordered, lost_in_lcm;
  };
  const Expect expected[] = {
      {0, 0, 100, 0, 0, 0}, {0, 3, 100, 0, 0, 0}, {1, 0, 95, 5, 0, 5},  {1, 3, 100, 0, 1, 0},
      {2, 0, 99, 1, 0, 0},  {2, 3, 100, 0, 0, 0}, {3, 0, 100, 0, 0, 0}, {3, 3, 99, 1, 0, 1},
  };
  ASSERT_EQ(rows.size(), 4u);
  for (const Expect& e : expected) {
    SCOPED_TRACE(testing::Message() << "second " << e.second << ", channel " << e.channel);
    const StreamSecond& r = rows[static_cast<size_t>(e.second)];
    EXPECT_EQ(r.second, kT0 / 1000 + e.second);
    ASSERT_EQ(r.channels.size(), 2u);
    const StreamChannelFigures* f = channel_in(r.channels, e.channel);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->counts.received, e.received);
    EXPECT_EQ(f->counts.lost, e.lost);
    EXPECT_EQ(f->counts.reordered, e.reordered);
    EXPECT_EQ(f->counts.lost_in_lcm, e.lost_in_lcm);
  }
  const StreamSummary s = account.summary();
  ASSERT_EQ(s.channels.size(), 2u);
  for (const StreamChannelFigures& c : s.channels) {
    SCOPED_TRACE(c.channel);
    EXPECT_EQ(c.counts.received + c.counts.lost, 400);
  }
  EXPECT_EQ(s.channels[0].counts.lost_in_lcm, 5);
  EXPECT_EQ(s.channels[1].counts.lost_in_lcm, 1);
}

TEST(StreamAccount, RowsThroughSilenceAndAClockSteppedBack) {
  StreamAccount account(kT0);
  std::vector<StreamSecond> rows;
  auto take = [&](std::vector<StreamSecond> r) { rows.insert(rows.end(), r.begin(), r.end()); };
  account.on_message(arrival({0}, kT0 + 500), kT0 + 500);
  // An hour's silence opens at most kMaxGapRows rows; the gap counts where
  // messages came back.
  const int64_t back = kT0 + 3'600'000;
  take(account.advance(back));
  account.on_message(arrival({5}, back + 10), back + 10);
  take(account.advance(back + 1'999));
  ASSERT_EQ(rows.size(), 1u + StreamAccount::kMaxGapRows);
  EXPECT_EQ(rows.front().second, kT0 / 1000);
  EXPECT_EQ(rows.back().second, back / 1000 - 1);
  take(account.advance(back + 2'000));
  EXPECT_EQ(rows.back().second, back / 1000);
  ASSERT_EQ(rows.back().channels.size(), 1u);
  EXPECT_EQ(rows.back().channels[0].counts.lost, 4);
  // The wall clock steps back a day: what is open is reported, and rows go
  // on from the new time.
  const int64_t stepped = back - 86'400'000;
  const size_t before = rows.size();
  take(account.advance(stepped));
  EXPECT_EQ(rows.size(), before + 2);
  account.on_message(arrival({6}, stepped + 5), stepped + 5);
  take(account.finish(stepped + 10));
  EXPECT_EQ(rows.back().second, stepped / 1000);
  ASSERT_EQ(rows.back().channels.size(), 1u);
  EXPECT_EQ(rows.back().channels[0].counts.received, 1);
  EXPECT_EQ(account.summary().channels[0].counts.lost, 4);
}

TEST(StreamAccount, PercentilesFromKnownTimes) {
  // 100 messages 10 ms apart, one gap of 30 ms, latencies 1 to 100 ms and
  // the handler 2 ms after LCM; a corrupt message in between adds no time.
  StreamAccount account(kT0);
  int64_t recv_ms = kT0;
  for (int64_t i = 0; i < 100; ++i) {
    recv_ms += i == 60 ? 30 : 10;
    StreamArrival a = arrival({i}, recv_ms);
    a.header.send_time_ns = (recv_ms - (i + 1)) * 1'000'000;
    a.handler_utime = a.recv_utime + 2'000;
    account.on_message(a, recv_ms);
    if (i == 30) {
      StreamArrival bad = arrival({0, 1, 0, kBefore, false}, recv_ms);
      bad.recv_utime = 0;
      bad.handler_utime = kMax;
      account.on_message(bad, recv_ms);
    }
  }
  // On channel 1, a message in second 1, then one handled as the clock
  // stepped back into second 0: it counts there, its times in the run's only.
  for (int64_t at : {kT0 + 1'010, kT0 + 900}) account.on_message(arrival({at, 1, 1}, at), at);
  std::vector<StreamSecond> rows = account.finish(recv_ms);
  const StreamSummary s = account.summary();
  ASSERT_EQ(s.channels.size(), 2u);
  EXPECT_EQ(s.channels[1].times.latency.buckets.count, 2);
  const StreamTimes& t = s.channels[0].times;
  auto near = [](double got, double want) { EXPECT_NEAR(got, want, want * 0.002); };
  near(t.latency.p50, 50);
  near(t.latency.p99, 99);
  EXPECT_DOUBLE_EQ(t.latency.max, 100);
  near(t.delivery.p50, 52);
  near(t.delivery.p99, 101);
  EXPECT_DOUBLE_EQ(t.delivery.max, 102);
  near(t.inter_arrival.p50, 10);
  EXPECT_DOUBLE_EQ(t.inter_arrival.max, 30);
  EXPECT_EQ(t.inter_arrival.buckets.count, 99);
  EXPECT_EQ(s.channels[0].counts.corrupt, 1);
  // The rows' percentiles are of their own second's messages: the first
  // second holds messages 0-96 (latency 1-97 ms), the next 97-99.
  ASSERT_EQ(rows.size(), 2u);
  ASSERT_EQ(rows[0].channels.size(), 2u);
  EXPECT_EQ(rows[0].channels[1].counts.received, 1);
  EXPECT_TRUE(std::isnan(rows[0].channels[1].times.latency.p50));
  near(rows[0].channels[0].times.latency.p50, 49);
  EXPECT_DOUBLE_EQ(rows[0].channels[0].times.latency.max, 97);
  near(rows[1].channels[0].times.latency.p50, 99);
  EXPECT_DOUBLE_EQ(rows[1].channels[0].times.latency.max, 100);
}

TEST(StreamAccount, AnyNumbersKeepTheCountsWhole) {
  // Headers and times of any value, on channel numbers in and out of range,
  // in any order: under the sanitizers nothing overflows, and every
  // channel's counts hold.
  std::mt19937_64 random(27);
  StreamAccount account(kT0);
  constexpr int kChannels = 20;
  std::vector<int64_t> valid(kChannels);
  auto any = [&]() {
    switch (random() % 4) {
      case 0:
        return static_cast<int64_t>(random());
      case 1:
        return static_cast<int64_t>(random() % 8);
      case 2:
        return kMax - static_cast<int64_t>(random() % 4);
      default:
        return kMin + static_cast<int64_t>(random() % 4);
    }
  };
  int64_t now = kT0;
  for (int i = 0; i < 30'000; ++i) {
    StreamArrival a;
    a.channel = static_cast<int>(random() % (kChannels + 4)) - 4;
    a.valid = random() % 8 != 0;
    a.header = {any() % 100, any() % 3, any(), any()};
    a.recv_utime = any();
    a.handler_utime = any();
    if (i % 300 == 0) now += static_cast<int64_t>(random() % 200);
    if (random() % 2 == 0) account.on_witnessed(a.channel, now);
    account.on_message(a, now);
    if (a.valid && a.channel >= 0 && a.channel < kChannels) {
      ++valid[static_cast<size_t>(a.channel)];
    }
    if (i % 100 == 0) account.advance(now);
  }
  account.finish(now);
  const StreamSummary s = account.summary();
  EXPECT_EQ(s.channels.size(), static_cast<size_t>(kChannels));
  for (const StreamChannelFigures& c : s.channels) {
    SCOPED_TRACE(c.channel);
    EXPECT_EQ(c.counts.received, valid[static_cast<size_t>(c.channel)]);
    EXPECT_GE(c.counts.lost, 0);
    EXPECT_LE(c.counts.late + c.counts.duplicates, c.counts.received);
  }
}

}  // namespace
}  // namespace varnock::account
