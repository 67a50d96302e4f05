// The kernel's netlink reply to a route request, read into a Route.
#include "host/route_linux.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace varnock::host {
namespace {

// A netlink reply: header, rtmsg or nlmsgerr, then attributes.
class Reply {
 public:
  explicit Reply(uint16_t type) { header_.nlmsg_type = type; }
  Reply& body(const void* data, size_t size) {
    append(data, size);
    return *this;
  }
  Reply& attribute(uint16_t type, const void* data, size_t size) {
    rtattr a{};
    a.rta_type = type;
    a.rta_len = static_cast<uint16_t>(RTA_LENGTH(size));
    append(&a, sizeof a);
    append(data, size);
    return *this;
  }
  std::vector<uint8_t> bytes() const {
    nlmsghdr h = header_;
    h.nlmsg_len = static_cast<uint32_t>(NLMSG_HDRLEN + payload_.size());
    std::vector<uint8_t> out(h.nlmsg_len);
    std::memcpy(out.data(), &h, sizeof h);
    if (!payload_.empty()) std::memcpy(out.data() + NLMSG_HDRLEN, payload_.data(), payload_.size());
    return out;
  }

 private:
  void append(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    payload_.insert(payload_.end(), p, p + size);
    payload_.resize(NLMSG_ALIGN(payload_.size()));
  }
  nlmsghdr header_{};
  std::vector<uint8_t> payload_;
};

in_addr address(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a;
}

TEST(RouteReply, ReadsTheMatchingRoute) {
  rtmsg multicast{};
  multicast.rtm_family = AF_INET;
  multicast.rtm_dst_len = 4;
  multicast.rtm_type = RTN_MULTICAST;
  const in_addr net = address("224.0.0.0");
  const int lo = 1;
  Route route;
  ASSERT_EQ(parse_route_reply(Reply(RTM_NEWROUTE)
                                  .body(&multicast, sizeof multicast)
                                  .attribute(RTA_DST, &net, sizeof net)
                                  .attribute(RTA_OIF, &lo, sizeof lo)
                                  .bytes(),
                              &route),
            "");
  EXPECT_EQ(route.prefix_length, 4);
  EXPECT_EQ(route.destination.s_addr, net.s_addr);
  EXPECT_EQ(route.interface_index, 1);
  EXPECT_FALSE(route.gateway);

  rtmsg default_route{};
  default_route.rtm_family = AF_INET;
  const in_addr gateway = address("10.0.0.1");
  const int eth0 = 2;
  ASSERT_EQ(parse_route_reply(Reply(RTM_NEWROUTE)
                                  .body(&default_route, sizeof default_route)
                                  .attribute(RTA_GATEWAY, &gateway, sizeof gateway)
                                  .attribute(RTA_OIF, &eth0, sizeof eth0)
                                  .bytes(),
                              &route),
            "");
  EXPECT_EQ(route.prefix_length, 0);
  ASSERT_TRUE(route.gateway);
  EXPECT_EQ(route.gateway->s_addr, gateway.s_addr);
  EXPECT_EQ(route.interface_index, 2);
}

TEST(RouteReply, ErrorsAndMalformedReplies) {
  nlmsgerr unreachable{};
  unreachable.error = -ENETUNREACH;
  Route route;
  EXPECT_EQ(
      parse_route_reply(Reply(NLMSG_ERROR).body(&unreachable, sizeof unreachable).bytes(), &route),
      std::strerror(ENETUNREACH));

  rtmsg r{};
  r.rtm_dst_len = 4;
  std::vector<uint8_t> cut = Reply(RTM_NEWROUTE).body(&r, sizeof r).bytes();
  cut.pop_back();  // shorter than its header says
  EXPECT_NE(parse_route_reply(cut, &route), "");
  EXPECT_NE(parse_route_reply({}, &route), "");
  // An attribute whose length runs past the message.
  std::vector<uint8_t> long_attribute =
      Reply(RTM_NEWROUTE).body(&r, sizeof r).attribute(RTA_OIF, &r, 4).bytes();
  long_attribute[NLMSG_HDRLEN + NLMSG_ALIGN(sizeof r)] = 200;
  EXPECT_NE(parse_route_reply(long_attribute, &route).find("malformed"), std::string::npos);
  EXPECT_NE(parse_route_reply(Reply(RTM_NEWLINK).body(&r, sizeof r).bytes(), &route), "");
}

}  // namespace
}  // namespace varnock::host
