#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "gather/screen.h"

namespace varnock::gather {

StandardOutput::StandardOutput() : terminal_(isatty(STDOUT_FILENO) != 0) {}

void StandardOutput::write(std::string_view text) {
  if (error_ != 0 || text.empty()) return;
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    error_ = errno != 0 ? errno : EIO;
  }
}

}  // namespace varnock::gather
