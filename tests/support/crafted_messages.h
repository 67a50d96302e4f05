// Messages exactly as the publishers send them, for tests to feed the
// account or to damage.
#ifndef VARNOCK_TESTS_SUPPORT_CRAFTED_MESSAGES_H_
#define VARNOCK_TESTS_SUPPORT_CRAFTED_MESSAGES_H_

#include <cstdint>
#include <vector>

#include "pattern/frames.h"

namespace varnock::testing {

using Bytes = std::vector<uint8_t>;

// A frame as varnock (or, of another size, varnock-pace) publishes it with
// pattern `period`, stamped `ms`.
Bytes frame(int32_t period, int64_t ms = 1'700'000'000'000, FrameSize size = {});

// A status record of calendar second `second`, fingerprint included.
Bytes status(int64_t second = 1'700'000'000);

}  // namespace varnock::testing

#endif  // VARNOCK_TESTS_SUPPORT_CRAFTED_MESSAGES_H_
