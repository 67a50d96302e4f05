// The walk of an LCM log against LCM's own reader: where the log is whole,
// cut short or damaged, the walk counts the events LCM delivers, except
// where it keeps LCM from a header LCM would take on trust.
#include "bus/lcm_log.h"

#include <gtest/gtest.h>
#include <lcm/eventlog.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace varnock::bus {
namespace {

using Bytes = std::vector<uint8_t>;

void put(Bytes* b, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) b->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A header as LCM writes it, numbered `number` and logged at `number` s.
Bytes header(int64_t number, int32_t channel_bytes, int32_t data_bytes) {
  Bytes b;
  put(&b, kLogSyncWord, 4);
  put(&b, static_cast<uint64_t>(number), 8);
  put(&b, static_cast<uint64_t>(number * 1'000'000), 8);
  put(&b, static_cast<uint32_t>(channel_bytes), 4);
  put(&b, static_cast<uint32_t>(data_bytes), 4);
  return b;
}

// An event on channel "CH" with `data_bytes` of 0x5A.
Bytes event(int64_t number, int32_t data_bytes = 10) {
  Bytes b = header(number, 2, data_bytes);
  b.push_back('C');
  b.push_back('H');
  b.insert(b.end(), static_cast<size_t>(data_bytes), 0x5A);
  return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes events(int64_t first, int count, int32_t data_bytes = 10) {
  Bytes b;
  for (int i = 0; i < count; ++i) b = b + event(first + i, data_bytes);
  return b;
}

Bytes filled(size_t n, uint8_t byte) { return Bytes(n, byte); }

Bytes cut(Bytes b, size_t drop) {
  b.resize(b.size() - drop);
  return b;
}

// The events LCM's reader delivers from the log at `path`.
int64_t lcm_reads(const std::string& path) {
  lcm_eventlog_t* log = lcm_eventlog_create(path.c_str(), "r");
  if (log == nullptr) return -1;
  int64_t n = 0;
  while (lcm_eventlog_event_t* e = lcm_eventlog_read_next_event(log)) {
    lcm_eventlog_free_event(e);
    ++n;
  }
  lcm_eventlog_destroy(log);
  return n;
}

TEST(LcmLog, WalksAsFarAsLcmReads) {
  constexpr int64_t kE = 40;  // bytes of event(n): a header, "CH" and 10 bytes
  struct Case {
    const char* name;
    Bytes log;
    LogEnd end;
    int64_t events;       // delivered
    int64_t last;         // the last delivered's number; -1: none
    int64_t at;           // where the walk ended or found damage
    int64_t read_to;      // where LCM stops reading
    int64_t next_header;  // after damage
    bool whole_event_unread;
    bool lcm_agrees;  // false where LCM would scan, or take a length on trust
  };
  const Case cases[] = {
      {"empty", {}, LogEnd::kWhole, 0, -1, 0, 0, -1, false, true},
      {"whole", events(0, 3), LogEnd::kWhole, 3, 2, 3 * kE, 3 * kE, -1, false, true},
      {"cut inside a sync word", events(0, 3) + filled(2, 0xED), LogEnd::kCutShort, 3, 2, 3 * kE,
       3 * kE, -1, false, true},
      {"cut inside a header", events(0, 3) + cut(header(3, 2, 10), 8), LogEnd::kCutShort, 3, 2,
       3 * kE, 3 * kE, -1, false, true},
      {"cut inside an event's data", events(0, 3) + cut(event(3), 4), LogEnd::kCutShort, 3, 2,
       3 * kE, 3 * kE, -1, false, true},
      {"cut inside an event claiming LCM's largest message",
       events(0, 1) + header(1, 2, kLogMaxDataBytes), LogEnd::kCutShort, 1, 0, kE, kE, -1, false,
       true},
      // LCM drops the event that damage follows.
      {"garbage between events", events(0, 2) + filled(8, 0x11) + events(2, 2), LogEnd::kDamaged, 1,
       0, 2 * kE, kE, 2 * kE + 8, true, true},
      {"zeros after the log", events(0, 3) + filled(1000, 0), LogEnd::kDamaged, 2, 1, 3 * kE,
       2 * kE, -1, true, true},
      {"a channel of no bytes", events(0, 2) + header(2, 0, 10) + events(3, 1), LogEnd::kDamaged, 2,
       1, 2 * kE, 2 * kE, 2 * kE + 28, false, true},
      {"a channel of 1000 bytes", events(0, 2) + header(2, 1000, 0) + filled(1000, 'c'),
       LogEnd::kDamaged, 2, 1, 2 * kE, 2 * kE, -1, false, true},
      {"data of a negative length", events(0, 2) + header(2, 2, -5), LogEnd::kDamaged, 2, 1, 2 * kE,
       2 * kE, -1, false, true},
      // LCM would allocate the length (2^31 - 1 crashes it); the event
      // before is kept from it.
      {"data longer than LCM carries", events(0, 2) + header(2, 2, INT32_MAX) + filled(100, 0),
       LogEnd::kDamaged, 1, 0, 2 * kE, kE, -1, true, false},
      // LCM would scan the whole file for a sync word.
      {"garbage before the first event", filled(300'000, 0) + events(0, 2), LogEnd::kDamaged, 0, -1,
       0, 0, 300'000, false, false},
      // Reads that cross the walk's buffer: small events, a large one,
      // damage far behind.
      {"many events, one large", events(0, 4000) + event(4000, 200'000) + events(4001, 10),
       LogEnd::kWhole, 4011, 4010, 4010 * kE + 200'030, 4010 * kE + 200'030, -1, false, true},
  };
  testing::TempDir dir("varnock-lcm-log");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.path("case.log");
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(c.log.data()),
                static_cast<std::streamsize>(c.log.size()));
    }
    std::ifstream in(path, std::ios::binary);
    const LogWalk walk = walk_lcm_log(in, [] { return false; });
    EXPECT_EQ(walk.end, c.end);
    EXPECT_EQ(walk.size, static_cast<int64_t>(c.log.size()));
    EXPECT_EQ(walk.events, c.events);
    EXPECT_EQ(walk.last ? walk.last->number : -1, c.last);
    if (walk.last) {
      EXPECT_EQ(walk.last->timestamp_us, c.last * 1'000'000);
    }
    if (c.end != LogEnd::kWhole) {
      EXPECT_EQ(walk.at, c.at);
    }
    EXPECT_EQ(walk.read_to, c.read_to);
    EXPECT_EQ(walk.next_header, c.next_header);
    EXPECT_EQ(walk.whole_event_unread, c.whole_event_unread);
    EXPECT_EQ(walk.why.empty(), c.end == LogEnd::kWhole);
    if (c.lcm_agrees) {
      EXPECT_EQ(lcm_reads(path), c.events);
    }
  }
}

TEST(LcmLog, StopsWhenTold) {
  const Bytes log = events(0, 3) + filled(1 << 20, 0);
  std::stringstream in(std::string(log.begin(), log.end()));
  int asked = 0;
  // Stopped while it looks past the damage for the next event.
  const LogWalk walk = walk_lcm_log(in, [&asked] { return ++asked > 2; });
  EXPECT_EQ(walk.end, LogEnd::kStopped);
}

}  // namespace
}  // namespace varnock::bus
