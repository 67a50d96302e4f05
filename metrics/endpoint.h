// Where --metrics serves: "ADDRESS:PORT", "[IPv6]:PORT", or ":PORT" for
// 127.0.0.1 alone, so that serving beyond this host is always asked for by
// name (0.0.0.0:9464, [::]:9464).
#ifndef VARNOCK_METRICS_ENDPOINT_H_
#define VARNOCK_METRICS_ENDPOINT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace varnock::metrics {

struct Endpoint {
  bool ipv6 = false;
  // A numeric address in its usual form: "127.0.0.1", "::1".
  std::string address = "127.0.0.1";
  // 0: any free port (the server tells which).
  uint16_t port = 0;
};

// Reads --metrics' value into *out; false with *why saying what is wrong with
// it. The address is a numeric IPv4 address, an IPv6 one in brackets, or
// "localhost", which is 127.0.0.1: no name is looked up, so the interface
// served is the one written. The port is decimal, 0 to 65535, with no sign
// or leading zero.
bool parse_endpoint(std::string_view text, Endpoint* out, std::string* why);

// The command line's --metrics VALUE and --metrics-file VALUE, as every
// program reads them: *out takes the value; returns "" or what is wrong.
std::string read_metrics_option(std::string_view value, std::string* out);
std::string read_metrics_file_option(std::string_view value, std::string* out);

// "127.0.0.1:9464", "[::1]:9464": `endpoint` with `port` as a user writes it.
std::string endpoint_text(const Endpoint& endpoint, uint16_t port);

}  // namespace varnock::metrics

#endif  // VARNOCK_METRICS_ENDPOINT_H_
