// LCM URLs read as LCM reads them, and stricter where LCM would open
// another bus than the one meant.
#include "bus/lcm_url.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace varnock::bus {
namespace {

TEST(LcmUrl, ReadsWhatLcmReads) {
  struct Case {
    const char* url;
    const char* group;
    uint16_t port;
    int ttl;
    int64_t recv_buf_size;  // -1: none
  };
  const Case cases[] = {
      {"udpm://239.255.76.67:7667?ttl=0", "239.255.76.67", 7667, 0, -1},
      {"udpm://", "239.255.76.67", 7667, 0, -1},  // LCM's default network
      {"udpm://?ttl=1", "239.255.76.67", 7667, 1, -1},
      {"udpm://239.255.76.68:7000?ttl=1&recv_buf_size=8388608", "239.255.76.68", 7000, 1,
       8'388'608},
      // Numbers as strtol(..., 0) reads them.
      {"udpm://239.255.76.67:0x1DF3?ttl=0x2&recv_buf_size=010", "239.255.76.67", 7667, 2, 8},
      {"udpm://224.0.0.1:+7667?ttl=255&recv_buf_size=2147483647", "224.0.0.1", 7667, 255,
       2'147'483'647},
      // Every '?' and '&' separates options; a later value wins; empty ones are skipped.
      {"udpm://239.255.76.67:7667?ttl=1?recv_buf_size=5&&ttl=0&", "239.255.76.67", 7667, 0, 5},
      {"udpm://239.255.76.67:7667?recv_buf_size=0", "239.255.76.67", 7667, 0, 0},
  };
  for (const Case& c : cases) {
    LcmUrl url;
    ASSERT_EQ(parse_lcm_url(c.url, &url), "") << c.url;
    EXPECT_TRUE(url.udpm());
    EXPECT_EQ(url.group_text, c.group) << c.url;
    std::array<char, INET_ADDRSTRLEN> text{};
    inet_ntop(AF_INET, &url.group, text.data(), text.size());
    EXPECT_STREQ(text.data(), c.group) << c.url;
    EXPECT_EQ(url.port, c.port) << c.url;
    EXPECT_EQ(url.ttl, c.ttl) << c.url;
    EXPECT_EQ(url.recv_buf_size.value_or(-1), c.recv_buf_size) << c.url;
    EXPECT_TRUE(url.unknown_options.empty()) << c.url;
  }
}

TEST(LcmUrl, OtherProvidersAreNotErrors) {
  for (const char* text : {"file:///tmp/run.log?mode=w", "memq://", "tcpq://localhost:7700"}) {
    LcmUrl url;
    ASSERT_EQ(parse_lcm_url(text, &url), "") << text;
    EXPECT_FALSE(url.udpm()) << text;
    EXPECT_EQ(url.provider, std::string(text).substr(0, std::string(text).find(':')));
  }
}

// A log's path as LCM opens it, and the options that decide whether LCM
// reads it: LCM keeps each option's last value, and a mode it does not know
// leaves the one before (mode=w&mode=x writes).
TEST(LcmUrl, ReadsALogsPathAndMode) {
  struct Case {
    const char* url;
    const char* path;
    char mode;
    bool start_timestamp;
  };
  const Case cases[] = {
      {"file:///tmp/run.log", "/tmp/run.log", 'r', false},
      {"file://run.log?speed=0", "run.log", 'r', false},
      {"file:///tmp/run.log?mode=w", "/tmp/run.log", 'w', false},
      {"file:///tmp/run.log?speed=0&mode=a", "/tmp/run.log", 'a', false},
      {"file:///tmp/run.log?mode=w?mode=r", "/tmp/run.log", 'r', false},
      {"file:///tmp/run.log?mode=w&mode=x", "/tmp/run.log", 'w', false},
      {"file:///tmp/a%20b.log?start_timestamp=1700000000000000", "/tmp/a%20b.log", 'r', true},
      {"file://?speed=0", "", 'r', false},
  };
  for (const Case& c : cases) {
    LcmUrl url;
    ASSERT_EQ(parse_lcm_url(c.url, &url), "") << c.url;
    EXPECT_TRUE(url.file()) << c.url;
    EXPECT_EQ(url.path, c.path) << c.url;
    EXPECT_EQ(url.mode, c.mode) << c.url;
    EXPECT_EQ(url.start_timestamp, c.start_timestamp) << c.url;
  }
}

TEST(LcmUrl, UnknownOptionsAreNamedAndBounded) {
  LcmUrl url;
  ASSERT_EQ(parse_lcm_url("udpm://239.255.76.67:7667?recv_buf_sz=8388608&transmit_only=1", &url),
            "");
  EXPECT_EQ(url.unknown_options, std::vector<std::string>{"recv_buf_sz"});
  EXPECT_FALSE(url.recv_buf_size);
  std::string many = "udpm://239.255.76.67:7667?";
  for (int i = 0; i < 100; ++i) many += std::to_string(i) + "k=1&";
  ASSERT_EQ(parse_lcm_url(many, &url), "");
  EXPECT_EQ(url.unknown_options.size(), 8u);
}

TEST(LcmUrl, MalformedUrlsAreErrorsThatSayWhy) {
  struct Case {
    const char* url;
    const char* error_contains;
  };
  const Case cases[] = {
      {"239.255.76.67:7667", "PROVIDER://"},
      {"", "PROVIDER://"},
      {"udpm://239.255.76.67", "no port"},
      {"udpm://239.255.76.67?ttl=0", "no port"},
      {"udpm://239.255.76.67:", "port ''"},
      {"udpm://239.255.76.67:0", "port '0'"},
      {"udpm://239.255.76.67:65536", "port '65536'"},
      {"udpm://239.255.76.67:7667x", "port '7667x'"},
      {"udpm://239.255.76.67:-7667", "port '-7667'"},
      {"udpm://239.255.76.67:99999999999999999999999999", "port '9999"},
      {"udpm://10.0.0.1:7667", "not a multicast address"},
      {"udpm://239.255.76.67 x:7667", "not an IPv4 address"},
      {"udpm://lcm.example:7667", "not an IPv4 address"},
      {"udpm://239.255.76.300:7667", "not an IPv4 address"},
      {"udpm://:7667", "not an IPv4 address"},
      {"udpm://239.255.76.67:7667?ttl=256", "ttl '256'"},
      {"udpm://239.255.76.67:7667?ttl=-1", "ttl '-1'"},
      {"udpm://239.255.76.67:7667?ttl=abc", "ttl 'abc'"},
      {"udpm://239.255.76.67:7667?ttl", "ttl ''"},
      {"udpm://239.255.76.67:7667?ttl=1x", "ttl '1x'"},
      {"udpm://239.255.76.67:7667?ttl=08", "ttl '08'"},
      {"udpm://239.255.76.67:7667?recv_buf_size=2147483648", "recv_buf_size '2147483648'"},
      {"udpm://239.255.76.67:7667?recv_buf_size=99999999999999999999999", "recv_buf_size '9999"},
      {"udpm://239.255.76.67:7667?recv_buf_size=-5", "recv_buf_size '-5'"},
      {"udpm://239.255.76.67:7667?recv_buf_size=0x", "recv_buf_size '0x'"},
      {"udpm://239.255.76.67:7667?recv_buf_size=8M", "recv_buf_size '8M'"},
  };
  for (const Case& c : cases) {
    LcmUrl url;
    const std::string error = parse_lcm_url(c.url, &url);
    EXPECT_NE(error.find(c.error_contains), std::string::npos)
        << c.url << " gave '" << error << "'";
  }
}

}  // namespace
}  // namespace varnock::bus
