// A process's sockets as /proc tells them: the kernel's socket tables and
// the descriptors that hold them.
#ifndef VARNOCK_TESTS_SUPPORT_PROC_SOCKETS_H_
#define VARNOCK_TESTS_SUPPORT_PROC_SOCKETS_H_

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace varnock::testing {

// A row of /proc/.../net/{tcp,tcp6,udp,udp6}.
struct SocketRow {
  uint16_t local_port = 0;
  uint16_t remote_port = 0;
  uint64_t rx_queue = 0;  // bytes waiting to be read
  std::string inode;
};

// The rows of the table at `path`; none when it cannot be read.
std::vector<SocketRow> socket_rows(const std::string& path);

// The inodes of the sockets the process at `proc` ("/proc/self",
// "/proc/PID") has open: its descriptors' "socket:[N]" links.
std::set<std::string> socket_inodes(const std::string& proc);

}  // namespace varnock::testing

#endif  // VARNOCK_TESTS_SUPPORT_PROC_SOCKETS_H_
