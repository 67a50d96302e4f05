// Writing a program's outputs: every write flushed at once, and the first
// failure kept for the run to report at its end.
#ifndef VARNOCK_PLATFORM_WRITES_H_
#define VARNOCK_PLATFORM_WRITES_H_

#include <cstdio>
#include <string>
#include <string_view>

namespace varnock {

// Writes `text` to `f` and flushes it; returns 0, or the errno of the
// failure (EIO when the C library set none).
int write_flushed(std::FILE* f, std::string_view text);

// An output's writes up to the first that fails, whose errno is kept; the
// writes after it are not made. Use from one thread.
class FirstWriteError {
 public:
  // write_flushed unless a write has failed already; false when this write
  // or an earlier one failed.
  bool write(std::FILE* f, std::string_view text) {
    if (error_ == 0) error_ = write_flushed(f, text);
    return error_ == 0;
  }
  // errno of the first failed write, 0 while every write has succeeded.
  int error() const { return error_; }

 private:
  int error_ = 0;
};

// Opens `path` for writing as fopen(path, "w") does (created, truncated).
// A FIFO is opened once a reader has it open; until then the wait takes the
// held signals (platform/signals.h), and a stop signal ends it: null with
// errno EINTR. Null with errno for any other failure.
std::FILE* open_for_writing(const std::string& path);

// Replaces the file at `path` with `text` at once: written beside it first
// (as PATH.PID.tmp), then renamed over it, so that a reader sees the whole
// old file or the whole new one. Returns 0, or the errno of the failure,
// after removing what it wrote.
int replace_file(const std::string& path, std::string_view text);

}  // namespace varnock

#endif  // VARNOCK_PLATFORM_WRITES_H_
