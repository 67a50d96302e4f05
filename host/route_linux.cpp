#include "host/route_linux.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

namespace varnock::host {
namespace {

template <typename T>
T load(std::span<const uint8_t> bytes, size_t at) {
  T value{};
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The attributes of a route message: RTA_DST, RTA_GATEWAY, RTA_OIF.
std::string parse_route_attributes(std::span<const uint8_t> attributes, Route* out) {
  size_t at = 0;
  while (at + sizeof(rtattr) <= attributes.size()) {
    const auto attribute = load<rtattr>(attributes, at);
    if (attribute.rta_len < sizeof(rtattr) || at + attribute.rta_len > attributes.size()) {
      return "malformed route attribute in the kernel's reply";
    }
    const std::span<const uint8_t> value =
        attributes.subspan(at + RTA_LENGTH(0), attribute.rta_len - RTA_LENGTH(0));
    if (attribute.rta_type == RTA_DST && value.size() == sizeof(in_addr)) {
      out->destination = load<in_addr>(value, 0);
    } else if (attribute.rta_type == RTA_GATEWAY && value.size() == sizeof(in_addr)) {
      out->gateway = load<in_addr>(value, 0);
    } else if (attribute.rta_type == RTA_OIF && value.size() == sizeof(int)) {
      out->interface_index = load<int>(value, 0);
    }
    at += RTA_ALIGN(attribute.rta_len);
  }
  return "";
}

}  // namespace

std::string parse_route_reply(std::span<const uint8_t> reply, Route* out) {
  *out = Route();
  if (reply.size() < sizeof(nlmsghdr)) return "no reply from the kernel";
  const auto header = load<nlmsghdr>(reply, 0);
  if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > reply.size()) {
    return "malformed reply from the kernel";
  }
  const std::span<const uint8_t> body =
      reply.subspan(NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN);
  if (header.nlmsg_type == NLMSG_ERROR) {
    if (body.size() < sizeof(nlmsgerr)) return "malformed error reply from the kernel";
    const int error = load<nlmsgerr>(body, 0).error;
    return error == 0 ? "the kernel acknowledged but named no route" : std::strerror(-error);
  }
  if (header.nlmsg_type != RTM_NEWROUTE || body.size() < sizeof(rtmsg)) {
    return "unexpected reply from the kernel";
  }
  out->prefix_length = load<rtmsg>(body, 0).rtm_dst_len;
  return parse_route_attributes(body.subspan(NLMSG_ALIGN(sizeof(rtmsg))), out);
}

std::string lookup_route(in_addr group, Route* out) {
  const Fd sock(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (sock.get() < 0) return std::string("cannot open a netlink socket: ") + std::strerror(errno);
  const timeval timeout{1, 0};
  setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

  // nlmsghdr, rtmsg, then one attribute: the destination.
  std::array<uint8_t, NLMSG_SPACE(sizeof(rtmsg)) + RTA_SPACE(sizeof(in_addr))> request{};
  nlmsghdr header{};
  header.nlmsg_len = request.size();
  header.nlmsg_type = RTM_GETROUTE;
  header.nlmsg_flags = NLM_F_REQUEST;
  header.nlmsg_seq = 1;
  rtmsg route{};
  route.rtm_family = AF_INET;
  route.rtm_dst_len = 32;
  route.rtm_flags = RTM_F_FIB_MATCH;  // the matching route itself, not a host route from it
  rtattr destination{};
  destination.rta_len = RTA_LENGTH(sizeof(in_addr));
  destination.rta_type = RTA_DST;
  std::memcpy(request.data(), &header, sizeof header);
  std::memcpy(request.data() + NLMSG_HDRLEN, &route, sizeof route);
  const size_t attribute_at = NLMSG_SPACE(sizeof(rtmsg));
  std::memcpy(request.data() + attribute_at, &destination, sizeof destination);
  std::memcpy(request.data() + attribute_at + RTA_LENGTH(0), &group, sizeof group);

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(sock.get(), request.data(), request.size(), 0,
             reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0) {
    return std::string("cannot ask the kernel for a route: ") + std::strerror(errno);
  }
  std::vector<uint8_t> reply(8192);
  const ssize_t n = recv(sock.get(), reply.data(), reply.size(), 0);
  if (n < 0) return std::string("no route reply from the kernel: ") + std::strerror(errno);
  reply.resize(static_cast<size_t>(n));
  if (std::string e = parse_route_reply(reply, out); !e.empty()) return e;
  std::array<char, IF_NAMESIZE> name{};
  if (out->interface_index > 0 &&
      if_indextoname(static_cast<unsigned>(out->interface_index), name.data()) != nullptr) {
    out->interface = name.data();
  }
  return "";
}

InterfaceState interface_state(const std::string& name) {
  const Fd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ifreq request{};
  if (sock.get() < 0 || name.empty() || name.size() >= sizeof request.ifr_name) return {};
  std::memcpy(request.ifr_name, name.data(), name.size());
  if (ioctl(sock.get(), SIOCGIFFLAGS, &request) != 0) return {};
  const auto flags = static_cast<unsigned short>(request.ifr_flags);
  InterfaceState state{true, (flags & IFF_UP) != 0, (flags & IFF_MULTICAST) != 0,
                       (flags & IFF_LOOPBACK) != 0, -1};
  if (ioctl(sock.get(), SIOCGIFMTU, &request) == 0) state.mtu = request.ifr_mtu;
  return state;
}

}  // namespace varnock::host
