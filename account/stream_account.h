// What a subscriber of the small sequenced streams ("VARNOCK_MSG_<k>")
// received, channel by channel: counts from each publisher run's sequence,
// what LCM's queue discarded, and times, second by second and for the whole
// run. No LCM, no system calls and no clock of its own: the caller passes
// every time. One thread at a time.
//
// Sequences. A run is one publisher id and run start on one channel. Every
// number from a run's first to its highest is received or lost, so for each
// channel received - duplicates + lost is exactly what its runs sent over
// that span:
// - a number above the highest counts the ones between as lost;
// - a number below the highest within kWindow is a duplicate when it was
//   seen, else a reordered message: one counted lost is taken back (late);
//   one below the run's first moves the first down, the numbers between
//   counting as lost;
// - a number further below, up to kMaxJump, is too old to tell a late message
//   from a repeat, and counts as a duplicate (a repeat changes no count but
//   its own; a late one leaves lost one too high);
// - a jump further than kMaxJump either way begins the run anew (counted in
//   `runs`) instead of counting billions lost: what was lost across it is
//   not counted. Numbers are compared modulo 2^64, so a run wrapping from
//   INT64_MAX to INT64_MIN simply continues.
// A run first heard with a number below kWindow, from a publisher whose run
// began after this account did (the run's age at sending, on its own clock,
// is within this host's time since the account began), counts from 0: the
// messages before its first, which this account could have received, are
// lost. Any other run counts from its first message received.
#ifndef VARNOCK_ACCOUNT_STREAM_ACCOUNT_H_
#define VARNOCK_ACCOUNT_STREAM_ACCOUNT_H_

#include <array>
#include <bitset>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "account/time_histogram.h"
#include "messages/stream_message_t.h"

namespace varnock::account {

// Channels VARNOCK_MSG_0 to VARNOCK_MSG_255.
using varnock::kMaxStreamChannels;

// A message's header, as decoded.
struct StreamHeader {
  int64_t publisher = 0;
  int64_t run_start_ns = 0;  // the run's start, on the publisher's clock
  int64_t sequence = 0;
  int64_t send_time_ns = 0;  // on the publisher's clock
};

// One message the account's handler got.
struct StreamArrival {
  int channel = 0;  // k of VARNOCK_MSG_<k>
  // Decoded, and its payload is what was sent; an invalid message counts as
  // corrupt and nothing else, its header unread.
  bool valid = false;
  StreamHeader header;
  int64_t recv_utime = 0;     // LCM's receive time, microseconds since 1970
  int64_t handler_utime = 0;  // the handler's start, the same clock
};

struct StreamCounts {
  int64_t received = 0;     // valid messages, duplicates included
  int64_t lost = 0;         // numbers of a run's span never received
  int64_t duplicates = 0;   // numbers received again (or too old to tell)
  int64_t reordered = 0;    // came after a higher number of their run
  int64_t late = 0;         // of those, ones counted lost before they came
  int64_t lost_in_lcm = 0;  // messages LCM's queue discarded; part of `lost`
  int64_t corrupt = 0;      // messages that failed decoding or the payload check
  int64_t runs = 0;         // publisher runs begun

  // Adds `d`'s counts, member by member.
  StreamCounts& operator+=(const StreamCounts& d);
};

// Percentiles of valid messages: latency is LCM's receive time minus the
// send time (two hosts' clocks), delivery the handler's start minus the send
// time (LCM's queue included), inter-arrival the gap between LCM's receive
// times of consecutive messages of the channel.
struct StreamTimes {
  TimePercentiles latency;
  TimePercentiles delivery;
  TimePercentiles inter_arrival;
};

struct StreamChannelFigures {
  int channel = 0;
  StreamCounts counts;
  StreamTimes times;
};

// One calendar second: an entry for each channel something was counted for
// in it, by channel number.
struct StreamSecond {
  int64_t second = 0;
  std::vector<StreamChannelFigures> channels;
};

// The whole run: an entry for each channel ever heard, by channel number.
struct StreamSummary {
  std::vector<StreamChannelFigures> channels;
  // Runs retired for want of room (kMaxRuns) while a channel had more: their
  // later messages begin runs anew, so counts may mislead.
  int64_t runs_retired = 0;
};

// Rows are kept open kSettleSeconds after their second, so that a late
// message can take back its loss in a row not yet reported. A gap is counted
// in the second it was found (an outage shows in the second messages came
// back). A late message takes its loss back from the totals, and from the
// newest open row that counted loss for its channel (usually the one that
// counted its own: reordering spans milliseconds); with none open, rows add
// up to more loss than the summary. Times are this host's wall clock,
// milliseconds since 1970.
//
// LCM's queue. Each channel is taken to have a subscription of its own,
// holding at most `queue_capacity` messages: LCM discards a message that
// arrives while it is full. A message waits there from LCM's receive time to
// its handler's start, so how full the queue was when one arrived is known
// from those of the channel's messages that came before it, and so is when
// it next had room (the oldest one's handler started). Of a gap that opened
// right after a message that filled the queue, the numbers that arrived
// before there was room again (their arrival put between those of the
// messages either side, by number) are counted `lost_in_lcm`. It is an
// inference: the receive time is the kernel's, a little before LCM takes the
// message, and a datagram the kernel or network dropped while the queue was
// full, which LCM would have discarded anyway, counts as LCM's.
class StreamAccount {
 public:
  static constexpr int64_t kSettleSeconds = 2;
  // After a stop, at most this many rows open for the seconds it lasted.
  static constexpr int64_t kMaxGapRows = 600;
  // Runs followed at once per channel, each with a window of kWindow numbers
  // (512 bytes): the one heard from longest ago retires for a new one.
  static constexpr size_t kMaxRuns = 64;
  static constexpr int64_t kWindow = 4096;
  static constexpr int64_t kMaxJump = int64_t{1} << 32;
  // Times cost three TimeHistograms (about 350 KiB) per channel heard, for
  // the run and for the newest row: about 180 MiB with all 256 channels.

  // `queue_capacity` is LCM's for each channel's subscription
  // (lcm_subscription_set_queue_capacity; LCM's own is 30); 0 or below, no
  // limit: nothing is counted lost in LCM's queue.
  StreamAccount(int64_t now_ms, int queue_capacity);

  // The account's handler got a message at `now_ms`. Channels outside
  // 0..kMaxStreamChannels-1 are ignored.
  void on_message(const StreamArrival& m, int64_t now_ms);

  // Moves the account to `now_ms` and returns the rows that have settled,
  // oldest first. A wall clock stepped back further than the open rows
  // reports them all and begins anew.
  std::vector<StreamSecond> advance(int64_t now_ms);

  // Returns every row still open; the account goes on from `now_ms`.
  std::vector<StreamSecond> finish(int64_t now_ms);

  // The run so far.
  StreamSummary summary() const;

 private:
  struct Run {
    int64_t publisher = 0;
    int64_t run_start_ns = 0;
    // Numbers modulo 2^64: the run's span is [first, highest].
    uint64_t first = 0;
    uint64_t highest = 0;
    uint64_t span = 0;   // highest - first, held at most at kWindow
    uint64_t heard = 0;  // the channel's message count when last heard
    // seen[s % kWindow] for s in (highest - kWindow, highest].
    std::bitset<kWindow> seen;
  };
  struct Histograms {
    TimeHistogram latency;
    TimeHistogram delivery;
    TimeHistogram inter_arrival;
    void add(int64_t latency_us, int64_t delivery_us, const int64_t* gap_us);
    StreamTimes summary() const;
  };
  struct Channel {
    std::vector<Run> runs;
    size_t last_run = 0;
    uint64_t messages = 0;  // valid ones, for runs' recency
    StreamCounts totals;
    // Made by the first valid message: a channel of corrupt messages alone
    // costs none.
    std::unique_ptr<Histograms> times;
    bool received_before = false;
    int64_t last_recv_utime = 0;
    // The handlers' start times of the channel's messages that may still
    // have been in LCM's queue when the last one arrived, oldest first; at
    // most queue_capacity_ of them.
    std::deque<int64_t> queued_until_us;
    // When the last message handled filled the queue on arriving: its
    // receive time, and when the queue next had room; room_us 0 otherwise.
    int64_t full_from_us = 0;
    int64_t room_us = 0;
  };
  struct ChannelRow {
    int channel = 0;
    StreamCounts counts;
    // Made by the row's first valid message, and read into `read` when a
    // newer row opens: only the newest row takes times, so only it holds
    // histograms.
    std::unique_ptr<Histograms> times;
    StreamTimes read;
  };
  struct Row {
    int64_t second = 0;
    std::vector<ChannelRow> channels;  // by channel number
    ChannelRow& at(int channel);
    ChannelRow* find(int channel);
    void read_times();
  };

  Channel& channel(int k);
  // What a valid message of `ch` does to the counts; `lost` may be -1 (a
  // late message).
  StreamCounts follow(Channel& ch, const StreamArrival& m);
  // Begins a run at `h`'s number, whose span reaches down to `first`.
  void start(Channel& ch, Run& r, const StreamHeader& h, uint64_t first);
  Row& row_at(int64_t ms);
  void open_rows_to(int64_t second);
  Row& open_row(int64_t second);
  // Notes whether `m` filled its channel's queue when it arrived, and until when.
  void follow_queue(Channel& ch, const StreamArrival& m) const;
  std::vector<StreamSecond> take_rows(int64_t up_to_second);

  std::array<std::unique_ptr<Channel>, kMaxStreamChannels> channels_;
  std::deque<Row> rows_;  // open rows, oldest first; never empty
  int64_t start_us_;
  size_t queue_capacity_;  // 0: no limit
  int64_t runs_retired_ = 0;
};

}  // namespace varnock::account

#endif  // VARNOCK_ACCOUNT_STREAM_ACCOUNT_H_
