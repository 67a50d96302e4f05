// Calendar seconds of times in milliseconds since 1970.
#ifndef VARNOCK_BASE_CALENDAR_H_
#define VARNOCK_BASE_CALENDAR_H_

#include <cstdint>

namespace varnock {

// The calendar second holding `ms`, rounding down before 1970 too.
constexpr int64_t second_of(int64_t ms) { return ms / 1000 - (ms % 1000 < 0 ? 1 : 0); }

}  // namespace varnock

#endif  // VARNOCK_BASE_CALENDAR_H_
