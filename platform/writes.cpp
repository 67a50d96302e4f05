#include "platform/writes.h"

#include <cerrno>

namespace varnock {

int write_flushed(std::FILE* f, std::string_view text) {
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fflush(f) != 0) {
    return errno != 0 ? errno : EIO;
  }
  return 0;
}

}  // namespace varnock
