#include "host/receive_socket_linux.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

namespace varnock::host {
namespace {

std::optional<int> int_option(int fd, int level, int name) {
  int value = 0;
  socklen_t size = sizeof value;
  if (getsockopt(fd, level, name, &value, &size) != 0) return std::nullopt;
  return value;
}

// The inode of the socket on `fd`; nullopt when `fd` holds no socket.
std::optional<ino_t> socket_inode(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return std::nullopt;
  return st.st_ino;
}

std::optional<uint16_t> bound_port(int fd, int domain) {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return std::nullopt;
  if (domain == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
}

bool is_receiving_socket(int fd, uint16_t port) {
  const std::optional<int> domain = int_option(fd, SOL_SOCKET, SO_DOMAIN);
  return domain && (*domain == AF_INET || *domain == AF_INET6) &&
         int_option(fd, SOL_SOCKET, SO_TYPE) == SOCK_DGRAM &&
         int_option(fd, SOL_SOCKET, SO_REUSEADDR).value_or(0) != 0 &&
         bound_port(fd, *domain) == port;
}

class LinuxReceiveSocket final : public ReceiveCounters {
 public:
  LinuxReceiveSocket(int fd, ino_t inode, int64_t receive_buffer_bytes)
      : fd_(fd), inode_(inode), receive_buffer_bytes_(receive_buffer_bytes) {}

  int64_t drops() const override { return read_drops(nullptr); }

  std::string drops_source() const override {
    std::string source;
    read_drops(&source);
    return source;
  }

  int64_t receive_buffer_bytes() const override { return receive_buffer_bytes_; }

 private:
  // Sets *source (if given) to where the count came from.
  int64_t read_drops(std::string* source) const {
    // LCM may have closed the socket and the descriptor may hold another by
    // now: its counters are not this socket's.
    if (socket_inode(fd_) != inode_) return -1;
    std::array<uint32_t, SK_MEMINFO_VARS> meminfo{};
    socklen_t size = sizeof meminfo;
    if (getsockopt(fd_, SOL_SOCKET, SO_MEMINFO, meminfo.data(), &size) == 0 &&
        size >= (SK_MEMINFO_DROPS + 1) * sizeof(uint32_t)) {
      if (source != nullptr) *source = "SO_MEMINFO";
      return meminfo[SK_MEMINFO_DROPS];
    }
    // The same counter, where SO_MEMINFO gives no drops: qemu-user passes
    // only its first field through, and a seccomp filter may refuse it.
    for (const char* path : {"/proc/self/net/udp", "/proc/self/net/udp6"}) {
      std::ifstream in(path);
      const std::string table((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
      if (const int64_t drops = udp_table_drops(table, inode_); drops >= 0) {
        if (source != nullptr) *source = path;
        return drops;
      }
    }
    return -1;
  }

  int fd_;
  ino_t inode_;
  int64_t receive_buffer_bytes_;
};

}  // namespace

int64_t udp_table_drops(std::string_view table, ino_t inode) {
  std::istringstream lines{std::string(table)};
  std::string line;
  std::getline(lines, line);  // the header
  while (std::getline(lines, line)) {
    // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ref pointer drops
    std::istringstream words(line);
    std::array<std::string, 13> w;
    for (std::string& word : w) {
      if (!(words >> word)) break;
    }
    std::string extra;
    if (w[12].empty() || words >> extra) continue;
    uint64_t found = 0;
    int64_t drops = -1;
    const auto [inode_end, inode_ec] =
        std::from_chars(w[9].data(), w[9].data() + w[9].size(), found);
    if (inode_ec != std::errc() || inode_end != w[9].data() + w[9].size() || found != inode)
      continue;
    const auto [end, ec] = std::from_chars(w[12].data(), w[12].data() + w[12].size(), drops);
    return ec == std::errc() && end == w[12].data() + w[12].size() && drops >= 0 ? drops : -1;
  }
  return -1;
}

std::unique_ptr<ReceiveCounters> find_receive_socket(uint16_t port) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return nullptr;
  int found = -1;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    int fd = -1;
    const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), fd);
    if (ec != std::errc() || end != name.data() + name.size() || fd == dirfd(dir)) continue;
    if ((found < 0 || fd < found) && socket_inode(fd) && is_receiving_socket(fd, port)) found = fd;
  }
  closedir(dir);
  if (found < 0) return nullptr;
  const std::optional<ino_t> inode = socket_inode(found);
  if (!inode) return nullptr;
  return std::make_unique<LinuxReceiveSocket>(
      found, *inode, int_option(found, SOL_SOCKET, SO_RCVBUF).value_or(-1));
}

}  // namespace varnock::host
