// An independent reading of published messages: checks every byte against
// what the publisher must send, without using the encoders under test.
#ifndef VARNOCK_TESTS_SUPPORT_WIRE_CHECK_H_
#define VARNOCK_TESTS_SUPPORT_WIRE_CHECK_H_

#include <cstdint>
#include <span>
#include <string>

#include "messages/tfimage_t.h"

namespace varnock::testing {

// Empty when `bytes` is a status record as the publisher sends it; the
// record's second goes to *timestamp. Otherwise says what is wrong.
std::string check_status(std::span<const uint8_t> bytes, int64_t* timestamp);

// Empty when `bytes` is a test-pattern frame of `period` as the publisher
// sends it, `width` x `height` pixels (varnock's by default);
// its milliseconds go to *timestamp_ms. Otherwise says what is wrong.
std::string check_frame(std::span<const uint8_t> bytes, int32_t period, int64_t* timestamp_ms,
                        int32_t width = kFrameWidth, int32_t height = kFrameHeight);

// The period of a frame of `pixels` pixels read from its pixels: the index
// of the second lit byte, or -1 when only byte 0 is lit or the frame is not
// 40 + `pixels` bytes.
int32_t frame_period(std::span<const uint8_t> bytes, int64_t pixels = kFramePixels);

}  // namespace varnock::testing

#endif  // VARNOCK_TESTS_SUPPORT_WIRE_CHECK_H_
