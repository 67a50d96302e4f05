#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "gather/screen.h"

namespace varnock::gather {

StandardOutput::StandardOutput() : terminal_(isatty(STDOUT_FILENO) != 0) {}

TerminalSize StandardOutput::size() const {
  TerminalSize size;
  winsize cells{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &cells) != 0) return size;
  if (cells.ws_row > 0) size.rows = cells.ws_row;
  if (cells.ws_col > 0) size.columns = cells.ws_col;
  return size;
}

void StandardOutput::write(std::string_view text) {
  if (!text.empty()) writes_.write(stdout, text);
}

}  // namespace varnock::gather
