#include "bus/lcm_url.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace varnock::bus {
namespace {

constexpr std::string_view kDefaultNetwork = "239.255.76.67:7667";
constexpr size_t kMaxUnknownOptions = 8;

// A whole number as strtol(s, nullptr, 0) reads it (decimal, 0x hex, 0
// octal), from 0 to `max`, with nothing after it; nullopt otherwise.
std::optional<int64_t> parse_number(std::string_view s, int64_t max) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  } else if (s.size() > 1 && s[0] == '0') {
    base = 8;
    s.remove_prefix(1);
  }
  if (s.empty() || s.front() == '-' || s.front() == '+') return std::nullopt;
  int64_t n = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n, base);
  if (ec != std::errc() || end != s.data() + s.size() || n > max) return std::nullopt;
  return n;
}

std::string quoted(std::string_view s) {
  std::string q(1, '\'');
  q.append(s);
  q += '\'';
  return q;
}

std::string parse_group(std::string_view text, LcmUrl* out) {
  // inet_aton, as LCM uses, also takes 239.1 or 0xEF.1 and stops at a space;
  // only the characters of an address reach it.
  if (text.empty() || text.size() > 32 ||
      text.find_first_not_of("0123456789abcdefABCDEFxX.") != std::string_view::npos) {
    return "the multicast group " + quoted(text) + " is not an IPv4 address";
  }
  out->group_text = std::string(text);
  if (inet_aton(out->group_text.c_str(), &out->group) == 0) {
    return "the multicast group " + quoted(text) + " is not an IPv4 address";
  }
  if (!IN_MULTICAST(ntohl(out->group.s_addr))) {
    return "the group " + quoted(text) +
           " is not a multicast address (224.0.0.0 to 239.255.255.255)";
  }
  return "";
}

std::string parse_network(std::string_view network, LcmUrl* out) {
  if (network.empty()) network = kDefaultNetwork;
  const size_t colon = network.find(':');
  if (std::string e = parse_group(network.substr(0, colon), out); !e.empty()) return e;
  if (colon == std::string_view::npos) {
    return "no port after the group (LCM would use port 0, which no publisher reaches): "
           "write " +
           out->group_text + ":7667";
  }
  const std::string_view port_text = network.substr(colon + 1);
  const std::optional<int64_t> port = parse_number(port_text, 65535);
  if (!port || *port == 0) {
    return "the port " + quoted(port_text) + " is not a number from 1 to 65535";
  }
  out->port = static_cast<uint16_t>(*port);
  return "";
}

std::string parse_option(std::string_view option, LcmUrl* out) {
  const size_t eq = option.find('=');
  const std::string_view key = option.substr(0, eq);
  const std::string_view value = eq == std::string_view::npos ? "" : option.substr(eq + 1);
  if (key.empty()) return "";  // LCM skips "&&" and "=x"
  if (key == "ttl") {
    const std::optional<int64_t> ttl = parse_number(value, 255);
    if (!ttl) return "ttl " + quoted(value) + " is not a number from 0 to 255";
    out->ttl = static_cast<int>(*ttl);
  } else if (key == "recv_buf_size") {
    // LCM keeps it in an int.
    const std::optional<int64_t> size = parse_number(value, INT32_MAX);
    if (!size) {
      return "recv_buf_size " + quoted(value) + " is not a number of bytes from 0 to 2147483647";
    }
    out->recv_buf_size = *size;
  } else if (key != "transmit_only" && out->unknown_options.size() < kMaxUnknownOptions) {
    out->unknown_options.emplace_back(key);
  }
  return "";
}

// LCM keeps each option's last value; it takes mode r, w or a, and leaves
// the mode as it was for any other value.
void parse_file_option(std::string_view option, LcmUrl* out) {
  // std::find rather than find(): GCC 11 warns of a memchr bound its own
  // inlining of string_view::find made up.
  const auto* const eq = std::find(option.begin(), option.end(), '=');
  const std::string_view key(option.begin(), eq);
  const std::string_view value = eq == option.end() ? "" : std::string_view(eq + 1, option.end());
  if (key == "mode") {
    if (value == "r" || value == "w" || value == "a") out->mode = value[0];
  } else if (key == "start_timestamp") {
    out->start_timestamp = true;
  }
}

// LCM splits the options at every '?' and '&'.
template <typename ParseOption>
std::string parse_options(std::string_view options, ParseOption parse) {
  while (!options.empty()) {
    const size_t end = options.find_first_of("?&");
    if (std::string e = parse(options.substr(0, end)); !e.empty()) return e;
    options = end == std::string_view::npos ? "" : options.substr(end + 1);
  }
  return "";
}

}  // namespace

std::string parse_lcm_url(std::string_view url, LcmUrl* out) {
  *out = LcmUrl();
  const size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) {
    return "the URL " + quoted(url) + " is not of the form PROVIDER://NETWORK?OPTIONS";
  }
  out->provider = std::string(url.substr(0, scheme_end));
  const std::string_view rest = url.substr(scheme_end + 3);
  const size_t query = rest.find('?');
  const std::string_view options = query == std::string_view::npos ? "" : rest.substr(query + 1);
  if (out->file()) {
    out->path = std::string(rest.substr(0, query));
    return parse_options(options, [out](std::string_view option) {
      parse_file_option(option, out);
      return std::string();
    });
  }
  if (!out->udpm()) return "";
  if (std::string e = parse_network(rest.substr(0, query), out); !e.empty()) return e;
  // A later value wins.
  return parse_options(options,
                       [out](std::string_view option) { return parse_option(option, out); });
}

std::string url_in_use(std::string_view given) {
  if (!given.empty()) return std::string(given);
  const char* env = std::getenv("LCM_DEFAULT_URL");
  return env != nullptr && *env != '\0' ? env : kLcmDefaultUrl;
}

}  // namespace varnock::bus
