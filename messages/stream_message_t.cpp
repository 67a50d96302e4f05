#include "messages/stream_message_t.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "messages/encoding.h"

namespace varnock {
namespace {

// splitmix64's finaliser: every input bit moves about half the output bits,
// so that neighbouring words, sequences and publishers look unrelated.
constexpr uint64_t mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
  return z ^ (z >> 31);
}

// Words far apart for consecutive sequences, so that no message's words
// are another's of the same publisher (a payload holds at most 8,187).
constexpr uint64_t payload_base(int64_t publisher, int64_t sequence) {
  return mix(static_cast<uint64_t>(publisher)) +
         static_cast<uint64_t>(sequence) * 0x9E3779B97F4A7C15;
}

void store_little_endian(uint8_t* out, uint64_t word, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(word >> (8 * i));
}

int64_t load_big_endian(const uint8_t* in, int width) {
  uint64_t bits = 0;
  for (int i = 0; i < width; ++i) bits = (bits << 8) | in[i];
  return static_cast<int64_t>(bits);
}

bool fail(const char** why, const char* what) {
  if (why != nullptr) *why = what;
  return false;
}

}  // namespace

int32_t stream_message_t::encode_payload(uint8_t* buffer, int32_t offset, int32_t capacity) const {
  if (encoded_size() > kMaxBytes) return -1;
  PayloadWriter w(buffer + offset, capacity);
  const auto size = static_cast<int32_t>(payload.size());
  const bool ok = w.put_i64(publisher) && w.put_i64(run_start_ns) && w.put_i64(sequence) &&
                  w.put_i64(send_time_ns) && w.put_i32(size) && w.put_bytes(payload.data(), size);
  return ok ? w.written() : -1;
}

bool stream_message_t::decode(const uint8_t* data, int64_t size, stream_message_t* out,
                              const char** why) {
  if (size > kMaxBytes) return fail(why, "more than 65536 bytes");
  if (size < 8) return fail(why, "too short for a fingerprint");
  if (static_cast<uint64_t>(load_big_endian(data, 8)) != fingerprint) {
    return fail(why, "another type's fingerprint");
  }
  if (size < kMinBytes) return fail(why, "too short for the header");
  const uint8_t* field = data + 8;
  out->publisher = load_big_endian(field, 8);
  out->run_start_ns = load_big_endian(field + 8, 8);
  out->sequence = load_big_endian(field + 16, 8);
  out->send_time_ns = load_big_endian(field + 24, 8);
  const int64_t payload_size = static_cast<int32_t>(load_big_endian(field + 32, 4));
  const int64_t remaining = size - kMinBytes;
  if (payload_size < 0) return fail(why, "a negative payload size");
  if (payload_size > remaining) return fail(why, "the payload runs past the end");
  if (payload_size < remaining) return fail(why, "bytes past the message's end");
  out->payload = {data + kMinBytes, static_cast<size_t>(payload_size)};
  return true;
}

void fill_stream_payload(int64_t publisher, int64_t sequence, std::span<uint8_t> out) {
  const uint64_t base = payload_base(publisher, sequence);
  const size_t whole = out.size() / 8;
  for (size_t j = 0; j < whole; ++j) store_little_endian(out.data() + 8 * j, mix(base + j), 8);
  store_little_endian(out.data() + 8 * whole, mix(base + whole), out.size() % 8);
}

std::string stream_payload_problem(int64_t publisher, int64_t sequence,
                                   std::span<const uint8_t> payload) {
  const uint64_t base = payload_base(publisher, sequence);
  for (size_t at = 0; at < payload.size(); at += 8) {
    const size_t n = std::min<size_t>(8, payload.size() - at);
    uint8_t expected[8];
    store_little_endian(expected, mix(base + at / 8), n);
    if (std::memcmp(payload.data() + at, expected, n) == 0) continue;
    size_t i = 0;
    while (payload[at + i] == expected[i]) ++i;
    char text[96];
    std::snprintf(text, sizeof text, "payload byte %zu of %zu is 0x%02X, expected 0x%02X", at + i,
                  payload.size(), payload[at + i], expected[i]);
    return text;
  }
  return "";
}

StreamMessageWriter::StreamMessageWriter(int64_t publisher, int64_t run_start_ns, int64_t bytes)
    : buffer_(static_cast<size_t>(
          std::clamp(bytes, stream_message_t::kMinBytes, stream_message_t::kMaxBytes))),
      publisher_(publisher) {
  // The fields that stay, written once; the payload is drawn by the first
  // message.
  store_big_endian<8>(buffer_.data(), stream_message_t::fingerprint);
  PayloadWriter w(buffer_.data() + 8, stream_message_t::kHeaderSize);
  w.put_i64(publisher);
  w.put_i64(run_start_ns);
  w.put_i64(0);
  w.put_i64(0);
  w.put_i32(static_cast<int32_t>(std::ssize(buffer_) - stream_message_t::kMinBytes));
}

std::span<const uint8_t> StreamMessageWriter::message(int64_t sequence, int64_t send_time_ns) {
  store_big_endian<8>(buffer_.data() + 24, static_cast<uint64_t>(sequence));
  store_big_endian<8>(buffer_.data() + 32, static_cast<uint64_t>(send_time_ns));
  if (!payload_drawn_ || payload_sequence_ != sequence) {
    fill_stream_payload(publisher_, sequence,
                        std::span(buffer_).subspan(stream_message_t::kMinBytes));
    payload_sequence_ = sequence;
    payload_drawn_ = true;
  }
  return buffer_;
}

}  // namespace varnock
