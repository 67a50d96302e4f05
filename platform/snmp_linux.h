// Linux's protocol counters as /proc/net/snmp and /proc/net/netstat write
// them: for each protocol a line of names, then a line of values.
#ifndef VARNOCK_PLATFORM_SNMP_LINUX_H_
#define VARNOCK_PLATFORM_SNMP_LINUX_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace varnock {

// The value of counter `name` of `protocol` ("Ip", "Udp", ...) in `table`;
// nullopt when the table has no such counter or its value is malformed.
std::optional<int64_t> snmp_value(std::string_view table, std::string_view protocol,
                                  std::string_view name);

}  // namespace varnock

#endif  // VARNOCK_PLATFORM_SNMP_LINUX_H_
