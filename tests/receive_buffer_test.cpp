// The rule for the receive buffer a frame needs, and varnock-check's warning.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bus/lcm_url.h"
#include "check/receive_buffer_warning.h"
#include "messages/tfimage_t.h"

namespace varnock::check {
namespace {

TEST(ReceiveBufferWarning, FollowsWhatTheKernelGrants) {
  struct Case {
    const char* url;
    std::optional<int64_t> granted;  // nullopt: predicted from the URL and sysctls
    int64_t rmem_max;
    const char* contains;  // "" for no warning
    int64_t frame_bytes = kFrameBytes;
  };
  const Case cases[] = {
      // The kernel doubles a request: 2 MB asked, 4 MB granted, is enough.
      {"udpm://239.255.76.67:7667?ttl=0&recv_buf_size=2097152", std::nullopt, 4'194'304, ""},
      {"udpm://239.255.76.67:7667?ttl=0&recv_buf_size=1638440", std::nullopt, 4'194'304, ""},
      {"udpm://239.255.76.67:7667?ttl=0&recv_buf_size=1638439", std::nullopt, 4'194'304,
       "recv_buf_size=1638439 in the URL is less than a frame"},
      {"udpm://239.255.76.67:7667?ttl=0&recv_buf_size=524288", std::nullopt, 4'194'304,
       "will grant LCM's socket a receive buffer of 1048576 bytes"},
      {"udpm://239.255.76.67:7667?ttl=0&recv_buf_size=8388608", std::nullopt, 212'992,
       "sysctl -w net.core.rmem_max=8388608"},
      {"udpm://239.255.76.67:7667?ttl=0", std::nullopt, 8'388'608,
       "add recv_buf_size=8388608 to the URL"},
      {"udpm://239.255.76.67:7667?ttl=0&recv_buf_size=8388608", 425'984, 212'992,
       "granted LCM's socket a receive buffer of 425984 bytes"},
      {"udpm://239.255.76.67:7667?ttl=0&recv_buf_size=8388608", 8'388'608, 4'194'304, ""},
      {"file:///tmp/x.log", std::nullopt, 1, ""},
      // Judged by the frames that arrive: 64 x 64 ones fit a small buffer,
      // 16 MB ones need far more than 8 MB, and the fix says how much.
      {"udpm://239.255.76.67:7667?ttl=0&recv_buf_size=524288", 1'048'576, 4'194'304, "", 4'136},
      {"udpm://239.255.76.67:7667?ttl=0&recv_buf_size=8388608", 8'388'608, 8'388'608,
       "below the 33554512 that a frame of 16777256 bytes needs", 16'777'256},
      {"udpm://239.255.76.67:7667?ttl=0&recv_buf_size=33554432", 16'777'216, 8'388'608,
       "sysctl -w net.core.rmem_max=68157440", 16'777'256},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    bus::LcmUrl url;
    ASSERT_EQ(bus::parse_lcm_url(c.url, &url), "");
    const std::string w =
        receive_buffer_warning(url, c.granted, c.rmem_max, 212'992, c.frame_bytes);
    if (std::string_view(c.contains).empty()) {
      EXPECT_EQ(w, "");
    } else {
      EXPECT_NE(w.find(c.contains), std::string::npos) << w;
    }
  }
}

}  // namespace
}  // namespace varnock::check
