#include "bus/lcm_version.h"

#include <charconv>

namespace varnock::bus {

namespace {

constexpr LcmVersion kFirstOfTheNewReceivePath{1, 5, 0};

// Reads "A.B.C" and nothing after it.
std::optional<LcmVersion> parse_triple(std::string_view s) {
  LcmVersion v;
  int* parts[] = {&v.major, &v.minor, &v.patch};
  const char* p = s.data();
  const char* end = s.data() + s.size();
  for (size_t i = 0; i < 3; ++i) {
    if (i > 0) {
      if (p == end || *p != '.') return std::nullopt;
      ++p;
    }
    const auto [next, ec] = std::from_chars(p, end, *parts[i]);
    if (ec != std::errc() || next == p) return std::nullopt;
    p = next;
  }
  if (p != end) return std::nullopt;
  return v;
}

}  // namespace

std::string LcmVersion::text() const {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

std::optional<LcmVersion> lcm_release_from_library(std::string_view file_name,
                                                   bool exports_queue_size) {
  const size_t slash = file_name.find_last_of('/');
  if (slash != std::string_view::npos) file_name.remove_prefix(slash + 1);
  constexpr std::string_view kPrefix = "liblcm.so.";
  if (!file_name.starts_with(kPrefix)) return std::nullopt;
  const std::optional<LcmVersion> numbers = parse_triple(file_name.substr(kPrefix.size()));
  if (!numbers) return std::nullopt;
  if (exports_queue_size) {
    // A CMake build: the name is the release, which must be 1.4 or later.
    if (*numbers < LcmVersion{1, 4, 0}) return std::nullopt;
    return numbers;
  }
  // libtool's current-age.age.revision: 1.3.4 is what LCM 1.3.1 installs
  // (Debian 12 and 13, Ubuntu 22.04). No other 1.3 build is known here.
  if (*numbers == LcmVersion{1, 3, 4}) return LcmVersion{1, 3, 1};
  return std::nullopt;
}

std::string loaded_lcm_version_text() {
  const std::optional<LcmVersion> v = loaded_lcm_version();
  return v ? v->text() : "unknown";
}

bool lcm_create_fails_on_unreachable_tcpq(const std::optional<LcmVersion>& v) {
  return !v || *v >= kFirstOfTheNewReceivePath;
}

bool lcm_reassembles_reordered_fragments(const std::optional<LcmVersion>& v) {
  return !v || *v >= kFirstOfTheNewReceivePath;
}

}  // namespace varnock::bus
