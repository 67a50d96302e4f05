// The streams' rows joined to the Account's by second: held until the
// Account's row of their second is written, folded when several go together
// or too many wait.
#include "account/stream_join.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace varnock::account {
namespace {

// A stream row of `second` whose channels each received `received`, with
// a latency p99 of `p99` ms (NaN: no sample).
StreamSecond stream_row(int64_t second, const std::vector<int>& channels, int64_t received,
                        double p99 = 1.0) {
  StreamSecond r;
  r.second = second;
  for (int k : channels) {
    StreamChannelFigures f;
    f.channel = k;
    f.counts.received = received;
    f.counts.lost = 1;
    f.times.latency.p99 = p99;
    f.times.latency.max = p99;
    r.channels.push_back(f);
  }
  return r;
}

SecondReport account_row(int64_t second) {
  SecondReport r;
  r.second = second;
  return r;
}

TEST(StreamJoin, RowsJoinByTheirSecondOrTheNextWritten) {
  struct Case {
    const char* name;
    std::vector<StreamSecond> held;
    std::vector<int64_t> account_seconds;  // rows written, the last with `last`
    // For each row written: its channels and channel 0's received, lost.
    std::vector<std::vector<int>> channels;
    std::vector<int64_t> received;
    std::vector<int64_t> lost;
  };
  const Case cases[] = {
      {"each its own second",
       {stream_row(10, {0, 2}, 5), stream_row(11, {0}, 6)},
       {10, 11},
       {{0, 2}, {0}},
       {5, 6},
       {1, 1}},
      {"the Account's row later than the stream's: held till it comes",
       {stream_row(10, {0}, 5), stream_row(11, {0}, 6), stream_row(12, {0}, 7)},
       {9, 10, 11, 12},
       {{}, {0}, {0}, {0}},
       {0, 5, 6, 7},
       {0, 1, 1, 1}},
      {"a second without an Account row goes with the next",
       {stream_row(10, {0}, 5), stream_row(11, {1}, 6), stream_row(12, {0}, 7)},
       {10, 12},
       {{0}, {0, 1}},
       {5, 7},
       {1, 1}},
      {"stream rows past the Account's last go with it",
       {stream_row(10, {0}, 5), stream_row(11, {0}, 6)},
       {10},
       {{0}},
       {11},
       {2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StreamJoin join;
    join.hold(c.held);
    for (size_t i = 0; i < c.account_seconds.size(); ++i) {
      SCOPED_TRACE(c.account_seconds[i]);
      SecondReport r = account_row(c.account_seconds[i]);
      join.join(r, i + 1 == c.account_seconds.size());
      std::vector<int> channels;
      for (const StreamChannelFigures& f : r.messages) channels.push_back(f.channel);
      EXPECT_EQ(channels, c.channels[i]);
      const int64_t received = r.messages.empty() ? 0 : r.messages[0].counts.received;
      const int64_t lost = r.messages.empty() ? 0 : r.messages[0].counts.lost;
      EXPECT_EQ(received, c.received[i]);
      EXPECT_EQ(lost, c.lost[i]);
    }
    EXPECT_EQ(join.held(), 0u);
  }
}

// Folded rows add their counts; their times are the newest that has any.
TEST(StreamJoin, FoldedTimesAreTheNewestKnown) {
  StreamJoin join;
  join.hold({stream_row(10, {0}, 5, 3.0), stream_row(11, {0}, 6, 4.0),
             stream_row(12, {0}, 7, std::nan(""))});
  SecondReport r = account_row(12);
  join.join(r);
  ASSERT_EQ(r.messages.size(), 1u);
  EXPECT_EQ(r.messages[0].counts.received, 18);
  EXPECT_EQ(r.messages[0].counts.lost, 3);
  EXPECT_EQ(r.messages[0].times.latency.p99, 4.0);
}

// However long the Account's rows wait, the held rows stay bounded and
// nothing counted is lost.
TEST(StreamJoin, HeldRowsAreBoundedWithoutLosingCounts) {
  StreamJoin join;
  for (int64_t s = 0; s < 1000; ++s) {
    join.hold({stream_row(s, {static_cast<int>(s % 3)}, 1)});
    EXPECT_LE(join.held(), StreamJoin::kMaxHeld);
  }
  SecondReport r = account_row(999);
  join.join(r);
  int64_t received = 0;
  for (const StreamChannelFigures& f : r.messages) received += f.counts.received;
  EXPECT_EQ(received, 1000);
  EXPECT_EQ(r.messages.size(), 3u);
}

}  // namespace
}  // namespace varnock::account
