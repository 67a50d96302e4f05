// varnock-check's end-to-end fixture: a network namespace of the test's own
// with multicast over loopback, hosts joined to it by veth pairs or a
// bridge, and the programs started there with their output in files.
#ifndef VARNOCK_TESTS_SUPPORT_CHECK_IN_NAMESPACE_H_
#define VARNOCK_TESTS_SUPPORT_CHECK_IN_NAMESPACE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace varnock::testing {

// What varnock-check (or varnock-pace) wrote with --json, every line parsed
// as JSON.
struct CheckOutput {  // NOLINT(bugprone-exception-escape): json's members may throw
  nlohmann::json start;
  std::vector<nlohmann::json> rows;
  nlohmann::json summary;
  std::string text;  // as written, for failure messages

  int64_t row_sum(const char* field) const;
  int64_t total(const char* field) const { return summary[field].get<int64_t>(); }
  // Frames received once each, lost or not: what the runs published while
  // the check listened.
  int64_t accounted() const { return total("frames") - total("duplicates") + total("lost"); }
};

// Parses JSON lines of "start", "second" and "summary" type; throws on a
// line that is not JSON.
CheckOutput parse_check_output(const std::string& out);

// Loads an nftables ruleset, in namespace `netns` or in this one.
void nft(const std::string& rules, const std::string& netns = "");

// An nftables rule on this host's input that drops UDP datagrams matching
// `match`; "" removes it.
void drop_udp(const std::string& match);

class CheckInNamespace : public ::testing::Test {
 protected:
  // Enters the namespace once for the whole suite; its tests are skipped
  // where that cannot be done (not root).
  static void SetUpTestSuite();
  void SetUp() override;
  // Puts loopback, reassembly and routes back as a new namespace has them
  // and deletes the hosts made.
  void TearDown() override;

  std::string path(const char* name) const { return dir_.path(name); }

  // Starts varnock-check with `args` (prefixed, e.g. by "ip netns exec";
  // --json among them), its output in NAME.out and NAME.err, and waits for
  // its start line: it has subscribed.
  std::unique_ptr<ChildProcess> start_check(std::vector<std::string> prefix,
                                            const std::vector<std::string>& args,
                                            const std::string& name = "check");
  // What varnock-check wrote, once it has exited with `status`.
  CheckOutput finished_check(ChildProcess& check, int status, const std::string& name = "check");
  // Waits until varnock-check has taken in what reached it (the publishers
  // have ended), stops it with SIGTERM and reads what it wrote; it must exit
  // 0 (nothing corrupt) with a summary.
  CheckOutput stop_check(ChildProcess& check);

  // Makes a second host: a namespace joined to this one by a veth pair (va
  // here, vb there), with multicast routed over it on both sides.
  void make_peer_host();
  // Makes `count` hosts on a bridge that this host is on too, multicast
  // flooding to every port.
  void make_bridged_hosts(int count);

  // Loopback with an Ethernet MTU: a frame of varnock's travels as 1,126 IP
  // fragments, reassembled by this host's IP as on a LAN.
  static void fragment_on_loopback(const std::string& sysctls = "");

  // varnock-pace's frames of varnock's size at `rate` for `seconds` on this
  // host, its output in pace.out and pace.err.
  std::unique_ptr<ChildProcess> start_pace(const char* rate, const char* seconds,
                                           std::vector<std::string> more = {});

  static std::string skip_reason_;
  TempDir dir_{"varnock-check"};
  std::vector<std::string> hosts_;

 private:
  static std::string bridged_host_script(const std::string& h, const std::string& port, int n);
};

}  // namespace varnock::testing

#endif  // VARNOCK_TESTS_SUPPORT_CHECK_IN_NAMESPACE_H_
