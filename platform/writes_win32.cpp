#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "platform/writes.h"

namespace varnock {

// No program opens a FIFO here.
std::FILE* open_for_writing(const std::string& path) { return std::fopen(path.c_str(), "w"); }

int replace_file(const std::string& path, std::string_view text) {
  const std::string temporary = path + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
  std::FILE* f = std::fopen(temporary.c_str(), "wb");
  if (f == nullptr) return errno;
  int error = 0;
  if (std::fwrite(text.data(), 1, text.size(), f) != text.size()) error = errno != 0 ? errno : EIO;
  if (std::fclose(f) != 0 && error == 0) error = errno != 0 ? errno : EIO;
  if (error == 0 && MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) == 0) {
    error = EACCES;
  }
  if (error != 0) std::remove(temporary.c_str());
  return error;
}

}  // namespace varnock
