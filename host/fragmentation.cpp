#include "host/fragmentation.h"

#include <bit>
#include <cmath>

namespace varnock::host {
namespace {

// LCM 1.3.1's udpm limits (udpm_util.h): a message with its channel name up
// to this many bytes goes in one datagram after an 8-byte header...
constexpr int64_t kShortMessageMax = 65'499;
constexpr int64_t kShortHeader = 8;
// ...a larger one in fragments of this much, each after a 20-byte header;
// at most 65,535 of them.
constexpr int64_t kFragmentPayload = 65'487;
constexpr int64_t kLongHeader = 20;
constexpr int64_t kMaxFragments = 65'535;

constexpr int64_t kUdpHeader = 8;
constexpr int64_t kIpHeader = 20;
constexpr int64_t kMinimumMtu = 68;
constexpr int64_t kBookkeeping = 256;

// IP packets of a UDP datagram of `udp_payload` bytes at `mtu`: every
// fragment but the last carries a multiple of 8 bytes.
int64_t fragments(int64_t udp_payload, int64_t mtu) {
  const int64_t ip_payload = udp_payload + kUdpHeader;
  const int64_t per_fragment = (mtu - kIpHeader) / 8 * 8;
  if (ip_payload + kIpHeader <= mtu) return 1;
  return (ip_payload + per_fragment - 1) / per_fragment;
}

}  // namespace

OnTheWire on_the_wire(int64_t message_bytes, int64_t channel_length, int64_t mtu) {
  OnTheWire w;
  if (message_bytes < 0 || channel_length < 0 || channel_length > 255 || mtu < kMinimumMtu ||
      mtu > (int64_t{1} << 30)) {
    return w;
  }
  const int64_t payload = channel_length + 1 + message_bytes;
  if (payload <= kShortMessageMax) {
    w.datagrams = 1;
    w.fragments_per_datagram = fragments(kShortHeader + payload, mtu);
    w.packets = w.fragments_per_datagram;
  } else {
    w.datagrams = payload / kFragmentPayload + (payload % kFragmentPayload != 0 ? 1 : 0);
    if (w.datagrams > kMaxFragments) return {};
    const int64_t full = payload / kFragmentPayload;
    const int64_t rest = payload % kFragmentPayload;
    const int64_t per_full = fragments(kLongHeader + kFragmentPayload, mtu);
    w.fragments_per_datagram = per_full;
    w.packets = full * per_full + (rest > 0 ? fragments(kLongHeader + rest, mtu) : 0);
  }
  if (w.fragments_per_datagram > 1) {
    const auto buffer = static_cast<int64_t>(std::bit_ceil(static_cast<uint64_t>(mtu)));
    w.reassembly_bytes = w.fragments_per_datagram * (buffer + kBookkeeping);
  }
  return w;
}

double message_loss(double packet_loss, int64_t packets) {
  if (!(packet_loss > 0) || packets <= 0) return 0;
  if (packet_loss >= 1) return 1;
  return -std::expm1(static_cast<double>(packets) * std::log1p(-packet_loss));
}

}  // namespace varnock::host
