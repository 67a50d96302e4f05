// stream_message_t: one message of the small sequenced stream on
// "VARNOCK_MSG_<k>" (messages/stream_message_t.lcm says what each field
// holds), its checkable payload, and the writer that publishers encode it
// with. Everything here is plain computation, safe from any thread on
// objects of its own.
#ifndef VARNOCK_MESSAGES_STREAM_MESSAGE_T_H_
#define VARNOCK_MESSAGES_STREAM_MESSAGE_T_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace varnock {

// The stream's channels are this prefix and a channel number from 0, below
// kMaxStreamChannels.
inline constexpr char kStreamChannelPrefix[] = "VARNOCK_MSG_";
inline constexpr int32_t kMaxStreamChannels = 256;

struct stream_message_t {
  static constexpr uint64_t fingerprint = 0x59E4E0D812BB5F27;
  // Four int64 fields and the payload's size.
  static constexpr int32_t kHeaderSize = 36;
  // The smallest message, fingerprint and header with an empty payload, and
  // the largest this stream sends or accepts.
  static constexpr int64_t kMinBytes = 8 + kHeaderSize;
  static constexpr int64_t kMaxBytes = 65536;

  int64_t publisher = 0;
  int64_t run_start_ns = 0;
  int64_t sequence = 0;
  int64_t send_time_ns = 0;
  // Bytes held elsewhere: the caller's when encoding; after decode, the
  // decoded input's, valid as long as it is.
  std::span<const uint8_t> payload;

  // Fingerprint, header and payload.
  int64_t encoded_size() const { return kMinBytes + static_cast<int64_t>(payload.size()); }

  // Writes the payload at buffer + offset; returns its size, or -1 when
  // `capacity` runs short before a field (the fields before it stay
  // written) or the message would exceed kMaxBytes.
  int32_t encode_payload(uint8_t* buffer, int32_t offset, int32_t capacity) const;

  // Reads `size` bytes that must be exactly one whole message of at most
  // kMaxBytes, fingerprint first, into *out, whose payload then views
  // `data`. False, with *why (when given) saying what is wrong and *out in
  // an unspecified state, for anything else. The payload's content is not
  // looked at: stream_payload_problem does that.
  static bool decode(const uint8_t* data, int64_t size, stream_message_t* out,
                     const char** why = nullptr);
};

// Writes the payload of message `sequence` of `publisher` into `out`:
// byte i is a function of the two and of i (stream_message_t.lcm tells
// which), so that a receiver can check every byte.
void fill_stream_payload(int64_t publisher, int64_t sequence, std::span<uint8_t> out);

// "" when `payload` is what fill_stream_payload writes for `publisher` and
// `sequence` at its size; otherwise which byte first differs, its value and
// the value expected.
std::string stream_payload_problem(int64_t publisher, int64_t sequence,
                                   std::span<const uint8_t> payload);

// The messages of one publisher run, `bytes` each, encoded in one buffer of
// which each message rewrites only what changed (its sequence, its send
// time, and the payload when the sequence differs from the last one's).
class StreamMessageWriter {
 public:
  // `bytes` is held to kMinBytes..kMaxBytes.
  StreamMessageWriter(int64_t publisher, int64_t run_start_ns, int64_t bytes);

  // The whole encoded message; valid until the next call.
  std::span<const uint8_t> message(int64_t sequence, int64_t send_time_ns);

 private:
  std::vector<uint8_t> buffer_;
  int64_t publisher_;
  int64_t payload_sequence_ = 0;
  bool payload_drawn_ = false;
};

}  // namespace varnock

#endif  // VARNOCK_MESSAGES_STREAM_MESSAGE_T_H_
