#include "account/stream_account.h"

#include <algorithm>
#include <cmath>

#include "base/calendar.h"
#include "base/saturating.h"

namespace varnock::account {
namespace {

// The window is a power of two, so a number's slot stays the same across
// the wrap modulo 2^64.
size_t slot(uint64_t seq) { return static_cast<size_t>(seq % StreamAccount::kWindow); }

// Of `lost` numbers between a message received at `from_us` and the next at
// `to_us`, those whose arrival, spread evenly between, came before `room_us`.
int64_t lost_while_full(int64_t lost, int64_t from_us, int64_t room_us, int64_t to_us) {
  if (to_us <= from_us) return lost;
  // The k-th of them (1-based) arrived at from + k * (to - from) / (lost + 1).
  const double step =
      (static_cast<double>(to_us) - static_cast<double>(from_us)) / (static_cast<double>(lost) + 1);
  const double before = (static_cast<double>(room_us) - static_cast<double>(from_us)) / step;
  // k < before; `before` is positive, as room_us > from_us.
  const double k = std::ceil(before) - 1;
  return k >= static_cast<double>(lost) ? lost : static_cast<int64_t>(std::max(k, 0.0));
}

}  // namespace

void StreamAccount::Histograms::add(int64_t latency_us, int64_t delivery_us,
                                    const int64_t* gap_us) {
  latency.add(latency_us);
  delivery.add(delivery_us);
  if (gap_us != nullptr) inter_arrival.add(*gap_us);
}

StreamTimes StreamAccount::Histograms::summary() const {
  return {latency.summary(), delivery.summary(), inter_arrival.summary()};
}

StreamAccount::ChannelRow& StreamAccount::Row::at(int channel) {
  auto it = std::lower_bound(channels.begin(), channels.end(), channel,
                             [](const ChannelRow& c, int k) { return c.channel < k; });
  if (it == channels.end() || it->channel != channel) {
    it = channels.insert(it, ChannelRow{});
    it->channel = channel;
  }
  return *it;
}

StreamAccount::ChannelRow* StreamAccount::Row::find(int channel) {
  auto it = std::lower_bound(channels.begin(), channels.end(), channel,
                             [](const ChannelRow& c, int k) { return c.channel < k; });
  return it != channels.end() && it->channel == channel ? &*it : nullptr;
}

void StreamAccount::Row::read_times() {
  for (ChannelRow& c : channels) {
    if (!c.times) continue;
    c.read = c.times->summary();
    c.times.reset();
  }
}

StreamCounts& StreamCounts::operator+=(const StreamCounts& d) {
  received += d.received;
  lost += d.lost;
  duplicates += d.duplicates;
  reordered += d.reordered;
  late += d.late;
  lost_in_lcm += d.lost_in_lcm;
  corrupt += d.corrupt;
  runs += d.runs;
  return *this;
}

StreamAccount::StreamAccount(int64_t now_ms, int queue_capacity)
    : start_us_(saturating_mul(now_ms, 1000)),
      queue_capacity_(queue_capacity > 0 ? static_cast<size_t>(queue_capacity) : 0) {
  rows_.emplace_back().second = second_of(now_ms);
}

StreamAccount::Row& StreamAccount::open_row(int64_t second) {
  if (!rows_.empty()) rows_.back().read_times();
  Row& row = rows_.emplace_back();
  row.second = second;
  return row;
}

StreamAccount::Channel& StreamAccount::channel(int k) {
  auto& ch = channels_[static_cast<size_t>(k)];
  if (!ch) ch = std::make_unique<Channel>();
  return *ch;
}

void StreamAccount::open_rows_to(int64_t second) {
  if (second - rows_.back().second > kMaxGapRows) open_row(second - kMaxGapRows);
  while (rows_.back().second < second) open_row(rows_.back().second + 1);
}

StreamAccount::Row& StreamAccount::row_at(int64_t ms) {
  const int64_t second = second_of(ms);
  // A message handled just after a second began, before advance() saw it.
  if (second == rows_.back().second + 1) open_rows_to(second);
  // Rows already reported take nothing more: their part goes to the oldest
  // open row.
  if (second <= rows_.front().second) return rows_.front();
  for (auto it = rows_.rbegin(); it != rows_.rend(); ++it) {
    if (it->second <= second) return *it;
  }
  return rows_.front();
}

void StreamAccount::start(Channel& ch, Run& r, const StreamHeader& h, uint64_t first) {
  const auto seq = static_cast<uint64_t>(h.sequence);
  r.publisher = h.publisher;
  r.run_start_ns = h.run_start_ns;
  r.first = first;
  r.highest = seq;
  r.span = std::min<uint64_t>(seq - first, kWindow);
  r.heard = ch.messages;
  r.seen.reset();
  r.seen.set(slot(seq));
}

StreamCounts StreamAccount::follow(Channel& ch, const StreamArrival& m) {
  const StreamHeader& h = m.header;
  const auto seq = static_cast<uint64_t>(h.sequence);
  StreamCounts d;
  d.received = 1;
  ++ch.messages;

  auto is_its = [&](const Run& r) {
    return r.publisher == h.publisher && r.run_start_ns == h.run_start_ns;
  };
  if (ch.last_run >= ch.runs.size() || !is_its(ch.runs[ch.last_run])) {
    const auto it = std::find_if(ch.runs.begin(), ch.runs.end(), is_its);
    if (it == ch.runs.end()) {
      Run* r = nullptr;
      if (ch.runs.size() < kMaxRuns) {
        r = &ch.runs.emplace_back();
      } else {
        r = &*std::min_element(ch.runs.begin(), ch.runs.end(),
                               [](const Run& a, const Run& b) { return a.heard < b.heard; });
        ++runs_retired_;
      }
      ch.last_run = static_cast<size_t>(r - ch.runs.data());
      // A run begun since this account did could have been received from its
      // first message, 0: those before the first received were lost. Its age
      // is read on its own clock, this account's on this host's, so no
      // offset between the two clocks enters.
      const int64_t age_us = saturating_sub(h.send_time_ns, h.run_start_ns) / 1000;
      const bool from_zero = h.sequence >= 0 && h.sequence < kWindow && age_us >= 0 &&
                             age_us <= saturating_sub(m.recv_utime, start_us_);
      start(ch, *r, h, from_zero ? 0 : seq);
      d.runs = 1;
      d.lost = from_zero ? h.sequence : 0;
      return d;
    }
    ch.last_run = static_cast<size_t>(it - ch.runs.begin());
  }

  Run& r = ch.runs[ch.last_run];
  r.heard = ch.messages;
  const auto ahead = static_cast<int64_t>(seq - r.highest);
  const uint64_t behind = r.highest - seq;
  if (ahead > 0 && ahead <= kMaxJump) {
    d.lost = ahead - 1;
    if (ahead >= kWindow) {
      r.seen.reset();
    } else {
      for (uint64_t s = r.highest + 1; s != seq; ++s) r.seen.reset(slot(s));
    }
    r.seen.set(slot(seq));
    r.highest = seq;
    r.span = std::min<uint64_t>(r.span + static_cast<uint64_t>(ahead), kWindow);
    return d;
  }
  if (behind < kWindow) {
    if (behind > r.span) {
      // Below the run's first: the run began earlier than it seemed, and
      // the numbers between were sent too.
      d.lost = static_cast<int64_t>(behind - r.span) - 1;
      d.reordered = 1;
      r.first = seq;
      r.span = behind;
    } else if (r.seen.test(slot(seq))) {
      d.duplicates = 1;
      return d;
    } else {
      d.lost = -1;
      d.reordered = 1;
      d.late = 1;
    }
    r.seen.set(slot(seq));
    return d;
  }
  if (ahead < 0 && behind <= kMaxJump) {
    d.duplicates = 1;
    return d;
  }
  start(ch, r, h, seq);
  d.runs = 1;
  return d;
}

void StreamAccount::on_message(const StreamArrival& m, int64_t now_ms) {
  if (m.channel < 0 || m.channel >= kMaxStreamChannels) return;
  Channel& ch = channel(m.channel);
  // The queue as the last message left it, before this one's arrival.
  const int64_t full_from_us = ch.full_from_us;
  const int64_t room_us = ch.room_us;
  follow_queue(ch, m);
  Row& in = row_at(now_ms);
  ChannelRow& row = in.at(m.channel);
  if (!m.valid) {
    ++row.counts.corrupt;
    ++ch.totals.corrupt;
    return;
  }
  StreamCounts d = follow(ch, m);
  if (d.lost < 0) {
    // Its loss is taken back from the newest open row that counted one for
    // the channel, and from the totals; no row goes below zero.
    for (auto it = rows_.rbegin(); it != rows_.rend(); ++it) {
      if (ChannelRow* c = it->find(m.channel); c != nullptr && c->counts.lost > 0) {
        --c->counts.lost;
        break;
      }
    }
    --ch.totals.lost;
    d.lost = 0;
  }
  if (room_us != 0 && d.lost > 0) {
    d.lost_in_lcm = lost_while_full(d.lost, full_from_us, room_us, m.recv_utime);
  }
  row.counts += d;
  ch.totals += d;

  const int64_t send_us = m.header.send_time_ns / 1000;
  const int64_t latency_us = saturating_sub(m.recv_utime, send_us);
  const int64_t delivery_us = saturating_sub(m.handler_utime, send_us);
  const int64_t gap_us = saturating_sub(m.recv_utime, ch.last_recv_utime);
  const int64_t* gap = ch.received_before ? &gap_us : nullptr;
  if (!ch.times) ch.times = std::make_unique<Histograms>();
  ch.times->add(latency_us, delivery_us, gap);
  // A message for an older row (the clock stepped back a little) adds its
  // times to the run's only.
  if (&in == &rows_.back()) {
    if (!row.times) row.times = std::make_unique<Histograms>();
    row.times->add(latency_us, delivery_us, gap);
  }
  ch.received_before = true;
  ch.last_recv_utime = m.recv_utime;
}

void StreamAccount::follow_queue(Channel& ch, const StreamArrival& m) const {
  ch.room_us = 0;
  if (queue_capacity_ == 0) return;
  std::deque<int64_t>& q = ch.queued_until_us;
  // Those whose handlers had started by the time this one arrived had left.
  while (!q.empty() && q.front() <= m.recv_utime) q.pop_front();
  const bool full = q.size() + 1 >= queue_capacity_;
  if (q.size() == queue_capacity_) q.pop_front();
  q.push_back(m.handler_utime);
  if (full) {
    ch.full_from_us = m.recv_utime;
    // A handler that somehow started before its message arrived still
    // leaves the room at a time after it.
    ch.room_us = std::max(q.front(), saturating_add(m.recv_utime, 1));
  }
}

std::vector<StreamSecond> StreamAccount::take_rows(int64_t up_to_second) {
  std::vector<StreamSecond> out;
  while (!rows_.empty() && rows_.front().second <= up_to_second) {
    Row& row = rows_.front();
    row.read_times();
    StreamSecond& s = out.emplace_back();
    s.second = row.second;
    s.channels.reserve(row.channels.size());
    for (const ChannelRow& c : row.channels) s.channels.push_back({c.channel, c.counts, c.read});
    rows_.pop_front();
  }
  return out;
}

std::vector<StreamSecond> StreamAccount::advance(int64_t now_ms) {
  const int64_t second = second_of(now_ms);
  if (second < rows_.back().second - kSettleSeconds) {
    std::vector<StreamSecond> out = take_rows(rows_.back().second);
    open_row(second);
    return out;
  }
  open_rows_to(second);
  // The newest row stays open for what arrives next.
  return take_rows(std::min(second - kSettleSeconds, rows_.back().second - 1));
}

std::vector<StreamSecond> StreamAccount::finish(int64_t now_ms) {
  std::vector<StreamSecond> out = take_rows(rows_.back().second);
  open_row(second_of(now_ms));
  return out;
}

StreamSummary StreamAccount::summary() const {
  StreamSummary s;
  s.runs_retired = runs_retired_;
  for (size_t k = 0; k < channels_.size(); ++k) {
    const Channel* ch = channels_[k].get();
    if (ch == nullptr) continue;
    s.channels.push_back(
        {static_cast<int>(k), ch->totals, ch->times ? ch->times->summary() : StreamTimes{}});
  }
  return s;
}

}  // namespace varnock::account
