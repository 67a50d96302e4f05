// The small streams' account: tables of sequences per channel and publisher
// run, what LCM's queue discarded against a model of that queue, rows by
// second, and percentiles from known times.
#include "account/stream_account.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <random>
#include <vector>

namespace varnock::account {
namespace {

constexpr int64_t kT0 = 1'700'000'000'000;  // the account's start, ms; a second's start
constexpr int64_t kBefore = -10'000;        // a run begun 10 s before the account
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int kLcmQueue = 30;  // LCM's own queue capacity

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
    StreamAccount account(kT0, kLcmQueue);
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
  StreamAccount account(kT0, kLcmQueue);
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

// LCM's queue for one subscription, as lcm.c keeps it: a message arriving
// while `capacity` wait is discarded; the handler takes the oldest when it is
// free, and the message leaves the queue as its handler starts. Feeds the
// account what the handler got, and counts what the queue discarded.
struct QueueModel {
  int capacity;
  int64_t handler_us;          // each handler's time
  int64_t stall_from_us = -1;  // one handler, begun in [from, to), takes stall_us more
  int64_t stall_to_us = -1;
  int64_t stall_us = 0;

  struct Outcome {
    int64_t discarded = 0;
    int64_t dropped = 0;  // never reached LCM
    // Of those, ones that came while the queue was full: LCM would have
    // discarded them, and the account counts them as LCM's.
    int64_t dropped_while_full = 0;
    StreamSummary summary;
    std::vector<StreamSecond> rows;
  };

  // Messages 0..count-1 of channel 0, one each `period_us` from kT0; those
  // `before_lcm` says are lost before LCM.
  template <typename Lost>
  Outcome run(int64_t count, int64_t period_us, Lost before_lcm) const {
    Outcome out;
    StreamAccount account(kT0, capacity);
    std::deque<std::pair<int64_t, int64_t>> queue;  // (sequence, arrival µs)
    int64_t free_at_us = 0;
    bool stalled = false;
    auto dispatch_until = [&](int64_t until_us) {
      while (!queue.empty()) {
        const auto [seq, arrived] = queue.front();
        const int64_t start = std::max(free_at_us, arrived);
        if (start > until_us) return;
        queue.pop_front();
        const int64_t now_ms = start / 1000;
        for (StreamSecond& r : account.advance(now_ms)) out.rows.push_back(std::move(r));
        StreamArrival a = arrival({seq}, now_ms);
        a.recv_utime = arrived;
        a.handler_utime = start;
        a.header.send_time_ns = (arrived - 200) * 1000;
        account.on_message(a, now_ms);
        free_at_us = start + handler_us;
        if (!stalled && start >= stall_from_us && start < stall_to_us) {
          stalled = true;
          free_at_us += stall_us;
        }
      }
    };
    for (int64_t i = 0; i < count; ++i) {
      const int64_t at = kT0 * 1000 + i * period_us;
      // A handler starting at the very moment frees its place first.
      dispatch_until(at);
      if (before_lcm(i)) {
        ++out.dropped;
        if (std::ssize(queue) >= capacity) ++out.dropped_while_full;
      } else if (std::ssize(queue) >= capacity) {
        ++out.discarded;
      } else {
        queue.emplace_back(i, at);
      }
    }
    dispatch_until(kMax);
    for (StreamSecond& r : account.finish(free_at_us / 1000 + 1)) out.rows.push_back(std::move(r));
    out.summary = account.summary();
    return out;
  }
};

TEST(StreamAccount, WhatLcmsQueueDiscardedAgainstAModelOfIt) {
  // 1 kHz for 4 s; some cases drop message 500 n + drop_at before LCM
  // (away from the stall).
  struct Case {
    const char* name;
    QueueModel queue;
    int64_t drop_at;  // -1: none
    bool discards;    // the case must discard some
  };
  constexpr int64_t kStall = kT0 * 1000 + 1'200'000;
  const Case cases[] = {
      {"a queue of 1, a handler of 1.5 ms", {1, 1'500}, -1, true},
      {"a queue of 1, a handler of 2 ms, drops the queue would have discarded",
       {1, 2'000},
       7,
       true},
      {"a queue of 1, a handler of 2 ms, drops where it had room", {1, 2'000}, 8, true},
      {"LCM's 30, a fast handler stalled 100 ms",
       {30, 50, kStall, kStall + 1'000, 100'000},
       7,
       true},
      {"LCM's 30, a fast handler", {30, 50}, 7, false},
      {"a queue of 5, a handler of 1.1 ms", {5, 1'100}, -1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QueueModel::Outcome o = c.queue.run(4'000, 1'000, [&](int64_t i) {
      return c.drop_at >= 0 && i % 500 == c.drop_at && (i < 1000 || i > 1400);
    });
    EXPECT_EQ(o.discarded > 0, c.discards);
    ASSERT_EQ(o.summary.channels.size(), 1u);
    const StreamCounts& n = o.summary.channels[0].counts;
    // The last messages' loss is unseen: nothing came after them.
    const int64_t unseen = 4'000 - (n.received + n.lost);
    EXPECT_GE(unseen, 0);
    EXPECT_LE(unseen, c.queue.capacity + 1);
    EXPECT_EQ(n.lost + unseen, o.discarded + o.dropped);
    EXPECT_EQ(n.lost_in_lcm + unseen, o.discarded + o.dropped_while_full);
    // Rows add up to the summary, and place the loss in seconds.
    int64_t lost = 0;
    int64_t in_lcm = 0;
    for (const StreamSecond& r : o.rows) {
      for (const StreamChannelFigures& f : r.channels) {
        lost += f.counts.lost;
        in_lcm += f.counts.lost_in_lcm;
      }
    }
    EXPECT_EQ(lost, n.lost);
    EXPECT_EQ(in_lcm, n.lost_in_lcm);
  }
  // The stall's discards are all in the second it came in.
  const QueueModel::Outcome o = cases[3].queue.run(
      4'000, 1'000, [](int64_t i) { return i % 500 == 7 && (i < 1000 || i > 1400); });
  ASSERT_EQ(o.rows.size(), 4u);
  EXPECT_EQ(o.rows[1].channels.at(0).counts.lost_in_lcm, o.discarded);
  EXPECT_EQ(o.rows[0].channels.at(0).counts.lost, 2);  // 7 and 507, dropped before LCM
}

TEST(StreamAccount, RowsThroughSilenceAndAClockSteppedBack) {
  StreamAccount account(kT0, kLcmQueue);
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
  StreamAccount account(kT0, kLcmQueue);
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
  StreamAccount account(kT0, kLcmQueue);
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
