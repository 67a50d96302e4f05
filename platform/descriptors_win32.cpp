#include <fcntl.h>
#include <io.h>

#include <cstdint>

#include "platform/descriptors.h"

namespace varnock {

void open_missing_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    // A program started without a console or redirection has no standard
    // handles (the C runtime says -1, or -2 for no console), and the next
    // file opened would take the descriptor.
    if (const intptr_t handle = _get_osfhandle(fd); handle != -1 && handle != -2) continue;
    const int opened = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
    if (opened < 0) continue;
    if (opened != fd) {
      _dup2(opened, fd);
      _close(opened);
    }
  }
}

}  // namespace varnock
