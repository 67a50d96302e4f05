#include "bus/lcm_version.h"

namespace varnock::bus {

// The Windows programs link LCM into the .exe (cmake/windows), and a static
// library names no release at run time.
std::optional<LcmVersion> loaded_lcm_version() { return std::nullopt; }

}  // namespace varnock::bus
