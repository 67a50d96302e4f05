// The release of the LCM library in use, told from the library's file and
// symbols; and, run in each build, that the one loaded is the one built on.
#include "bus/lcm_version.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace varnock::bus {
namespace {

TEST(LcmVersion, TheReleaseIsToldFromTheLibrarysFileAndSymbols) {
  struct Case {
    const char* file;
    bool exports_queue_size;
    std::optional<std::string> release;
  };
  const Case cases[] = {
      // CMake builds (1.4 on): the file is named by the release.
      {"/opt/lcm/lib/liblcm.so.1.5.2", true, "1.5.2"},
      {"/usr/lib/x86_64-linux-gnu/liblcm.so.1.5.0", true, "1.5.0"},
      {"liblcm.so.1.4.0", true, "1.4.0"},
      // libtool's numbering of Debian's and Ubuntu 22.04's 1.3.1.
      {"/usr/lib/x86_64-linux-gnu/liblcm.so.1.3.4", false, "1.3.1"},
      // A name at odds with the symbols tells nothing.
      {"liblcm.so.1.5.2", false, std::nullopt},
      {"liblcm.so.1.3.4", true, std::nullopt},
      // A link not followed, another library, an executable (a static link).
      {"/usr/lib/liblcm.so.1", true, std::nullopt},
      {"liblcm.so", true, std::nullopt},
      {"libglib-2.0.so.0.7400.6", false, std::nullopt},
      {"/usr/bin/varnock-check", true, std::nullopt},
      {"liblcm.so.1.5.2.old", true, std::nullopt},
      {"liblcm.so.1.5.x", true, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::optional<LcmVersion> v = lcm_release_from_library(c.file, c.exports_queue_size);
    EXPECT_EQ(v ? std::optional<std::string>(v->text()) : std::nullopt, c.release);
  }
}

TEST(LcmVersion, ReceivePathDiffersFromOnePointFive) {
  EXPECT_FALSE(lcm_create_fails_on_unreachable_tcpq(LcmVersion{1, 3, 1}));
  EXPECT_FALSE(lcm_reassembles_reordered_fragments(LcmVersion{1, 4, 2}));
  EXPECT_TRUE(lcm_create_fails_on_unreachable_tcpq(LcmVersion{1, 5, 0}));
  EXPECT_TRUE(lcm_reassembles_reordered_fragments(LcmVersion{1, 5, 2}));
}

// BUILT_LCM_VERSION is pkg-config's for the LCM this build links; the
// library is looked up in this process, as the programs look it up.
TEST(LcmVersion, TheLoadedLibraryIsTheOneBuiltOn) {
  const std::optional<LcmVersion> v = loaded_lcm_version();
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->text(), BUILT_LCM_VERSION);
  EXPECT_EQ(loaded_lcm_version_text(), BUILT_LCM_VERSION);
}

}  // namespace
}  // namespace varnock::bus
