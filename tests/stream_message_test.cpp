// stream_message_t's wire format held to the code lcm-gen makes from
// messages/stream_message_t.lcm, at the smallest, a middle and the largest
// size; what decode refuses; and the payload a receiver checks.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "messages/encoding.h"
#include "messages/stream_message_t.h"
#include "tests/support/bus_capture.h"
#include "varnock_stream_message_t.h"

namespace varnock {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

struct Fields {
  int64_t publisher;
  int64_t run_start_ns;
  int64_t sequence;
  int64_t send_time_ns;
  int64_t bytes;  // the whole message
};

// The smallest message, a middle one and the largest, with extreme and
// distinct field values, so that swapped or shortened fields show.
const Fields kCases[] = {
    {0x0102'0304'0506'0708, 1'700'000'000'123'456'789, 0, 1'700'000'001'000'000'007, 44},
    {-2, kMin, 41, kMax, 45},
    {kMax, 1, kMax, -1, 52},
    {0x7A3C'0000'1111'2222, 1'800'000'000'000'000'000, 123'456, 1'800'000'000'000'000'001, 200},
    {kMin, 0, kMin, 0, 65536},
};

Bytes lcm_encoded(const Fields& f, const Bytes& payload) {
  varnock_stream_message_t c{};
  c.publisher = f.publisher;
  c.run_start_ns = f.run_start_ns;
  c.sequence = f.sequence;
  c.send_time_ns = f.send_time_ns;
  c.payload_size = static_cast<int32_t>(payload.size());
  c.payload = const_cast<uint8_t*>(payload.data());
  Bytes b(static_cast<size_t>(varnock_stream_message_t_encoded_size(&c)));
  EXPECT_EQ(varnock_stream_message_t_encode(b.data(), 0, static_cast<int>(b.size()), &c),
            static_cast<int>(b.size()));
  return b;
}

Bytes payload_of(const Fields& f) {
  Bytes p(static_cast<size_t>(f.bytes - stream_message_t::kMinBytes));
  fill_stream_payload(f.publisher, f.sequence, p);
  return p;
}

void expect_fields(const stream_message_t& m, const Fields& f, const Bytes& payload) {
  EXPECT_EQ(m.publisher, f.publisher);
  EXPECT_EQ(m.run_start_ns, f.run_start_ns);
  EXPECT_EQ(m.sequence, f.sequence);
  EXPECT_EQ(m.send_time_ns, f.send_time_ns);
  EXPECT_EQ(Bytes(m.payload.begin(), m.payload.end()), payload);
}

TEST(StreamMessage, FingerprintAndSmallestSizeAreLcmGens) {
  EXPECT_EQ(stream_message_t::fingerprint,
            static_cast<uint64_t>(__varnock_stream_message_t_get_hash()));
  varnock_stream_message_t empty{};
  EXPECT_EQ(varnock_stream_message_t_encoded_size(&empty), stream_message_t::kMinBytes);
}

// The writer's messages, publish_message's, and lcm-gen's are the same
// bytes, and each side decodes the other's.
TEST(StreamMessage, OurBytesAreLcmGensBothWays) {
  for (const Fields& f : kCases) {
    SCOPED_TRACE(std::to_string(f.bytes) + " bytes, sequence " + std::to_string(f.sequence));
    const Bytes payload = payload_of(f);
    const Bytes theirs = lcm_encoded(f, payload);
    ASSERT_EQ(std::ssize(theirs), f.bytes);

    StreamMessageWriter writer(f.publisher, f.run_start_ns, f.bytes);
    const auto written = writer.message(f.sequence, f.send_time_ns);
    EXPECT_EQ(Bytes(written.begin(), written.end()), theirs);

    stream_message_t m;
    m.publisher = f.publisher;
    m.run_start_ns = f.run_start_ns;
    m.sequence = f.sequence;
    m.send_time_ns = f.send_time_ns;
    m.payload = payload;
    EXPECT_EQ(m.encoded_size(), f.bytes);
    testing::BusCapture capture;
    ASSERT_EQ(publish_message(capture.bus(), "VARNOCK_MSG_0", m), 0);
    capture.drain();
    ASSERT_EQ(capture.messages().size(), 1u);
    EXPECT_EQ(capture.messages()[0].bytes, theirs);

    varnock_stream_message_t c{};
    ASSERT_EQ(
        varnock_stream_message_t_decode(written.data(), 0, static_cast<int>(written.size()), &c),
        static_cast<int>(written.size()));
    EXPECT_EQ(c.publisher, f.publisher);
    EXPECT_EQ(c.run_start_ns, f.run_start_ns);
    EXPECT_EQ(c.sequence, f.sequence);
    EXPECT_EQ(c.send_time_ns, f.send_time_ns);
    EXPECT_EQ(Bytes(c.payload, c.payload + c.payload_size), payload);
    varnock_stream_message_t_decode_cleanup(&c);

    stream_message_t back;
    const char* why = "";
    ASSERT_TRUE(stream_message_t::decode(theirs.data(), std::ssize(theirs), &back, &why)) << why;
    expect_fields(back, f, payload);
    EXPECT_EQ(back.payload.data(), theirs.data() + stream_message_t::kMinBytes);
    EXPECT_EQ(stream_payload_problem(back.publisher, back.sequence, back.payload), "");
  }
}

// One buffer serves the whole run: each message rewrites its sequence, send
// time and, for a new sequence, its payload, and nothing else.
TEST(StreamMessage, TheWriterRewritesWhatEachMessageChanges) {
  const Fields first = {77, 1'000, 5, 2'000, 300};
  StreamMessageWriter writer(first.publisher, first.run_start_ns, first.bytes);
  for (const auto& [sequence, time] :
       std::vector<std::pair<int64_t, int64_t>>{{5, 2'000}, {5, 2'001}, {6, 2'002}, {5, 3'000}}) {
    SCOPED_TRACE(sequence);
    Fields f = first;
    f.sequence = sequence;
    f.send_time_ns = time;
    const auto bytes = writer.message(sequence, time);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), lcm_encoded(f, payload_of(f)));
  }
  // Sizes outside the stream's are held to its bounds.
  EXPECT_EQ(StreamMessageWriter(1, 1, 0).message(0, 0).size(), 44u);
  EXPECT_EQ(StreamMessageWriter(1, 1, 43).message(0, 0).size(), 44u);
  EXPECT_EQ(StreamMessageWriter(1, 1, 65537).message(0, 0).size(), 65536u);
  stream_message_t too_big;
  const Bytes payload(65493);
  too_big.payload = payload;
  Bytes buffer(70'000);
  EXPECT_EQ(too_big.encode_payload(buffer.data(), 8, 70'000 - 8), -1);
}

TEST(StreamMessage, EncodePayloadNeedsRoomForEveryField) {
  const Fields f = kCases[3];
  const Bytes payload = payload_of(f);
  stream_message_t m;
  m.payload = payload;
  const auto size = static_cast<int32_t>(f.bytes - 8);
  Bytes buffer(static_cast<size_t>(size) + 8);
  EXPECT_EQ(m.encode_payload(buffer.data(), 8, size), size);
  for (const int32_t capacity : {0, 7, 8, 35, 36, size - 1}) {
    SCOPED_TRACE(capacity);
    EXPECT_EQ(m.encode_payload(buffer.data(), 8, capacity), -1);
  }
}

class StreamMessageRejects : public ::testing::Test {
 protected:
  void SetUp() override { good_ = lcm_encoded(kCases[3], payload_of(kCases[3])); }

  static void expect_rejected(const Bytes& b, const char* problem) {
    stream_message_t m;
    const char* why = "";
    EXPECT_FALSE(stream_message_t::decode(b.data(), std::ssize(b), &m, &why));
    EXPECT_NE(std::string(why).find(problem), std::string::npos) << why;
  }

  Bytes good_;
};

TEST_F(StreamMessageRejects, EveryTruncation) {
  for (size_t n = 0; n < good_.size(); ++n) {
    SCOPED_TRACE(n);
    expect_rejected(Bytes(good_.begin(), good_.begin() + static_cast<ptrdiff_t>(n)),
                    n < 8    ? "too short for a fingerprint"
                    : n < 44 ? "too short for the header"
                             : "runs past the end");
  }
  stream_message_t m;
  EXPECT_FALSE(stream_message_t::decode(nullptr, 0, &m));
}

TEST_F(StreamMessageRejects, AnotherFingerprint) {
  for (size_t i = 0; i < 8; ++i) {
    Bytes b = good_;
    b[i] ^= 0x01;
    expect_rejected(b, "another type's fingerprint");
  }
}

// The payload's size, at byte 40, against the bytes that follow it.
TEST_F(StreamMessageRejects, PayloadSizesThatDisagreeWithTheBytes) {
  const int64_t held = std::ssize(good_) - 44;
  struct Case {
    int64_t size;
    const char* problem;
  };
  const Case table[] = {
      {-1, "negative payload size"},
      {std::numeric_limits<int32_t>::min(), "negative payload size"},
      {held + 1, "runs past the end"},
      {std::numeric_limits<int32_t>::max(), "runs past the end"},
      {held - 1, "bytes past the message's end"},
      {0, "bytes past the message's end"},
  };
  for (const Case& c : table) {
    SCOPED_TRACE(c.size);
    Bytes b = good_;
    store_big_endian<4>(b.data() + 40, static_cast<uint64_t>(c.size));
    expect_rejected(b, c.problem);
  }
  Bytes trailing = good_;
  trailing.push_back(0);
  expect_rejected(trailing, "bytes past the message's end");
}

// A message LCM's type would allow but this stream never sends: its size
// field and its bytes agree, one byte over 64 KiB.
TEST_F(StreamMessageRejects, MoreThan64KiB) {
  Fields f = kCases[4];
  f.bytes = 65537;
  expect_rejected(lcm_encoded(f, payload_of(f)), "more than 65536 bytes");
  expect_rejected(Bytes(1 << 20, 0), "more than 65536 bytes");
}

// Bytes computed apart from the code under test, from the formula in
// stream_message_t.lcm (a receiver in another language writes from it).
TEST(StreamPayload, IsTheSchemasFunction) {
  Bytes a(20);
  fill_stream_payload(1, 0, a);
  EXPECT_EQ(a, Bytes({0x7D, 0x3A, 0x36, 0x0F, 0x09, 0x0E, 0xB4, 0x7A, 0x56, 0x89,
                      0xF3, 0x13, 0xD1, 0x17, 0xBF, 0xD9, 0xEB, 0xAE, 0x74, 0x29}));
  Bytes b(11);
  fill_stream_payload(-2, kMax, b);
  EXPECT_EQ(b, Bytes({0xD8, 0x79, 0x42, 0x98, 0x50, 0xF9, 0x9F, 0x84, 0x31, 0x63, 0xB2}));
  // A shorter payload is the start of a longer one.
  Bytes c(3);
  fill_stream_payload(1, 0, c);
  EXPECT_EQ(c, Bytes(a.begin(), a.begin() + 3));
}

TEST(StreamPayload, TheValidatorNamesTheFirstWrongByte) {
  const int64_t publisher = 0x5EED;
  const int64_t sequence = 1000;
  Bytes good(100);
  fill_stream_payload(publisher, sequence, good);
  EXPECT_EQ(stream_payload_problem(publisher, sequence, good), "");
  EXPECT_EQ(stream_payload_problem(publisher, sequence, {}), "");
  for (const size_t at : {size_t{0}, size_t{7}, size_t{8}, size_t{63}, size_t{99}}) {
    SCOPED_TRACE(at);
    Bytes b = good;
    b[at] ^= 0x40;
    const std::string problem = stream_payload_problem(publisher, sequence, b);
    char expected[96];
    std::snprintf(expected, sizeof expected, "payload byte %zu of 100 is 0x%02X, expected 0x%02X",
                  at, b[at], good[at]);
    EXPECT_EQ(problem, expected);
  }
  // Another message's payload, of this publisher or another, is wrong from
  // its first bytes on.
  for (const auto& [p, s] : std::vector<std::pair<int64_t, int64_t>>{
           {publisher, sequence - 1}, {publisher, sequence + 1}, {publisher + 1, sequence}}) {
    SCOPED_TRACE(std::to_string(p) + "/" + std::to_string(s));
    Bytes other(100);
    fill_stream_payload(p, s, other);
    const std::string problem = stream_payload_problem(publisher, sequence, other);
    EXPECT_TRUE(problem.starts_with("payload byte 0 ") || problem.starts_with("payload byte 1 "))
        << problem;
  }
  // Shifted by a byte, as a payload read one byte off would be.
  Bytes shifted(good.begin() + 1, good.end());
  shifted.push_back(0);
  EXPECT_NE(stream_payload_problem(publisher, sequence, shifted), "");
}

}  // namespace
}  // namespace varnock
