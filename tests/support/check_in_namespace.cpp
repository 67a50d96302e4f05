#include "tests/support/check_in_namespace.h"

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "tests/support/netns.h"
#include "tests/support/wait.h"

namespace varnock::testing {

using nlohmann::json;

int64_t CheckOutput::row_sum(const char* field) const {
  int64_t sum = 0;
  for (const json& r : rows) sum += r[field].get<int64_t>();
  return sum;
}

CheckOutput parse_check_output(const std::string& out) {
  CheckOutput o;
  o.text = out;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    json j = json::parse(line);
    const std::string type = j.at("type");
    if (type == "start") {
      o.start = std::move(j);
    } else if (type == "second") {
      o.rows.push_back(std::move(j));
    } else if (type == "summary") {
      o.summary = std::move(j);
    }
  }
  return o;
}

void nft(const std::string& rules, const std::string& netns) {
  const std::string command = (netns.empty() ? "" : "ip netns exec " + netns + " ") + "nft -f -";
  std::FILE* p = popen(command.c_str(), "w");
  ASSERT_NE(p, nullptr);
  std::fputs(rules.c_str(), p);
  ASSERT_EQ(pclose(p), 0) << "nftables could not load:\n" << rules;
}

void drop_udp(const std::string& match) {
  std::system("nft delete table inet varnock_test 2>/dev/null");
  if (match.empty()) return;
  nft("table inet varnock_test {\n  chain input {\n    type filter hook input priority 0;\n"
      "    meta l4proto udp " +
      match + " drop\n  }\n}\n");
}

std::string CheckInNamespace::skip_reason_;

void CheckInNamespace::SetUpTestSuite() { skip_reason_ = enter_multicast_namespace(); }

void CheckInNamespace::SetUp() {
  if (!skip_reason_.empty()) GTEST_SKIP() << skip_reason_ << ": namespace test skipped";
}

void CheckInNamespace::TearDown() {
  drop_udp("");
  // Loopback and IP reassembly as a new namespace has them.
  std::system(
      "ip link set lo mtu 65536; tc qdisc del dev lo root 2>/dev/null; sysctl -qw "
      "net.ipv4.ipfrag_high_thresh=4194304 net.ipv4.ipfrag_low_thresh=3145728 "
      "net.ipv4.ipfrag_time=30");
  for (const std::string& host : hosts_) {
    std::system(("ip netns del " + host + " 2>/dev/null").c_str());
  }
  if (!hosts_.empty()) {
    std::system("ip link del vbr 2>/dev/null; ip link del va 2>/dev/null");
    std::system("ip route replace 224.0.0.0/4 dev lo");
  }
}

std::unique_ptr<ChildProcess> CheckInNamespace::start_check(std::vector<std::string> prefix,
                                                            const std::vector<std::string>& args,
                                                            const std::string& name) {
  prefix.emplace_back(CHECK_BINARY);
  prefix.insert(prefix.end(), args.begin(), args.end());
  const std::string out_path = path((name + ".out").c_str());
  const std::string err_path = path((name + ".err").c_str());
  // The child truncates its output only once started: a start line left by
  // an earlier run of the same name must not pass for this one's.
  std::filesystem::remove(out_path);
  auto check = std::make_unique<ChildProcess>(prefix, out_path, err_path);
  const bool started = wait_for_line(
                           out_path,
                           [](const std::string& line) {
                             const json first = json::parse(line, nullptr, false);
                             return first.is_object() && first.value("type", "") == "start";
                           },
                           std::chrono::seconds(20))
                           .has_value();
  EXPECT_TRUE(started) << "no start line in 20 s: " << read_file(err_path);
  return check;
}

CheckOutput CheckInNamespace::finished_check(ChildProcess& check, int status,
                                             const std::string& name) {
  const std::string err_path = path((name + ".err").c_str());
  EXPECT_EQ(check.wait_exit(std::chrono::seconds(30)), status) << read_file(err_path);
  const std::string text = read_file(path((name + ".out").c_str()));
  if (text.rfind('{', 0) != 0) return {};  // text output
  CheckOutput out = parse_check_output(text);
  EXPECT_FALSE(out.summary.is_null()) << read_file(err_path);
  return out;
}

CheckOutput CheckInNamespace::stop_check(ChildProcess& check) {
  EXPECT_TRUE(wait_receiver_idle(check.pid(), std::chrono::seconds(20)))
      << "varnock-check was still receiving 20 s after the publishers ended";
  check.signal(SIGTERM);
  return finished_check(check, 0);
}

void CheckInNamespace::make_peer_host() {
  hosts_.push_back("varnock-peer-" + std::to_string(getpid()));
  const std::string& peer = hosts_.back();
  const std::string n = " -n " + peer + " ";
  const std::string script =
      "ip netns add " + peer + " && ip link add va type veth peer name vb netns " + peer +
      " && ip addr add 10.231.0.1/24 dev va && ip link set va mtu 65535 up" +
      " && ip route replace 224.0.0.0/4 dev va" + " && ip" + n + "link set lo up && ip" + n +
      "addr add 10.231.0.2/24 dev vb && ip" + n + "link set vb mtu 65535 up && ip" + n +
      "route add 224.0.0.0/4 dev vb";
  ASSERT_EQ(std::system(script.c_str()), 0) << script;
}

// Commands that make host `h`, joined to the bridge by veth `port`, with the
// address 10.232.0.`n`.
std::string CheckInNamespace::bridged_host_script(const std::string& h, const std::string& port,
                                                  int n) {
  const std::string in = " && ip -n " + h + " ";
  return " && ip netns add " + h + " && ip link add " + port +
         " mtu 65535 type veth peer name eth0 mtu 65535 netns " + h + " && ip link set " + port +
         " master vbr up" + in + "link set lo up" + in + "addr add 10.232.0." + std::to_string(n) +
         "/24 dev eth0" + in + "link set eth0 up" + in + "route add 224.0.0.0/4 dev eth0";
}

void CheckInNamespace::make_bridged_hosts(int count) {
  std::string script =
      "ip link add vbr mtu 65535 type bridge mcast_snooping 0 && ip link set vbr up && "
      "ip addr add 10.232.0.254/24 dev vbr && ip route replace 224.0.0.0/4 dev vbr";
  // Names differ from one call to the next: a namespace's deletion frees
  // its end of a veth pair only later.
  for (int i = 1; i <= count; ++i) {
    std::string id = std::to_string(count);
    id += std::to_string(i);
    std::string host = "varnock-pub";
    host += id;
    host += "-";
    host += std::to_string(getpid());
    hosts_.push_back(host);
    const std::string& h = hosts_.back();
    std::string port = "vp";
    port += id;
    script += bridged_host_script(h, port, i);
  }
  ASSERT_EQ(std::system(script.c_str()), 0) << script;
}

void CheckInNamespace::fragment_on_loopback(const std::string& sysctls) {
  ASSERT_EQ(std::system("ip link set lo mtu 1500"), 0);
  if (!sysctls.empty()) {
    ASSERT_EQ(std::system(("sysctl -qw " + sysctls).c_str()), 0) << sysctls;
  }
}

std::unique_ptr<ChildProcess> CheckInNamespace::start_pace(const char* rate, const char* seconds,
                                                           std::vector<std::string> more) {
  std::vector<std::string> command{PACE_BINARY,
                                   "--rate",
                                   rate,
                                   "--seconds",
                                   seconds,
                                   "--url",
                                   "udpm://239.255.76.67:7667?ttl=0"};
  command.insert(command.end(), more.begin(), more.end());
  return std::make_unique<ChildProcess>(command, path("pace.out"), path("pace.err"));
}

}  // namespace varnock::testing
