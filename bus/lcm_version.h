// The release of the LCM library this process runs on, and what differs
// between releases. LCM has no call that names its version, so it is told
// from the library itself at run time (lcm_version_linux.cpp: the loaded
// file and its exported symbols; lcm_version_win32.cpp: unknown), not from
// the headers varnock was built on: a package built on 1.3.1 runs on 1.5.x.
#ifndef VARNOCK_BUS_LCM_VERSION_H_
#define VARNOCK_BUS_LCM_VERSION_H_

#include <compare>
#include <optional>
#include <string>
#include <string_view>

namespace varnock::bus {

struct LcmVersion {
  int major = 0;
  int minor = 0;
  int patch = 0;

  std::string text() const;  // "1.5.2"
  auto operator<=>(const LcmVersion&) const = default;
};

// Pure: the release a shared LCM library is, from its file's name after
// symbolic links ("liblcm.so.1.5.2") and whether it exports
// lcm_subscription_get_queue_size (LCM 1.4.0 and later). Releases from 1.4
// on are built by CMake, whose file name is the release; 1.3's were built by
// libtool, whose name carries interface numbers instead (Debian's 1.3.1 is
// liblcm.so.1.3.4). nullopt when the name tells nothing.
std::optional<LcmVersion> lcm_release_from_library(std::string_view file_name,
                                                   bool exports_queue_size);

// The LCM this process has loaded; nullopt when it cannot be told (LCM
// linked statically, Windows). Looked up once; any thread.
std::optional<LcmVersion> loaded_lcm_version();

// "1.5.2", or "unknown".
std::string loaded_lcm_version_text();

// From LCM 1.5.0 on, lcm_create fails for a tcpq server it cannot reach;
// before, it succeeds and the bus cannot receive. nullopt: 1.5.0's.
bool lcm_create_fails_on_unreachable_tcpq(const std::optional<LcmVersion>& v);

// From LCM 1.5.0 on, udpm reassembles a message whose fragments arrive out of
// order; before, it discards the message. nullopt: 1.5.0's.
bool lcm_reassembles_reordered_fragments(const std::optional<LcmVersion>& v);

}  // namespace varnock::bus

#endif  // VARNOCK_BUS_LCM_VERSION_H_
