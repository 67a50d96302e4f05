// The receiving socket's drops, from SO_MEMINFO and from /proc/net/udp.
#include "host/receive_socket_linux.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <iterator>
#include <string>

namespace varnock::host {
namespace {

constexpr char kHeader[] =
    "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
    "timeout inode ref pointer drops            \n";

TEST(UdpTableDrops, ReadsTheDropsOfTheSocketsLine) {
  const std::string table =
      std::string(kHeader) +
      "  784: 00000000:1DF3 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        "
      "0 40117 2 000000007b1ad3e5 0\n"
      "  785: 00000000:1DF3 00000000:0000 07 00000000:00034200 00:00000000 00000000     0        "
      "0 40118 2 00000000f9a0c4e1 1409\n"
      // udp6's addresses are longer; the columns are the same.
      "  786: 00000000000000000000000000000000:1DF4 00000000000000000000000000000000:0000 07 "
      "00000000:00000000 00:00000000 00000000     0        0 40119 2 00000000aa 7\n"
      // Damaged lines: a short one, a word for a count, an extra column.
      "  787: 00000000:1DF5 00000000:0000 07 00000000:00000000 00:00000000 00000000 0 0 40120 2\n"
      "  788: 00000000:1DF6 00000000:0000 07 00000000:00000000 00:00000000 00000000 0 0 40121 2 "
      "00 x\n"
      "  789: 00000000:1DF7 00000000:0000 07 00000000:00000000 00:00000000 00000000 0 0 40122 2 "
      "00 5 6\n";
  struct Case {
    ino_t inode;
    int64_t drops;
  };
  for (const Case c : {Case{40117, 0}, Case{40118, 1409}, Case{40119, 7}, Case{40120, -1},
                       Case{40121, -1}, Case{40122, -1}, Case{4011, -1}, Case{1, -1}}) {
    EXPECT_EQ(udp_table_drops(table, c.inode), c.drops) << "inode " << c.inode;
  }
  // The header alone names no socket, whatever its words.
  EXPECT_EQ(udp_table_drops(kHeader, 0), -1);
  EXPECT_EQ(udp_table_drops("", 40118), -1);
}

class Socket {
 public:
  Socket() : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// A socket bound as LCM's receiving socket is, too small for what is sent
// to it: the kernel drops, and both of its counts say how many.
TEST(ReceiveSocket, DropsAgreeWithTheKernelsTable) {
  Socket receiver;
  Socket sender;
  ASSERT_GE(receiver.fd(), 0);
  ASSERT_GE(sender.fd(), 0);
  const int one = 1;
  const int small = 4096;
  ASSERT_EQ(setsockopt(receiver.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one), 0);
  ASSERT_EQ(setsockopt(receiver.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(receiver.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t size = sizeof address;
  ASSERT_EQ(getsockname(receiver.fd(), reinterpret_cast<sockaddr*>(&address), &size), 0);

  const auto counters = find_receive_socket(ntohs(address.sin_port));
  ASSERT_NE(counters, nullptr);
  EXPECT_EQ(counters->drops(), 0);
  const std::array<char, 1000> datagram{};
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(sendto(sender.fd(), datagram.data(), datagram.size(), 0,
                     reinterpret_cast<const sockaddr*>(&address), sizeof address),
              static_cast<ssize_t>(datagram.size()));
  }
  const int64_t drops = counters->drops();
  EXPECT_GT(drops, 100) << "a buffer of " << small << " bytes held more than 100 datagrams";
  EXPECT_EQ(counters->drops_source(), "SO_MEMINFO");

  struct stat st {};
  ASSERT_EQ(fstat(receiver.fd(), &st), 0);
  std::ifstream in("/proc/self/net/udp");
  const std::string table((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(udp_table_drops(table, st.st_ino), drops);
}

}  // namespace
}  // namespace varnock::host
