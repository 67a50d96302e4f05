#include "tests/support/netns.h"

#include <sched.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace varnock::testing {

std::string enter_multicast_namespace() {
  if (unshare(CLONE_NEWNET) != 0) {
    return std::string("cannot make a network namespace (needs root): ") + std::strerror(errno);
  }
  if (std::system("ip link set lo up && ip link set lo multicast on && "
                  "ip route add 224.0.0.0/4 dev lo") != 0) {
    return "cannot route multicast over loopback in the new namespace (is iproute2 installed?)";
  }
  return "";
}

}  // namespace varnock::testing
