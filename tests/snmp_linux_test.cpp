// Counters read from /proc/net/snmp as the kernel writes it.
#include "platform/snmp_linux.h"

#include <gtest/gtest.h>

#include <optional>

namespace varnock {
namespace {

constexpr char kSnmp[] =
    "Ip: Forwarding DefaultTTL InReceives ReasmTimeout ReasmReqds ReasmOKs ReasmFails\n"
    "Ip: 2 64 15057 4 1200 1180 16\n"
    "Icmp: InMsgs InErrors InCsumErrors\n"
    "Icmp: 1 0 0\n"
    "Udp: InDatagrams NoPorts InErrors OutDatagrams RcvbufErrors SndbufErrors InCsumErrors\n"
    "Udp: 53 0 8 54 0 1782 8\n"
    "UdpLite: InDatagrams NoPorts InErrors OutDatagrams RcvbufErrors SndbufErrors InCsumErrors\n"
    "UdpLite: 0 0 0 0 0 0 99\n"
    "Bad: A B\n"
    "Bad: 1 x\n"
    "Short: A B C\n"
    "Short: 1 2";

TEST(SnmpValue, ReadsACounterOfAProtocolByName) {
  struct Case {
    const char* protocol;
    const char* name;
    std::optional<int64_t> value;
  };
  const Case cases[] = {
      {"Ip", "ReasmFails", 16},
      {"Ip", "ReasmTimeout", 4},
      {"Udp", "InCsumErrors", 8},  // Udp's, not UdpLite's
      {"UdpLite", "InCsumErrors", 99},
      {"Udp", "SndbufErrors", 1782},
      {"Ip", "NoSuchCounter", std::nullopt},
      {"Tcp", "InSegs", std::nullopt},
      {"Bad", "B", std::nullopt},    // not a number
      {"Short", "C", std::nullopt},  // no value for it
      {"Short", "A", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.protocol) + ":" + c.name);
    EXPECT_EQ(snmp_value(kSnmp, c.protocol, c.name), c.value);
  }
  EXPECT_EQ(snmp_value("", "Ip", "ReasmFails"), std::nullopt);
  EXPECT_EQ(snmp_value("Ip: ReasmFails\n", "Ip", "ReasmFails"), std::nullopt);
}

}  // namespace
}  // namespace varnock
