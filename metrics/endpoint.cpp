#include "metrics/endpoint.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <charconv>

namespace varnock::metrics {
namespace {

constexpr std::string_view kWants =
    "--metrics wants ADDRESS:PORT, [IPV6-ADDRESS]:PORT or :PORT (127.0.0.1 alone)";

// The value as a message may show it: printable ASCII, the rest as '?', and
// not more than a line's worth of it.
std::string shown(std::string_view text) {
  constexpr size_t kMaxShown = 64;
  std::string s = "'";
  for (const char c : text.substr(0, kMaxShown)) s += c >= ' ' && c <= '~' ? c : '?';
  if (text.size() > kMaxShown) s += "...";
  return s + "'";
}

bool fail(std::string_view text, const std::string& reason, std::string* why) {
  *why = std::string(kWants) + ", not " + shown(text) + ": " + reason;
  return false;
}

bool all_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool parse_port(std::string_view s, uint16_t* port) {
  if (!all_digits(s) || s.size() > 5 || (s.size() > 1 && s.front() == '0')) return false;
  unsigned n = 0;
  std::from_chars(s.data(), s.data() + s.size(), n);
  if (n > 65535) return false;
  *port = static_cast<uint16_t>(n);
  return true;
}

// `address` (no brackets) read as `family` into its usual form; false when
// it is not one.
bool numeric_address(std::string_view address, int family, std::string* out) {
  // Longer than any address inet_pton reads; keeps the copy small.
  if (address.size() >= INET6_ADDRSTRLEN) return false;
  const std::string text(address);
  std::array<unsigned char, 16> bytes{};
  if (inet_pton(family, text.c_str(), bytes.data()) != 1) return false;
  std::array<char, INET6_ADDRSTRLEN> canonical{};
  if (inet_ntop(family, bytes.data(), canonical.data(), canonical.size()) == nullptr) return false;
  *out = canonical.data();
  return true;
}

bool is_localhost(std::string_view s) {
  constexpr std::string_view kLocalhost = "localhost";
  return s.size() == kLocalhost.size() &&
         std::equal(s.begin(), s.end(), kLocalhost.begin(),
                    [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b; });
}

}  // namespace

bool parse_endpoint(std::string_view text, Endpoint* out, std::string* why) {
  Endpoint e;
  std::string_view port_text;
  if (text.empty()) return fail(text, "it is empty", why);
  if (text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return fail(text, "'[' without its ']'", why);
    const std::string_view address = text.substr(1, close - 1);
    if (!numeric_address(address, AF_INET6, &e.address)) {
      return fail(text, shown(address) + " is not a numeric IPv6 address", why);
    }
    e.ipv6 = true;
    if (close + 1 == text.size() || text[close + 1] != ':') {
      return fail(text, "no ':PORT' after ']'", why);
    }
    port_text = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
      return fail(text,
                  all_digits(text) ? "no ':' before the port (write :" + std::string(text) +
                                         " to serve on 127.0.0.1 alone)"
                                   : std::string("no ':PORT' at its end"),
                  why);
    }
    const std::string_view address = text.substr(0, colon);
    port_text = text.substr(colon + 1);
    if (address.find(':') != std::string_view::npos) {
      return fail(text, "an IPv6 address goes in brackets, as in [::1]:9464", why);
    }
    if (!address.empty() && !is_localhost(address) &&
        !numeric_address(address, AF_INET, &e.address)) {
      const bool name = std::any_of(address.begin(), address.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
      });
      return fail(text,
                  shown(address) + (name ? " is not a numeric address (no name is looked up but "
                                           "localhost, which is 127.0.0.1)"
                                         : " is not an IPv4 address"),
                  why);
    }
  }
  if (port_text.empty()) return fail(text, "no port after ':'", why);
  if (!parse_port(port_text, &e.port)) {
    return fail(text,
                "the port " + shown(port_text) +
                    " is not a decimal number from 0 to 65535 (with no sign or leading zero)",
                why);
  }
  *out = e;
  return true;
}

std::string endpoint_text(const Endpoint& endpoint, uint16_t port) {
  const std::string address = endpoint.ipv6 ? "[" + endpoint.address + "]" : endpoint.address;
  return address + ":" + std::to_string(port);
}

std::string read_metrics_option(std::string_view value, std::string* out) {
  Endpoint where;
  std::string why;
  if (!parse_endpoint(value, &where, &why)) return why;
  *out = value;
  return "";
}

std::string read_metrics_file_option(std::string_view value, std::string* out) {
  if (value.empty()) return "--metrics-file needs a file name";
  *out = value;
  return "";
}

}  // namespace varnock::metrics
