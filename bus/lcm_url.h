// An LCM URL read the way LCM 1.3.1 reads it: PROVIDER://NETWORK?OPTIONS,
// for the udpm provider GROUP:PORT with the options ttl and recv_buf_size,
// for the file provider a log's path with the options mode and
// start_timestamp.
#ifndef VARNOCK_BUS_LCM_URL_H_
#define VARNOCK_BUS_LCM_URL_H_

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnock::bus {

// LCM's default provider: what a program opens when neither its --url nor
// LCM_DEFAULT_URL names a bus.
inline constexpr char kLcmDefaultUrl[] = "udpm://239.255.76.67:7667?ttl=0";

// The bus a program opens: `given` (its --url) when not empty, else
// LCM_DEFAULT_URL when set and not empty, else kLcmDefaultUrl. Reads the
// environment: call it before starting threads.
std::string url_in_use(std::string_view given);

struct LcmUrl {
  std::string provider;  // "udpm", "file", ...: the part before "://"
  bool udpm() const { return provider == "udpm"; }

  // Only for udpm. An empty network part means LCM's default 239.255.76.67:7667.
  in_addr group{};
  std::string group_text;  // the group as written, e.g. "239.255.76.67"
  uint16_t port = 0;
  int ttl = 0;                               // LCM's default: this host only
  std::optional<int64_t> recv_buf_size;      // absent or 0: LCM leaves the socket's default
  std::vector<std::string> unknown_options;  // names LCM ignores (a typo, say); at most 8

  // Only for file: the log's path as LCM opens it (as written: relative to
  // the working directory, nothing decoded; empty when missing), whether
  // LCM writes it ('w', 'a') or reads it ('r': also for a mode LCM does not
  // know), and whether start_timestamp makes LCM seek into it.
  bool file() const { return provider == "file"; }
  std::string path;
  char mode = 'r';
  bool start_timestamp = false;
};

// Reads `url` into *out; returns "" or what is wrong with it. A URL of another
// provider is read only as far as its provider. For udpm it is stricter than
// LCM, which reads "ttl=x" as 0, "7667x" as 7667 and a missing port as port 0:
// those are errors here, since the bus LCM would open is not the one meant.
// Numbers may be written as C does (0x1DF3, 017); each is range-checked.
std::string parse_lcm_url(std::string_view url, LcmUrl* out);

}  // namespace varnock::bus

#endif  // VARNOCK_BUS_LCM_URL_H_
