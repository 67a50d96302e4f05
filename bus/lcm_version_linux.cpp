#include <dlfcn.h>
#include <lcm/lcm.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "bus/lcm_version.h"

namespace varnock::bus {

namespace {

std::optional<LcmVersion> look_up() {
  // The file that holds lcm_create is the LCM this process runs on; an
  // executable that holds it itself linked LCM statically, and its name
  // says nothing.
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&lcm_create), &info) == 0 || info.dli_fname == nullptr) {
    return std::nullopt;
  }
  char real[PATH_MAX];
  const std::string file = realpath(info.dli_fname, real) != nullptr ? real : info.dli_fname;
  // Already loaded: RTLD_NOLOAD only hands out another reference to it.
  void* library = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  if (library == nullptr) return std::nullopt;
  const bool queue_size = dlsym(library, "lcm_subscription_get_queue_size") != nullptr;
  dlclose(library);
  return lcm_release_from_library(file, queue_size);
}

}  // namespace

std::optional<LcmVersion> loaded_lcm_version() {
  static const std::optional<LcmVersion> version = look_up();
  return version;
}

}  // namespace varnock::bus
