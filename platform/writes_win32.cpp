#include "platform/writes.h"

namespace varnock {

// No program opens a FIFO here.
std::FILE* open_for_writing(const std::string& path) { return std::fopen(path.c_str(), "w"); }

}  // namespace varnock
