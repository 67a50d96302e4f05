// LCM's event log, walked as LCM's file reader (eventlog.c) reads it: events
// of a sync word, a 64-bit event number and timestamp, a 32-bit channel
// length and data length (all big-endian), the channel and the data. The walk
// reads headers alone and trusts no length, so that where LCM stops reading a
// damaged log is known before LCM is given it.
#ifndef VARNOCK_BUS_LCM_LOG_H_
#define VARNOCK_BUS_LCM_LOG_H_

#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <string>

namespace varnock::bus {

inline constexpr uint32_t kLogSyncWord = 0xEDA1DA01;
inline constexpr int64_t kLogHeaderBytes = 28;
// LCM's reader takes channel names of 1 to 999 bytes.
inline constexpr int32_t kLogMaxChannelBytes = 999;
// No LCM message is larger (LCM_MAX_MESSAGE_SIZE). LCM's reader allocates
// whatever length a header claims (and crashes at 2^31 - 1), so a header that
// claims more is damage that LCM must never be let read.
inline constexpr int64_t kLogMaxDataBytes = int64_t{1} << 28;

enum class LogEnd {
  kWhole,     // the last event ends where the file does (or the file is empty)
  kCutShort,  // the file ends inside an event: a recording cut off mid-write
  kDamaged,   // where an event should begin, bytes that are not one
  kStopped,   // `stopped` said so
};

struct LogEvent {
  int64_t number = 0;        // as logged
  int64_t timestamp_us = 0;  // as logged: microseconds since 1970
  int64_t offset = 0;        // where its header begins
};

struct LogWalk {
  LogEnd end = LogEnd::kWhole;
  int64_t size = 0;              // the file's length when the walk began
  int64_t events = 0;            // the events LCM delivers, from the first on
  std::optional<LogEvent> last;  // the last of those
  int64_t read_to = 0;           // where the first event LCM does not deliver begins
  // kCutShort and kDamaged: where the cut or damaged event begins, and what
  // is wrong there.
  int64_t at = 0;
  std::string why;
  // kDamaged: the whole event just before `at` is not delivered either:
  // LCM drops an event that damage follows, and one followed by a header
  // that claims too much is kept from LCM.
  bool whole_event_unread = false;
  // kDamaged: the first plausible event header after `at`; -1 when none.
  int64_t next_header = -1;
};

// Walks the log `in` (opened binary) from its start, as far as LCM's reader
// would read it, and past damage to the next event header. Memory is bounded
// (a 128 KiB buffer) whatever the log holds. Calls `stopped` before each
// read from `in` and gives up with kStopped once it returns true.
LogWalk walk_lcm_log(std::istream& in, const std::function<bool()>& stopped);

}  // namespace varnock::bus

#endif  // VARNOCK_BUS_LCM_LOG_H_
