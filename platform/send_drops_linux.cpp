#include <fstream>
#include <iterator>
#include <string>

#include "platform/send_drops.h"
#include "platform/snmp_linux.h"

namespace varnock {
namespace {

class ProcSendDrops final : public SendDropSource {
 public:
  SendCounters read() override {
    std::ifstream in("/proc/self/net/snmp");
    const std::string table((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SendCounters c;
    c.send_buffer_errors = snmp_value(table, "Udp", "SndbufErrors").value_or(-1);
    c.fragmentation_failures = snmp_value(table, "Ip", "FragFails").value_or(-1);
    c.output_discards = snmp_value(table, "Ip", "OutDiscards").value_or(-1);
    return c;
  }
};

}  // namespace

std::unique_ptr<SendDropSource> make_system_send_drop_source() {
  return std::make_unique<ProcSendDrops>();
}

}  // namespace varnock
