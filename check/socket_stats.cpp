#include "check/socket_stats.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <fstream>
#include <memory>
#include <string>

namespace varnock::check {
namespace {

// The columns of a row: sl, local_address, rem_address, st, tx_queue:rx_queue,
// tr:tm->when, retrnsmt, uid, timeout, inode, ref, pointer, drops.
constexpr size_t kColumns = 13;

template <typename T>
bool parse_whole(std::string_view s, int base, T* out) {
  if (s.empty()) return false;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out, base);
  return ec == std::errc() && end == s.data() + s.size();
}

// Splits `line` at runs of spaces into at most kColumns + 1 words.
size_t split_columns(std::string_view line, std::array<std::string_view, kColumns + 1>* words) {
  size_t n = 0;
  size_t at = line.find_first_not_of(' ');
  while (at != std::string_view::npos && n < words->size()) {
    const size_t end = line.find(' ', at);
    (*words)[n++] = line.substr(at, end == std::string_view::npos ? end : end - at);
    at = line.find_first_not_of(' ', end);
  }
  return n;
}

std::optional<int> int_option(int fd, int level, int name) {
  int value = 0;
  socklen_t size = sizeof value;
  if (getsockopt(fd, level, name, &value, &size) != 0) return std::nullopt;
  return value;
}

// The inode of "socket:[INODE]", the target of a socket's /proc/self/fd link.
std::optional<uint64_t> socket_inode(const std::string& link) {
  constexpr std::string_view kPrefix = "socket:[";
  const std::string_view l = link;
  if (!l.starts_with(kPrefix) || !l.ends_with(']')) return std::nullopt;
  uint64_t inode = 0;
  if (!parse_whole(l.substr(kPrefix.size(), l.size() - kPrefix.size() - 1), 10, &inode)) {
    return std::nullopt;
  }
  return inode;
}

std::optional<uint16_t> bound_port(int fd, int domain) {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return std::nullopt;
  if (domain == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
}

}  // namespace

std::optional<UdpRow> parse_udp_row(std::string_view line) {
  std::array<std::string_view, kColumns + 1> w;
  if (split_columns(line, &w) != kColumns || !w[0].ends_with(':')) return std::nullopt;
  UdpRow row;
  uint64_t slot = 0;
  if (!parse_whole(w[0].substr(0, w[0].size() - 1), 10, &slot)) return std::nullopt;
  const size_t port_at = w[1].rfind(':');
  const size_t queues_at = w[4].find(':');
  uint64_t tx_queue = 0;
  if (port_at == std::string_view::npos || queues_at == std::string_view::npos ||
      !parse_whole(w[1].substr(port_at + 1), 16, &row.local_port) ||
      !parse_whole(w[4].substr(0, queues_at), 16, &tx_queue) ||
      !parse_whole(w[4].substr(queues_at + 1), 16, &row.rx_queue) ||
      !parse_whole(w[9], 10, &row.inode) || !parse_whole(w[12], 10, &row.drops)) {
    return std::nullopt;
  }
  return row;
}

std::optional<UdpRow> find_udp_row(std::string_view table, uint64_t inode) {
  while (!table.empty()) {
    const size_t end = table.find('\n');
    const std::optional<UdpRow> row = parse_udp_row(table.substr(0, end));
    if (row && row->inode == inode) return row;
    table = end == std::string_view::npos ? "" : table.substr(end + 1);
  }
  return std::nullopt;
}

std::optional<ReceiveSocket> ReceiveSocket::find(uint16_t port) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc/self/fd"), closedir);
  if (!dir) return std::nullopt;
  std::optional<ReceiveSocket> found;
  while (const dirent* entry = readdir(dir.get())) {
    int fd = -1;
    if (!parse_whole(std::string_view(entry->d_name), 10, &fd) || fd == dirfd(dir.get())) continue;
    if (found && found->fd_ < fd) continue;
    std::array<char, 64> link{};
    const std::string path = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = readlink(path.c_str(), link.data(), link.size() - 1);
    if (n <= 0) continue;
    const std::optional<uint64_t> inode = socket_inode(std::string(link.data(), n));
    if (!inode) continue;
    const std::optional<int> domain = int_option(fd, SOL_SOCKET, SO_DOMAIN);
    if (!domain || (*domain != AF_INET && *domain != AF_INET6) ||
        int_option(fd, SOL_SOCKET, SO_TYPE) != SOCK_DGRAM ||
        int_option(fd, SOL_SOCKET, SO_REUSEADDR).value_or(0) == 0 ||
        bound_port(fd, *domain) != port) {
      continue;
    }
    found = ReceiveSocket(fd, *inode, *domain == AF_INET6,
                          int_option(fd, SOL_SOCKET, SO_RCVBUF).value_or(-1));
  }
  return found;
}

int64_t ReceiveSocket::drops() const {
  // Row by row, so that a host with many sockets costs no memory.
  std::ifstream table(ipv6_ ? "/proc/self/net/udp6" : "/proc/self/net/udp");
  std::string line;
  while (std::getline(table, line)) {
    const std::optional<UdpRow> row = parse_udp_row(line);
    if (row && row->inode == inode_) return static_cast<int64_t>(row->drops);
  }
  return -1;
}

}  // namespace varnock::check
