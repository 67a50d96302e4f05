// What the checker reads of the host it runs on, behind an interface that
// tests replace: the route to a multicast group, the state of an interface,
// kernel settings, and the counters of the socket LCM receives on. The
// system's own is make_system_host() (host_linux.cpp on Linux).
#ifndef VARNOCK_HOST_HOST_H_
#define VARNOCK_HOST_HOST_H_

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace varnock::host {

// The kernel's routing decision for a multicast group, as `ip route get
// fibmatch GROUP` shows it.
struct Route {
  in_addr destination{};           // the matching route's: 224.0.0.0 of 224.0.0.0/4
  int prefix_length = -1;          // 4 for 224.0.0.0/4, 0 for a default route
  std::optional<in_addr> gateway;  // a route "via" a router
  int interface_index = 0;         // 0: the kernel named none
  std::string interface;           // its name; empty when unknown
};

// What `ip link` shows of an interface; known is false when it cannot be read.
struct InterfaceState {
  bool known = false;
  bool up = false;
  bool multicast = false;
  bool loopback = false;
  int64_t mtu = -1;  // -1: unknown
};

// The kernel's counters of one receiving socket.
class ReceiveCounters {
 public:
  virtual ~ReceiveCounters() = default;
  // Datagrams the kernel has dropped for the socket since it was opened (a
  // full receive buffer, a bad checksum); -1 once they cannot be read, e.g.
  // the socket was closed. Any thread.
  virtual int64_t drops() const = 0;
  // Where drops() reads them ("SO_MEMINFO", a /proc file), for notes; "" when
  // it cannot.
  virtual std::string drops_source() const { return ""; }
  // The receive buffer the kernel granted the socket (SO_RCVBUF): its limit
  // for the bytes of queued datagrams, overhead included.
  virtual int64_t receive_buffer_bytes() const = 0;
};

// What the host's network stack counted, all sockets together (this network
// namespace's): the reasons datagrams never reached a socket whole. -1 where
// the count cannot be read.
struct NetworkCounters {
  int64_t reassembly_failures = -1;  // IP datagrams not reassembled (Ip: ReasmFails)
  int64_t reassembly_timeouts = -1;  // of those, queues that waited out ipfrag_time (ReasmTimeout)
  int64_t reassembly_queues = -1;    // incomplete queues now (sockstat's FRAG inuse), a gauge
  int64_t checksum_errors = -1;      // UDP datagrams with a bad checksum (Udp: InCsumErrors)
};

class Host {
 public:
  virtual ~Host() = default;

  // The host's name, as other hosts' reports should show it; "" when unknown.
  virtual std::string name() const = 0;

  // Which route datagrams to `group` take, in this thread's network
  // namespace; "" or why there is none (the kernel's reason).
  virtual std::string lookup_route(in_addr group, Route* out) const = 0;

  virtual InterfaceState interface_state(const std::string& name) const = 0;

  // A kernel setting by its sysctl name, e.g. "net.core.rmem_max"; -1 when
  // it cannot be read.
  virtual int64_t setting(std::string_view name) const = 0;

  // The network counters now. Any thread.
  virtual NetworkCounters network_counters() const = 0;

  // This process's socket that LCM's udpm provider receives on for `port`;
  // null when there is none. LCM opens it at the first subscribe, so ask
  // after that.
  virtual std::unique_ptr<ReceiveCounters> find_receive_socket(uint16_t port) const = 0;
};

// The host this process runs on.
std::unique_ptr<Host> make_system_host();

}  // namespace varnock::host

#endif  // VARNOCK_HOST_HOST_H_
