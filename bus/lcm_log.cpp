#include "bus/lcm_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace varnock::bus {
namespace {

constexpr int64_t kBufferBytes = int64_t{128} * 1024;
// A scan reads this much at a time, and the rest of a header beyond it.
constexpr int64_t kScanBytes = kBufferBytes - kLogHeaderBytes;

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

int64_t be64(const uint8_t* p) {
  return static_cast<int64_t>((uint64_t{be32(p)} << 32) | uint64_t{be32(p + 4)});
}

// The file through a window of kBufferBytes, refilled where a read falls
// outside it, so that headers of small events cost no system call each.
class Reader {
 public:
  Reader(std::istream& in, int64_t size, const std::function<bool()>& stopped)
      : in_(in), size_(size), stopped_(stopped), buffer_(kBufferBytes) {}

  // Points *out at up to `n` (at most kBufferBytes) bytes at `pos`; returns
  // how many there are (fewer at the end of the file), or -1 when stopped.
  int64_t read(int64_t pos, int64_t n, const uint8_t** out) {
    n = std::min(n, size_ - pos);
    if (n <= 0) return 0;
    if (pos < start_ || pos + n > start_ + length_) {
      if (stopped_ && stopped_()) return -1;
      in_.clear();
      in_.seekg(pos);
      in_.read(reinterpret_cast<char*>(buffer_.data()), std::min(kBufferBytes, size_ - pos));
      start_ = pos;
      length_ = in_.gcount();
      // A read error ends the file where it happened.
      if (length_ < n) size_ = pos + length_;
      n = std::min(n, length_);
    }
    *out = buffer_.data() + (pos - start_);
    return n;
  }

 private:
  std::istream& in_;
  int64_t size_;
  const std::function<bool()>& stopped_;
  std::vector<uint8_t> buffer_;
  int64_t start_ = 0;
  int64_t length_ = 0;
};

struct Header {
  int64_t number;
  int64_t timestamp_us;
  int32_t channel_bytes;
  int32_t data_bytes;
};

Header parse_header(const uint8_t* h) {
  return {be64(h + 4), be64(h + 12), static_cast<int32_t>(be32(h + 20)),
          static_cast<int32_t>(be32(h + 24))};
}

// What is wrong with a header LCM would read, "" when nothing.
std::string header_problem(const Header& h) {
  char why[160];
  if (h.channel_bytes < 1 || h.channel_bytes > kLogMaxChannelBytes) {
    std::snprintf(why, sizeof why,
                  "an event header names a channel of %d bytes (LCM takes 1 to %d)",
                  static_cast<int>(h.channel_bytes), static_cast<int>(kLogMaxChannelBytes));
    return why;
  }
  if (h.data_bytes < 0 || h.data_bytes > kLogMaxDataBytes) {
    std::snprintf(why, sizeof why,
                  "an event header claims %d bytes of data (LCM carries 0 to %lld)",
                  static_cast<int>(h.data_bytes), static_cast<long long>(kLogMaxDataBytes));
    return why;
  }
  return "";
}

// The first plausible event header from `from` on: the sync word, lengths
// LCM takes, and an event that fits in the file. -1 when there is none, -2
// when stopped.
int64_t find_header(Reader& reader, int64_t from, int64_t size) {
  for (int64_t pos = from; pos < size; pos += kScanBytes) {
    const uint8_t* chunk = nullptr;
    const int64_t n = reader.read(pos, kBufferBytes, &chunk);
    if (n < 0) return -2;
    const int64_t starts = std::min(n, kScanBytes);
    for (int64_t i = 0; i < starts; ++i) {
      const void* hit = std::memchr(chunk + i, 0xED, static_cast<size_t>(starts - i));
      if (hit == nullptr) break;
      i = static_cast<const uint8_t*>(hit) - chunk;
      if (n - i < kLogHeaderBytes || be32(chunk + i) != kLogSyncWord) continue;
      const Header h = parse_header(chunk + i);
      if (!header_problem(h).empty()) continue;
      if (pos + i + kLogHeaderBytes + h.channel_bytes + h.data_bytes <= size) return pos + i;
    }
    if (n < kBufferBytes) break;
  }
  return -1;
}

}  // namespace

LogWalk walk_lcm_log(std::istream& in, const std::function<bool()>& stopped) {
  LogWalk walk;
  in.seekg(0, std::ios::end);
  walk.size = std::max<int64_t>(static_cast<int64_t>(in.tellg()), 0);
  Reader reader(in, walk.size, stopped);

  // An event is whole once read, and delivered once what follows it is
  // known: LCM drops an event that is followed by four bytes other than the
  // sync word.
  std::optional<LogEvent> pending;
  std::optional<LogEvent> before_pending;
  int64_t pos = 0;
  const auto deliver_pending = [&] {
    if (!pending) return;
    before_pending = walk.last;
    walk.last = pending;
    ++walk.events;
  };
  const auto stop = [&](LogEnd end, std::string why) {
    walk.end = end;
    walk.at = pos;
    walk.why = std::move(why);
    walk.read_to = pos;
    return walk;
  };
  const auto damaged = [&](std::string why) {
    stop(LogEnd::kDamaged, std::move(why));
    if (walk.whole_event_unread) walk.read_to = pending->offset;
    walk.next_header = find_header(reader, pos + 1, walk.size);
    if (walk.next_header == -2) {
      walk.next_header = -1;
      walk.end = LogEnd::kStopped;
    }
    return walk;
  };

  for (;;) {
    const uint8_t* h = nullptr;
    const int64_t n = reader.read(pos, kLogHeaderBytes, &h);
    if (n < 0) return stop(LogEnd::kStopped, "");
    if (n == 0) {
      deliver_pending();
      // A file that shrank since its length was read ends here.
      if (pos < walk.size) return stop(LogEnd::kCutShort, "the file ends inside an event");
      return stop(LogEnd::kWhole, "");
    }
    if (n < 4) {
      // LCM reads no sync word from fewer than four bytes: the event
      // before them stands.
      deliver_pending();
      return stop(LogEnd::kCutShort, "the file ends inside an event header");
    }
    if (const uint32_t word = be32(h); word != kLogSyncWord) {
      char why[120];
      std::snprintf(why, sizeof why,
                    "no event header there (sync word 0x%08X expected, 0x%08X found)", kLogSyncWord,
                    word);
      walk.whole_event_unread = pending.has_value();
      return damaged(why);
    }
    deliver_pending();
    if (n < kLogHeaderBytes) return stop(LogEnd::kCutShort, "the file ends inside an event header");
    const Header header = parse_header(h);
    if (std::string why = header_problem(header); !why.empty()) {
      if (header.data_bytes > kLogMaxDataBytes && walk.last) {
        // LCM reads this header while it delivers the event before: that
        // event is kept from it.
        pending = walk.last;
        walk.last = before_pending;
        --walk.events;
        walk.whole_event_unread = true;
      }
      return damaged(std::move(why));
    }
    // Both lengths are at most 2^31, so the sum cannot overflow.
    const int64_t end = pos + kLogHeaderBytes + header.channel_bytes + header.data_bytes;
    if (end > walk.size) {
      char why[120];
      std::snprintf(why, sizeof why, "the file ends inside an event of %lld bytes",
                    static_cast<long long>(end - pos));
      return stop(LogEnd::kCutShort, why);
    }
    pending = LogEvent{header.number, header.timestamp_us, pos};
    pos = end;
  }
}

}  // namespace varnock::bus
