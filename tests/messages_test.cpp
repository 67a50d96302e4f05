// Wire format of both message types: golden bytes, the bounds rule of
// encode_payload, and publish_message.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "app/publisher.h"
#include "messages/encoding.h"
#include "messages/recstat_t.h"
#include "messages/tfimage_t.h"
#include "tests/support/bus_capture.h"

namespace varnock {
namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::ElementsAreArray;

// Every field distinct, with negative values, so that a swapped, shortened or
// wrongly signed field shows.
recstat_t distinct_status() {
  recstat_t r;
  r.timestamp = 0x0102030405060708;
  r.int_a = 0x11121314;
  r.real_a = 1.0;
  r.real_b = -2.5;
  r.real_c = 0.1;
  r.byte_a = 0x21;
  r.byte_b = -1;
  r.byte_c = 0x23;
  r.int_b = 0x31323334;
  r.int_c = -2;
  r.int_d = 0x51525354;
  r.int_e = 0x61626364;
  return r;
}

const Bytes kDistinctStatus = {
    0xC5, 0x88, 0x20, 0x5A, 0x3F, 0xCE, 0xD5, 0x97, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
    0x11, 0x12, 0x13, 0x14, 0x3F, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x04, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x3F, 0xB9, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9A, 0x21, 0xFF, 0x23, 0x31,
    0x32, 0x33, 0x34, 0xFF, 0xFF, 0xFF, 0xFE, 0x51, 0x52, 0x53, 0x54, 0x61, 0x62, 0x63, 0x64};

// The publisher's record for second 1,700,000,000.
const Bytes kPublishedStatus = {
    0xC5, 0x88, 0x20, 0x5A, 0x3F, 0xCE, 0xD5, 0x97, 0x00, 0x00, 0x00, 0x00, 0x65, 0x53, 0xF1, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x40, 0x34, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x3F, 0xE0, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x0A, 0x00,
    0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00};

tfimage_t small_frame() {
  tfimage_t f;
  f.timestamp = 1'700'000'000'123;
  f.width = 1280;
  f.height = 1280;
  f.int_b = 1;
  f.int_c = 1;
  f.size = 3;
  f.data = {0xFF, 0x00, 0x07};
  return f;
}

const Bytes kSmallFrame = {0xA3, 0x48, 0xF4, 0x25, 0x0C, 0x8B, 0x9C, 0xEF, 0x00, 0x00, 0x01,
                           0x8B, 0xCF, 0xE5, 0x68, 0x7B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                           0x05, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,
                           0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0xFF, 0x00, 0x07};

tfimage_t distinct_empty_frame() {
  tfimage_t f;
  f.timestamp = -2;
  f.int_a = 0x11121314;
  f.width = 0x21222324;
  f.height = -3;
  f.int_b = 0x41424344;
  f.int_c = 0x51525354;
  f.size = 0;
  return f;
}

const Bytes kDistinctEmptyFrame = {0xA3, 0x48, 0xF4, 0x25, 0x0C, 0x8B, 0x9C, 0xEF, 0xFF, 0xFF,
                                   0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0x11, 0x12, 0x13, 0x14,
                                   0x21, 0x22, 0x23, 0x24, 0xFF, 0xFF, 0xFF, 0xFD, 0x41, 0x42,
                                   0x43, 0x44, 0x51, 0x52, 0x53, 0x54, 0x00, 0x00, 0x00, 0x00};

// Publishes `message` on a memq bus and returns the bytes that arrived; a
// frame whose size matches its data goes in place.
template <typename Message>
std::vector<testing::Published> publish(Message message, int* result) {
  testing::BusCapture capture;
  *result = publish_message(capture.bus(), "CHANNEL", message);
  capture.drain();
  return capture.messages();
}

TEST(Golden, PublishMessageSendsFingerprintAndPayload) {
  struct Case {
    const char* name;
    std::function<std::vector<testing::Published>(int*)> publish;
    Bytes expected;
  };
  const Case cases[] = {
      {"distinct status", [](int* r) { return publish(distinct_status(), r); }, kDistinctStatus},
      {"publisher's status", [](int* r) { return publish(status_record(1'700'000'000), r); },
       kPublishedStatus},
      {"small frame", [](int* r) { return publish(small_frame(), r); }, kSmallFrame},
      {"frame of size 0", [](int* r) { return publish(distinct_empty_frame(), r); },
       kDistinctEmptyFrame},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int result = -2;
    const auto published = c.publish(&result);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].channel, "CHANNEL");
    EXPECT_THAT(published[0].bytes, ElementsAreArray(c.expected));
  }
}

TEST(Golden, FullSizeFrameHeader) {
  tfimage_t f = small_frame();
  f.size = 1280 * 1280;
  f.data.assign(static_cast<size_t>(f.size), 0);
  EXPECT_EQ(f.encoded_size(), 1'638'440);
  // What every program assumes of a frame it has not seen.
  EXPECT_EQ(kFrameWidth, 1280);
  EXPECT_EQ(kFrameHeight, 1280);
  EXPECT_EQ(kFramePixels, f.size);
  EXPECT_EQ(kFrameBytes, f.encoded_size());
  int result = -2;
  const auto published = publish(f, &result);
  ASSERT_EQ(published.size(), 1u);
  const Bytes& b = published[0].bytes;
  ASSERT_EQ(b.size(), 1'638'440u);
  EXPECT_THAT(Bytes(b.begin() + 20, b.begin() + 28),
              ElementsAreArray({0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x05, 0x00}));
  EXPECT_THAT(Bytes(b.begin() + 36, b.begin() + 40), ElementsAreArray({0x00, 0x19, 0x00, 0x00}));
}

// encode_payload into a guarded buffer: bytes before `offset` and past what
// the encoder reports written must keep their guard value.
struct BoundsCase {
  const char* name;
  std::function<int32_t(uint8_t*, int32_t, int32_t)> encode;
  const Bytes* golden;  // whole message; the payload starts at byte 8
  int32_t offset;
  int32_t capacity;
  int32_t expected_result;
  int32_t expected_written;  // payload bytes that must match the golden
};

int32_t encode_status(uint8_t* b, int32_t o, int32_t c) {
  return distinct_status().encode_payload(b, o, c);
}
int32_t encode_small(uint8_t* b, int32_t o, int32_t c) {
  return small_frame().encode_payload(b, o, c);
}
int32_t encode_empty(uint8_t* b, int32_t o, int32_t c) {
  return distinct_empty_frame().encode_payload(b, o, c);
}

TEST(EncodePayload, BoundsRule) {
  const BoundsCase cases[] = {
      {"status, exact capacity", encode_status, &kDistinctStatus, 8, 55, 55, 55},
      {"status, roomy capacity", encode_status, &kDistinctStatus, 3, 100, 55, 55},
      {"status, one short: int_e does not fit", encode_status, &kDistinctStatus, 8, 54, -1, 51},
      {"status, below the first field", encode_status, &kDistinctStatus, 8, 7, -1, 0},
      {"status, zero capacity", encode_status, &kDistinctStatus, 0, 0, -1, 0},
      {"status, negative capacity", encode_status, &kDistinctStatus, 8, -5, -1, 0},
      {"status, short inside the doubles", encode_status, &kDistinctStatus, 8, 19, -1, 12},
      {"frame, exact capacity", encode_small, &kSmallFrame, 8, 35, 35, 35},
      {"frame, one short: header written, pixels not", encode_small, &kSmallFrame, 8, 34, -1, 32},
      {"frame, header one short", encode_small, &kSmallFrame, 8, 31, -1, 28},
      {"frame, below the first field", encode_small, &kSmallFrame, 8, 7, -1, 0},
      {"frame of size 0, exact", encode_empty, &kDistinctEmptyFrame, 8, 32, 32, 32},
      {"frame of size 0, cannot fail on the array", encode_empty, &kDistinctEmptyFrame, 1, 32, 32,
       32},
  };
  constexpr uint8_t kGuard = 0xA5;
  for (const BoundsCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes buffer(200, kGuard);
    EXPECT_EQ(c.encode(buffer.data(), c.offset, c.capacity), c.expected_result);
    const auto payload = c.golden->begin() + 8;
    for (int32_t i = 0; i < static_cast<int32_t>(buffer.size()); ++i) {
      const int32_t at = i - c.offset;
      const uint8_t want = (at >= 0 && at < c.expected_written) ? payload[at] : kGuard;
      ASSERT_EQ(buffer[static_cast<size_t>(i)], want) << "buffer byte " << i;
    }
  }
}

// A frame whose `size` matches its data goes to the bus in place; one that
// holds more bytes than `size` is encoded into a buffer of its own.
TEST(Golden, FrameWithSizeShortOfItsDataPublishesSizeBytes) {
  tfimage_t f = small_frame();
  f.size = 2;
  Bytes expected(kSmallFrame.begin(), kSmallFrame.begin() + 42);
  expected[39] = 0x02;
  int result = -2;
  const auto published = publish(f, &result);
  EXPECT_EQ(result, 0);
  ASSERT_EQ(published.size(), 1u);
  EXPECT_THAT(published[0].bytes, ElementsAreArray(expected));
}

TEST(EncodedInPlace, SameBytesAsEncodePayloadAndPixelsUntouched) {
  tfimage_t f = small_frame();
  f.size = 1280 * 1280;
  f.data.assign(static_cast<size_t>(f.size), 0);
  for (size_t i = 0; i < f.data.size(); i += 61) f.data[i] = 255;
  const Bytes pixels(f.data.begin(), f.data.end());

  Bytes encoded(static_cast<size_t>(f.encoded_size()));
  store_big_endian<8>(encoded.data(), tfimage_t::fingerprint);
  ASSERT_EQ(f.encode_payload(encoded.data(), 8, static_cast<int32_t>(encoded.size() - 8)),
            f.size + 32);

  const std::span<const uint8_t> in_place = f.encoded_in_place();
  ASSERT_EQ(in_place.size(), encoded.size());
  EXPECT_TRUE(std::equal(in_place.begin(), in_place.end(), encoded.begin()));
  EXPECT_EQ(in_place.data() + 40, f.data.data()) << "the pixels were copied";
  EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), f.data.begin()));
}

// Encoding in place writes into the message: a const one is copied instead.
template <typename Message>
concept EncodesInPlace = requires(Message& m) {
  m.encoded_in_place();
};
static_assert(EncodesInPlace<tfimage_t>);
static_assert(!EncodesInPlace<const tfimage_t>);

TEST(EncodedInPlace, OnlyWhenSizeIsPositiveAndMatchesTheData) {
  tfimage_t f = small_frame();
  EXPECT_FALSE(f.encoded_in_place().empty());
  for (const int32_t size : {0, -1, 2, 4}) {
    f.size = size;
    EXPECT_TRUE(f.encoded_in_place().empty()) << "size " << size;
  }
}

TEST(HeadroomBytes, CopiesAreDeepAndStorageGrowsOnlyWhenTooSmall) {
  HeadroomBytes<40> a{1, 2, 3};
  HeadroomBytes<40> b = a;
  b[0] = 9;
  EXPECT_EQ(a[0], 1);
  EXPECT_EQ(b.size(), 3u);

  a.assign(1000, 7);
  const uint8_t* storage = a.data();
  a.assign(10, 8);
  EXPECT_EQ(a.data(), storage);
  EXPECT_EQ(a.size(), 10u);
  EXPECT_EQ(a[9], 8);
  a.release();
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(a.headroom(), nullptr);
}

// A moved-from container is empty and takes a copy like a new one.
TEST(HeadroomBytes, MovesLeaveTheSourceEmpty) {
  struct Case {
    const char* name;
    bool assign;  // move-assign into a holder of other bytes, else move-construct
  };
  for (const Case c : {Case{"move-construct", false}, Case{"move-assign", true}}) {
    SCOPED_TRACE(c.name);
    HeadroomBytes<40> a;
    a.assign(5000, 7);
    const uint8_t* storage = a.data();
    HeadroomBytes<40> b{1, 2};
    if (c.assign) {
      b = std::move(a);
    } else {
      HeadroomBytes<40> moved(std::move(a));
      b = std::move(moved);
    }
    EXPECT_EQ(b.size(), 5000u);
    EXPECT_EQ(b.data(), storage) << "the storage was not handed over";
    EXPECT_EQ(a.size(), 0u);  // NOLINT(bugprone-use-after-move): the state after a move
    EXPECT_EQ(a.data(), nullptr);
    EXPECT_EQ(a.headroom(), nullptr);

    a = b;  // copied back into the moved-from
    ASSERT_EQ(a.size(), 5000u);
    EXPECT_NE(a.data(), b.data());
    EXPECT_EQ(a[0], 7);
    EXPECT_EQ(a[4999], 7);
    a.assign(6000, 1);  // and grown
    EXPECT_EQ(a[5999], 1);
    EXPECT_EQ(b[4999], 7);
  }
}

TEST(EncodePayload, FrameWithSizePastItsDataIsRefused) {
  tfimage_t f = small_frame();
  f.size = 4;  // one more than data holds
  Bytes buffer(100, 0);
  EXPECT_EQ(f.encode_payload(buffer.data(), 0, 100), -1);

  int result = 0;
  EXPECT_TRUE(publish(f, &result).empty()) << "a frame that failed to encode reached the bus";
  EXPECT_EQ(result, -1);
}

TEST(EncodePayload, NegativeSizeWritesNoPixels) {
  tfimage_t f = distinct_empty_frame();
  f.size = -7;
  f.data = {1, 2, 3};
  EXPECT_EQ(f.encoded_size(), 40);
  Bytes buffer(40, 0xA5);
  EXPECT_EQ(f.encode_payload(buffer.data(), 0, 40), 32);
  EXPECT_EQ(buffer[32], 0xA5);
}

TEST(EncodedSize, LargestSizeDoesNotOverflow) {
  tfimage_t f;
  f.size = INT32_MAX;
  EXPECT_EQ(f.encoded_size(), int64_t{INT32_MAX} + 40);
  int result = 0;
  EXPECT_TRUE(publish(f, &result).empty());
  EXPECT_EQ(result, -1);
}

}  // namespace
}  // namespace varnock
