// What this host's network stack dropped of the datagrams programs gave it to
// send, all sockets together (this network namespace's), behind a seam tests
// replace. LCM does not ask for such errors: its publish reports success.
#ifndef VARNOCK_PLATFORM_SEND_DROPS_H_
#define VARNOCK_PLATFORM_SEND_DROPS_H_

#include <cstdint>
#include <memory>

namespace varnock {

// The kernel's counters of datagrams it dropped on the way out; -1 where
// one cannot be read.
struct SendCounters {
  int64_t send_buffer_errors = -1;      // Udp: SndbufErrors, a full buffer or link queue
  int64_t fragmentation_failures = -1;  // Ip: FragFails, a fragment refused on the way out
  int64_t output_discards = -1;         // Ip: OutDiscards
};

class SendDropSource {
 public:
  virtual ~SendDropSource() = default;
  // The counters now. Any thread.
  virtual SendCounters read() = 0;
};

// This host's: /proc/self/net/snmp on Linux; every count unknown on Windows.
std::unique_ptr<SendDropSource> make_system_send_drop_source();

// Datagrams dropped between two readings: the largest rise of the three, as
// each counts a dropped datagram once (a fragmented datagram refused by the
// link's queue raises all three). -1 when none is known in both.
int64_t send_drops_between(const SendCounters& before, const SendCounters& after);

// The drops of one source since the last reading and since the first, the
// one reading made when it is built. One thread.
class SendDropTally {
 public:
  explicit SendDropTally(SendDropSource& source)
      : source_(source), first_(source.read()), last_(first_) {}

  // Drops since the last call (or since the start); -1 when unknown.
  int64_t since_last() {
    const SendCounters now = source_.read();
    const int64_t drops = send_drops_between(last_, now);
    last_ = now;
    return drops;
  }
  // Drops since the start; -1 when unknown.
  int64_t since_start() { return send_drops_between(first_, source_.read()); }

 private:
  SendDropSource& source_;
  SendCounters first_;
  SendCounters last_;
};

}  // namespace varnock

#endif  // VARNOCK_PLATFORM_SEND_DROPS_H_
