// The host interface on Linux: netlink for routes, ioctl for interfaces,
// /proc/sys for settings, /proc/net/snmp for the network's counters,
// SO_MEMINFO for the receiving socket.
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "host/host.h"
#include "host/receive_socket_linux.h"
#include "host/route_linux.h"
#include "platform/snmp_linux.h"

namespace varnock::host {
namespace {

class LinuxHost final : public Host {
 public:
  std::string name() const override {
    char text[256] = {};
    if (gethostname(text, sizeof text - 1) != 0) return "";
    return text;
  }

  std::string lookup_route(in_addr group, Route* out) const override {
    return host::lookup_route(group, out);
  }

  InterfaceState interface_state(const std::string& name) const override {
    return host::interface_state(name);
  }

  int64_t setting(std::string_view name) const override {
    // "net.core.rmem_max" is /proc/sys/net/core/rmem_max; a name that would
    // leave /proc/sys is no setting.
    if (name.empty() || name.find('/') != std::string_view::npos ||
        name.find("..") != std::string_view::npos) {
      return -1;
    }
    std::string path = "/proc/sys/";
    for (const char c : name) path += c == '.' ? '/' : c;
    std::ifstream in(path);
    int64_t value = -1;
    if (!(in >> value)) return -1;
    return value;
  }

  NetworkCounters network_counters() const override {
    std::ifstream in("/proc/self/net/snmp");
    const std::string table((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    NetworkCounters c;
    c.reassembly_failures = snmp_value(table, "Ip", "ReasmFails").value_or(-1);
    c.reassembly_timeouts = snmp_value(table, "Ip", "ReasmTimeout").value_or(-1);
    c.checksum_errors = snmp_value(table, "Udp", "InCsumErrors").value_or(-1);
    // "FRAG: inuse 3 memory 311040": the reassembly queues waiting now.
    std::ifstream sockstat("/proc/self/net/sockstat");
    for (std::string word; sockstat >> word;) {
      if (word == "FRAG:" && sockstat >> word && word == "inuse") {
        int64_t queues = -1;
        if (sockstat >> queues && queues >= 0) c.reassembly_queues = queues;
        break;
      }
    }
    return c;
  }

  std::unique_ptr<ReceiveCounters> find_receive_socket(uint16_t port) const override {
    return host::find_receive_socket(port);
  }
};

}  // namespace

std::unique_ptr<Host> make_system_host() { return std::make_unique<LinuxHost>(); }

}  // namespace varnock::host
