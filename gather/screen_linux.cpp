#include <unistd.h>

#include <cstdio>

#include "gather/screen.h"

namespace varnock::gather {

StandardOutput::StandardOutput() : terminal_(isatty(STDOUT_FILENO) != 0) {}

void StandardOutput::write(std::string_view text) {
  if (!text.empty()) writes_.write(stdout, text);
}

}  // namespace varnock::gather
