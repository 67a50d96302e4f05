// How a message travels through LCM's udpm provider and IP: the datagrams
// LCM cuts it into, the IP fragments each becomes on a link's MTU, and what
// reassembling them holds of the kernel's memory.
#ifndef VARNOCK_HOST_FRAGMENTATION_H_
#define VARNOCK_HOST_FRAGMENTATION_H_

#include <cstdint>

namespace varnock::host {

struct OnTheWire {
  int64_t datagrams = 0;               // LCM's: one, or fragments of up to 65,487 bytes
  int64_t fragments_per_datagram = 0;  // IP packets of the largest datagram
  int64_t packets = 0;                 // IP packets of the whole message
  // Kernel memory one largest datagram holds while it is reassembled (an
  // estimate: each fragment is charged its buffer, a power of two above the
  // MTU plus 256 bytes of bookkeeping, 2,304 bytes at MTU 1500 as measured
  // on veth); 0 when it is not fragmented.
  int64_t reassembly_bytes = 0;
};

// A message of `message_bytes` (fingerprint included) on a channel of
// `channel_length` characters over a link of `mtu` bytes. Sizes beyond what
// LCM sends and MTUs below IPv4's 68 give all zeros.
OnTheWire on_the_wire(int64_t message_bytes, int64_t channel_length, int64_t mtu);

// The share of messages of `packets` packets lost when each packet is lost
// with probability `packet_loss`: 1 - (1 - p)^n.
double message_loss(double packet_loss, int64_t packets);

}  // namespace varnock::host

#endif  // VARNOCK_HOST_FRAGMENTATION_H_
