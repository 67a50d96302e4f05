// What varnock-pace writes on standard output: lines for people, or, with
// --json, one JSON object a line whose "type" is start, second or summary.
#ifndef VARNOCK_PACE_REPORT_H_
#define VARNOCK_PACE_REPORT_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "pattern/frames.h"

namespace varnock::pace {

enum class Format { kText, kJson };

struct StartFacts {
  FrameSize size;
  int64_t message_bytes = 0;  // a frame's or, with --messages, a message's bytes on the wire
  double rate_hz = 0;         // 0: as fast as possible
  int64_t seconds = 0;        // 0: until a key or a signal
  std::string url;
  int32_t channels = 0;  // with --messages, how many; 0 for frames
};

// Text: "varnock-pace: W x H frames (N bytes a message) at R Hz on URL", or
// with channels "varnock-pace: N-byte messages on VARNOCK_MSG_0 (to
// VARNOCK_MSG_<K-1>, K channels) at R Hz on URL". JSON:
// {"type":"start","version","url","width","height" (frames) or "channels"
// (messages),"message_bytes","rate_hz" (null for as fast as possible),
// "seconds" (null: unlimited)}.
std::string start_line(Format format, const StartFacts& facts);

// `cycles` started over `elapsed_ns` up to `second`, while the host dropped
// `send_drops` datagrams it was given to send (-1: unknown) and, with
// --messages, LCM took `messages_sent` (-1 for frames: left out). Text:
// "<second> rate: requested <R> achieved <A>, messages sent <M>, send drops
// <D>", R as given or "max", the drops left out when unknown. JSON:
// {"type":"second","second","cycles","messages_sent","achieved_hz",
// "send_drops" (null: unknown)}. A has one decimal, 0.0 when no time passed.
std::string second_line(Format format, int64_t second, double requested_hz, int64_t cycles,
                        int64_t elapsed_ns, int64_t send_drops, int64_t messages_sent);

// The whole run. Text: "total: <C> cycles in <S> s: requested <R> achieved
// <A>, messages sent <M>, send drops <D>". JSON: {"type":"summary","cycles",
// "messages_sent","seconds","rate_hz" (null for as fast as possible),
// "achieved_hz","send_drops"}. S has three decimals, A one; the messages and
// drops as in second_line.
std::string summary_line(Format format, double requested_hz, int64_t cycles, int64_t elapsed_ns,
                         int64_t send_drops, int64_t messages_sent);

}  // namespace varnock::pace

#endif  // VARNOCK_PACE_REPORT_H_
