// A network namespace of this process's own, with multicast over loopback,
// so that multicast tests and benchmarks never touch the machine's network.
#ifndef VARNOCK_TESTS_SUPPORT_NETNS_H_
#define VARNOCK_TESTS_SUPPORT_NETNS_H_

#include <string>

namespace varnock::testing {

// Moves this process (and the children it starts later) into a new network
// namespace with loopback up and 224.0.0.0/4 routed over it. Returns "" or why
// it could not (not root, no iproute2).
std::string enter_multicast_namespace();

}  // namespace varnock::testing

#endif  // VARNOCK_TESTS_SUPPORT_NETNS_H_
