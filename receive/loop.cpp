#include "receive/loop.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/signals.h"

namespace varnock::receive {
namespace {

// A wait that ends this much later than asked means the process did not run.
constexpr int64_t kStallMs = 1000;

// The kernel's drops on LCM's receiving socket, and the host's network
// counters, read into the account several times a second, so that each
// count lands close to when it happened: between the last reading and this.
class CounterReader {
 public:
  static constexpr int64_t kEveryMs = 100;

  CounterReader(const host::ReceiveCounters* socket, const host::Host* host,
                account::Account& account, int64_t now_ms)
      : socket_(socket), host_(host), account_(account), read_ms_(now_ms) {
    if (socket_ != nullptr) drops_ = socket_->drops();
    if (drops_ >= 0) account_.count_kernel_drops(0, now_ms);
    if (host_ != nullptr) network_ = host_->network_counters();
    if (network_known()) account_.count_network(0, 0, 0, 0, now_ms);
  }

  // Reads the counts when kEveryMs have passed since the last reading, or
  // whenever `now` is set (the run ends). Counts read after a stall (the
  // process stopped) are booked now, not halfway: the datagrams the kernel
  // dropped meanwhile belong with the loss the backlog shows now.
  void read(int64_t now_ms, bool now = false) {
    if (!now && now_ms - read_ms_ < kEveryMs && now_ms >= read_ms_) return;
    const int64_t from = std::min(read_ms_, now_ms);
    const int64_t at = now_ms - from > kStallMs ? now_ms : from + (now_ms - from) / 2;
    read_ms_ = now_ms;
    if (drops_ >= 0) {
      if (const int64_t drops = socket_->drops(); drops >= drops_) {
        account_.count_kernel_drops(drops - drops_, at);
        drops_ = drops;
      }
    }
    if (network_known()) {
      const host::NetworkCounters n = host_->network_counters();
      const int64_t fails = n.reassembly_failures - network_.reassembly_failures;
      const int64_t timeouts = n.reassembly_timeouts - network_.reassembly_timeouts;
      const int64_t checksums = n.checksum_errors - network_.checksum_errors;
      // Without the queues waiting, only those that timed out are known.
      const int64_t queues_left = n.reassembly_queues >= 0 && network_.reassembly_queues >= 0
                                      ? n.reassembly_queues - network_.reassembly_queues + timeouts
                                      : timeouts;
      // Counters that went back (another namespace's, or reset) tell nothing.
      if (fails >= 0 && timeouts >= 0 && checksums >= 0) {
        account_.count_network(fails, timeouts, queues_left, checksums, at);
        network_ = n;
      }
    }
  }

 private:
  bool network_known() const {
    return network_.reassembly_failures >= 0 && network_.reassembly_timeouts >= 0 &&
           network_.checksum_errors >= 0;
  }

  const host::ReceiveCounters* socket_;
  const host::Host* host_;
  account::Account& account_;
  int64_t read_ms_;     // when the counts were last read
  int64_t drops_ = -1;  // the socket's count at the last reading; -1 when unknown
  host::NetworkCounters network_;
};

int64_t monotonic_ms(Clock& clock) { return clock.monotonic_nanoseconds() / 1'000'000; }

// A wait that overran its time by `stalled_ms`: the process was stopped
// (Ctrl+Z, SIGSTOP) or starved of CPU. Told to the account and the user.
void note_stall(account::Account& account, int64_t stalled_ms) {
  account.note_stall(stalled_ms);
  std::fprintf(stderr,
               "varnock-check: note: this process was stopped or starved for %.1f s; what was "
               "published meanwhile waited in the socket and comes late, or was lost there "
               "(counted with its cause)\n",
               static_cast<double>(stalled_ms) / 1000);
}

}  // namespace

LoopEnd receive(lcm_t* bus, int64_t seconds, Clock& clock, account::Account& account,
                const RowSink& rows, const host::ReceiveCounters* socket, const host::Host* host,
                EventCount* events, const Streams* streams) {
  EventCount unlimited;
  if (events == nullptr) events = &unlimited;
  CounterReader drops(socket, host, account, clock.wall_milliseconds());

  const int64_t start_ns = clock.monotonic_nanoseconds();
  // Options bound `seconds`, so this cannot overflow.
  const int64_t end_ns = seconds > 0 ? start_ns + seconds * 1'000'000'000 : INT64_MAX;
  const int fd = lcm_get_fileno(bus);
  LoopEnd end = LoopEnd::kSignal;
  while (received_stop_signal() == 0) {
    if (events->limit >= 0 && events->handled >= events->limit) {
      end = LoopEnd::kEndOfInput;
      break;
    }
    const int64_t now_ns = clock.monotonic_nanoseconds();
    if (now_ns >= end_ns) {
      end = LoopEnd::kSeconds;
      break;
    }
    // Wakes at every change of second, when rows may have settled, and
    // often enough to read the drops.
    const int64_t to_second =
        std::min<int64_t>(1000 - clock.wall_milliseconds() % 1000, CounterReader::kEveryMs);
    const int64_t to_end = (end_ns - now_ns + 999'999) / 1'000'000;
    const int64_t wait_ms = std::clamp<int64_t>(std::min(to_second, to_end), 1, 1000);
    const Wake wake = wait_taking_signals(fd, wait_ms * 1'000'000);
    const int64_t woke_ms = monotonic_ms(clock);
    if (const int64_t overran_ms = woke_ms - now_ns / 1'000'000 - wait_ms; overran_ms > kStallMs) {
      note_stall(account, overran_ms);
    }
    if (wake == Wake::kSignal) continue;  // a stop ends the loop at its test
    // The account moves to the time before the message is handled, so that
    // a step of the wall clock is seen before a message is stamped with it.
    const int64_t wall_ms = clock.wall_milliseconds();
    bool written = true;
    std::vector<account::SecondReport> settled = account.advance(wall_ms, woke_ms);
    if (streams != nullptr) streams->join.hold(streams->account.advance(wall_ms));
    for (account::SecondReport& r : settled) {
      if (streams != nullptr) streams->join.join(r);
      written = written && rows(r);
    }
    if (!written) {
      end = LoopEnd::kOutputError;
      break;
    }
    // After the account has moved: counters read after a stall are booked
    // now, in the row the move opened.
    drops.read(wall_ms);
    // Readable, LCM has a message queued, so lcm_handle takes it without the
    // wait of its own that lcm_handle_timeout would add. -1 is a bus that
    // delivers no more, as the file provider does at the end of its log.
    if (wake == Wake::kReadable) {
      if (lcm_handle(bus) < 0) {
        end = LoopEnd::kEndOfInput;
        break;
      }
      ++events->handled;
    }
  }
  drops.read(clock.wall_milliseconds(), true);
  return end;
}

}  // namespace varnock::receive
