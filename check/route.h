// The kernel's routing decision for a multicast group, and the flags of the
// interface it names: what `ip route get fibmatch GROUP` and `ip link` show.
#ifndef VARNOCK_CHECK_ROUTE_H_
#define VARNOCK_CHECK_ROUTE_H_

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace varnock::check {

struct Route {
  in_addr destination{};           // the matching route's: 224.0.0.0 of 224.0.0.0/4
  int prefix_length = -1;          // 4 for 224.0.0.0/4, 0 for a default route
  std::optional<in_addr> gateway;  // a route "via" a router
  int interface_index = 0;         // 0: the kernel named none
  std::string interface;           // its name; empty when unknown
};

// Asks the kernel over netlink (RTM_GETROUTE, as `ip route get fibmatch`)
// which route datagrams to `group` take, in this thread's network namespace.
// Returns "" or why there is none (the kernel's reason, e.g. "Network is
// unreachable").
std::string lookup_route(in_addr group, Route* out);

// Reads the kernel's netlink reply to that request into *out; "" or what it
// says instead (an error, or a malformed reply). Fills all but the name.
std::string parse_route_reply(std::span<const uint8_t> reply, Route* out);

// The IFF_* flags of interface `name` (ioctl SIOCGIFFLAGS, in this thread's
// network namespace, which /sys/class/net need not show); -1 when unknown.
int interface_flags(const std::string& name);

}  // namespace varnock::check

#endif  // VARNOCK_CHECK_ROUTE_H_
