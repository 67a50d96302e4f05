#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/signals.h"
#include "platform/writes.h"

namespace varnock {
namespace {

// How often a FIFO is tried for a reader: nothing tells when one comes.
constexpr int64_t kReaderPollNs = 50'000'000;

bool is_fifo(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

}  // namespace

int replace_file(const std::string& path, std::string_view text) {
  const std::string temporary = path + "." + std::to_string(getpid()) + ".tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  int error = 0;
  while (!text.empty() && error == 0) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n > 0) {
      text.remove_prefix(static_cast<size_t>(n));
    } else if (n < 0 && errno != EINTR) {
      error = errno;
    } else if (n == 0) {
      error = EIO;
    }
  }
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) unlink(temporary.c_str());
  return error;
}

std::FILE* open_for_writing(const std::string& path) {
  // Not blocked in open(), where the held signals could not end the wait:
  // without a reader, a FIFO refuses a non-blocking open with ENXIO.
  int fd = -1;
  for (;;) {
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0666);
    if (fd >= 0) break;
    if (errno != ENXIO || !is_fifo(path)) return nullptr;
    if (wait_taking_signals(-1, kReaderPollNs) == Wake::kSignal && received_stop_signal() != 0) {
      errno = EINTR;
      return nullptr;
    }
  }
  const int flags = fcntl(fd, F_GETFL);
  std::FILE* f = nullptr;
  if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) f = fdopen(fd, "w");
  if (f == nullptr) {
    const int error = errno;
    close(fd);
    errno = error;
  }
  return f;
}

}  // namespace varnock
