// Linux's routing decision for a multicast group over netlink, and an
// interface's flags: what `ip route get fibmatch GROUP` and `ip link` show.
#ifndef VARNOCK_HOST_ROUTE_LINUX_H_
#define VARNOCK_HOST_ROUTE_LINUX_H_

#include <netinet/in.h>

#include <cstdint>
#include <span>
#include <string>

#include "host/host.h"

namespace varnock::host {

// Asks the kernel over netlink (RTM_GETROUTE, as `ip route get fibmatch`)
// which route datagrams to `group` take, in this thread's network namespace.
// Returns "" or why there is none (the kernel's reason, e.g. "Network is
// unreachable").
std::string lookup_route(in_addr group, Route* out);

// Reads the kernel's netlink reply to that request into *out; "" or what it
// says instead (an error, or a malformed reply). Fills all but the name.
std::string parse_route_reply(std::span<const uint8_t> reply, Route* out);

// The state of interface `name` (ioctl SIOCGIFFLAGS, in this thread's
// network namespace, which /sys/class/net need not show).
InterfaceState interface_state(const std::string& name);

}  // namespace varnock::host

#endif  // VARNOCK_HOST_ROUTE_LINUX_H_
