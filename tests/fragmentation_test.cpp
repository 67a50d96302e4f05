// What LCM and IP make of a message on a link: checked against packet counts
// read off a veth link with tcpdump (1,127 packets a varnock cycle at MTU
// 1500, 202 at MTU 9000).
#include "host/fragmentation.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "messages/tfimage_t.h"

namespace varnock::host {
namespace {

TEST(OnTheWire, DatagramsAndPackets) {
  struct Case {
    const char* name;
    int64_t message_bytes, mtu;
    int64_t datagrams, fragments_per_datagram, packets, reassembly_bytes;
  };
  const Case cases[] = {
      {"varnock's frame at MTU 1500", kFrameBytes, 1500, 26, 45, 1126, 103'680},
      {"varnock's frame at MTU 9000", kFrameBytes, 9000, 26, 8, 201, 133'120},
      {"varnock's frame on loopback", kFrameBytes, 65'536, 26, 1, 26, 0},
      {"the largest short message", 65'499 - 8, 1500, 1, 45, 45, 103'680},
      {"one byte more is two datagrams", 65'499 - 7, 1500, 2, 45, 46, 103'680},
      {"a 64 x 64 frame", 4'136, 1500, 1, 3, 3, 6'912},
      {"a status record", 63, 1500, 1, 1, 1, 0},
      {"an MTU below IPv4's least", 63, 67, 0, 0, 0, 0},
      {"a negative size", -1, 1500, 0, 0, 0, 0},
      {"more than 65,535 of LCM's fragments", std::numeric_limits<int64_t>::max() / 2, 1500, 0, 0,
       0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const OnTheWire w = on_the_wire(c.message_bytes, 7, c.mtu);
    EXPECT_EQ(w.datagrams, c.datagrams);
    EXPECT_EQ(w.fragments_per_datagram, c.fragments_per_datagram);
    EXPECT_EQ(w.packets, c.packets);
    EXPECT_EQ(w.reassembly_bytes, c.reassembly_bytes);
  }
}

TEST(MessageLoss, OneMinusTheChanceThatEveryPacketArrives) {
  EXPECT_NEAR(message_loss(1e-4, 1125), 0.1065, 0.0001);
  EXPECT_NEAR(message_loss(1e-3, 1126), 0.676, 0.001);
  EXPECT_EQ(message_loss(0, 1126), 0);
  EXPECT_EQ(message_loss(1, 3), 1);
  EXPECT_EQ(message_loss(0.5, 0), 0);
}

}  // namespace
}  // namespace varnock::host
