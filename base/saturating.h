// Arithmetic on numbers from the network, which may hold any value: results
// stop at the limits of int64_t instead of overflowing.
#ifndef VARNOCK_BASE_SATURATING_H_
#define VARNOCK_BASE_SATURATING_H_

#include <cstdint>
#include <limits>

namespace varnock {

inline int64_t saturating_sub(int64_t a, int64_t b) {
  int64_t r = 0;
  if (!__builtin_sub_overflow(a, b, &r)) return r;
  return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

inline int64_t saturating_add(int64_t a, int64_t b) {
  int64_t r = 0;
  if (!__builtin_add_overflow(a, b, &r)) return r;
  return b < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
}

inline int64_t saturating_mul(int64_t a, int64_t b) {
  int64_t r = 0;
  if (!__builtin_mul_overflow(a, b, &r)) return r;
  return (a < 0) != (b < 0) ? std::numeric_limits<int64_t>::min()
                            : std::numeric_limits<int64_t>::max();
}

}  // namespace varnock

#endif  // VARNOCK_BASE_SATURATING_H_
