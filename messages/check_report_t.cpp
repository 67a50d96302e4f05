#include "messages/check_report_t.h"

#include <bit>
#include <iterator>
#include <string_view>

#include "messages/encoding.h"

namespace varnock {
namespace {

// The fields in their order on the wire, once for encoding and decoding
// alike: `field` is called on each until it fails.
template <typename Message, typename Field>
bool each_field(Message& m, Field&& field) {
  return field(m.name) && field(m.host) && field(m.pid) && field(m.url) && field(m.instance) &&
         field(m.sequence) && field(m.utime) && field(m.kind) && field(m.second) &&
         field(m.seconds) && field(m.status_records) && field(m.frames) && field(m.lost) &&
         field(m.lost_lower_bound) && field(m.lost_estimated) && field(m.corrupt) &&
         field(m.duplicates) && field(m.late) && field(m.runs) && field(m.unsequenced) &&
         field(m.bytes) && field(m.kernel_drops) && field(m.lost_receive_buffer) &&
         field(m.lost_reassembly_memory) && field(m.lost_fragments) && field(m.lost_in_lcm) &&
         field(m.lost_checksum) && field(m.lost_other) && field(m.send_drops) &&
         field(m.latency_ms_p50) && field(m.latency_ms_p99) && field(m.latency_ms_max) &&
         field(m.inter_arrival_ms_p50) && field(m.inter_arrival_ms_p99) &&
         field(m.inter_arrival_ms_max) && field(m.delivery_ms_p50) && field(m.delivery_ms_p99) &&
         field(m.delivery_ms_max) && field(m.lcm_queue_ms_p50) && field(m.lcm_queue_ms_p99) &&
         field(m.lcm_queue_ms_max) && field(m.version) && field(m.lcm_version);
}

// The histograms, in their order on the wire after the bounds.
template <typename Message, typename Each>
bool each_histogram(Message& m, Each&& each) {
  return each(m.latency) && each(m.inter_arrival) && each(m.delivery) && each(m.lcm_queue);
}

// The streams' arrays after their channels, in their order on the wire.
using Stream = check_report_t::Stream;
constexpr int64_t Stream::*kStreamCounts[] = {
    &Stream::received,    &Stream::lost, &Stream::duplicates, &Stream::reordered,
    &Stream::lost_in_lcm, &Stream::late, &Stream::corrupt};
constexpr double Stream::*kStreamTimes[] = {
    &Stream::latency_ms_p50,  &Stream::latency_ms_p99,  &Stream::latency_ms_max,
    &Stream::delivery_ms_p99, &Stream::delivery_ms_max, &Stream::inter_arrival_ms_p99};

// Each stream's member `member` in turn, until `field` fails.
template <typename Streams, typename Member, typename Field>
bool each_stream(Streams& streams, Member member, Field&& field) {
  for (auto& s : streams) {
    if (!field(s.*member)) return false;
  }
  return true;
}

template <typename Streams, typename Field>
bool each_stream_array(Streams& streams, Field&& field) {
  if (!each_stream(streams, &Stream::channel, field)) return false;
  for (const auto member : kStreamCounts) {
    if (!each_stream(streams, member, field)) return false;
  }
  for (const auto member : kStreamTimes) {
    if (!each_stream(streams, member, field)) return false;
  }
  return true;
}

struct Writer {
  PayloadWriter& w;
  bool operator()(const std::string& v) const { return w.put_string(v); }
  bool operator()(bool v) const { return w.put_i8(v ? 1 : 0); }
  bool operator()(int8_t v) const { return w.put_i8(v); }
  bool operator()(int16_t v) const { return w.put_i16(v); }
  bool operator()(int32_t v) const { return w.put_i32(v); }
  bool operator()(int64_t v) const { return w.put_i64(v); }
  bool operator()(double v) const { return w.put_f64(v); }
};

// Reads fields off the bytes, never past their end; the first failure is
// kept in `why`.
class Reader {
 public:
  Reader(const uint8_t* data, int64_t size) : data_(data), size_(size) {}

  bool operator()(std::string& v) {
    int32_t length = 0;
    if (!(*this)(length)) return false;
    if (length < 1) return fail("a string's length is below 1");
    if (length > remaining()) return fail("a string runs past the end");
    const auto* text = reinterpret_cast<const char*>(data_ + at_);
    if (text[length - 1] != '\0') return fail("a string does not end in NUL");
    v.assign(text, static_cast<size_t>(length - 1));
    at_ += length;
    return true;
  }
  // LCM writes a boolean as one byte, 1 for true; any other than 0 or 1 is
  // no boolean.
  bool operator()(bool& v) {
    int8_t byte = 0;
    if (!read<1>(&byte)) return false;
    if (byte != 0 && byte != 1) return fail("a boolean other than 0 or 1");
    v = byte == 1;
    return true;
  }
  bool operator()(int8_t& v) { return read<1>(&v); }
  bool operator()(int16_t& v) { return read<2>(&v); }
  bool operator()(int32_t& v) { return read<4>(&v); }
  bool operator()(int64_t& v) { return read<8>(&v); }
  bool operator()(double& v) {
    uint64_t bits = 0;
    if (!read<8>(&bits)) return false;
    v = std::bit_cast<double>(bits);
    return true;
  }

  bool fail(const char* why) {
    why_ = why;
    return false;
  }
  int64_t remaining() const { return size_ - at_; }
  const char* why() const { return why_; }

 private:
  template <int Width, typename Value>
  bool read(Value* v) {
    if (remaining() < Width) return fail("too short");
    uint64_t bits = 0;
    for (int i = 0; i < Width; ++i) bits = (bits << 8) | data_[at_ + i];
    at_ += Width;
    *v = static_cast<Value>(bits);
    return true;
  }

  const uint8_t* data_;
  int64_t size_;
  int64_t at_ = 0;
  const char* why_ = "";
};

}  // namespace

int64_t check_report_t::encoded_size() const {
  // The fixed fields: pid, instance, sequence, utime, kind, second,
  // seconds, 18 counts, a flag, 12 times, the number of buckets, each
  // histogram's count and sum, and the number of runs; each string adds its
  // length field and its NUL, each bucket its bound and four counts, each
  // run two periods; then the number of streams, each its channel, 7 counts
  // and 6 times.
  constexpr int64_t kFixed = 4 + 8 + 8 + 8 + 1 + 8 + 8 + 18 * 8 + 1 + 12 * 8 + 4 + 4 * 16 + 4 + 4;
  constexpr int64_t kStream = 2 + 7 * 8 + 6 * 8;
  static_assert(std::size(kStreamCounts) == 7 && std::size(kStreamTimes) == 6);
  const auto string_size = [](const std::string& s) {
    return 4 + static_cast<int64_t>(s.size()) + 1;
  };
  return 8 + kFixed + string_size(name) + string_size(host) + string_size(url) +
         string_size(version) + string_size(lcm_version) +
         (4 + 4 * 8) * static_cast<int64_t>(bucket_le_us.size()) +
         16 * static_cast<int64_t>(run_periods.size()) +
         kStream * static_cast<int64_t>(streams.size());
}

int32_t check_report_t::encode_payload(uint8_t* buffer, int32_t offset, int32_t capacity) const {
  if (run_periods.size() > static_cast<size_t>(kRunPeriodsMax)) return -1;
  if (streams.size() > static_cast<size_t>(kStreamsMax)) return -1;
  const size_t buckets = bucket_le_us.size();
  if (buckets > static_cast<size_t>(kBucketsMax)) return -1;
  if (!each_histogram(*this, [buckets](const Histogram& h) { return h.le.size() == buckets; })) {
    return -1;
  }
  PayloadWriter w(buffer + offset, capacity);
  bool ok = each_field(*this, Writer{w}) && w.put_i32(static_cast<int32_t>(buckets));
  for (const int32_t bound : bucket_le_us) ok = ok && w.put_i32(bound);
  ok = ok && each_histogram(*this, [&w](const Histogram& h) {
         bool written = true;
         for (const int64_t n : h.le) written = written && w.put_i64(n);
         return written && w.put_i64(h.count) && w.put_i64(h.sum_us);
       });
  ok = ok && w.put_i32(static_cast<int32_t>(run_periods.size()));
  for (const auto& run : run_periods) ok = ok && w.put_i64(run.first);
  for (const auto& run : run_periods) ok = ok && w.put_i64(run.second);
  ok = ok && w.put_i32(static_cast<int32_t>(streams.size())) &&
       each_stream_array(streams, Writer{w});
  return ok ? w.written() : -1;
}

bool check_report_t::decode(const uint8_t* data, int64_t size, check_report_t* out,
                            const char** why) {
  Reader r(data, size);
  int64_t hash = 0;
  bool ok = r(hash);
  if (ok && static_cast<uint64_t>(hash) != fingerprint) ok = r.fail("another type's fingerprint");
  ok = ok && each_field(*out, r);
  int32_t buckets = 0;
  ok = ok && r(buckets);
  if (ok && (buckets < 0 || buckets > kBucketsMax)) ok = r.fail("a number of buckets out of range");
  if (ok) out->bucket_le_us.assign(static_cast<size_t>(buckets), 0);
  for (int32_t& bound : out->bucket_le_us) ok = ok && r(bound);
  ok = ok && each_histogram(*out, [&r, buckets](Histogram& h) {
         h.le.assign(static_cast<size_t>(buckets), 0);
         bool read = true;
         for (int64_t& n : h.le) read = read && r(n);
         return read && r(h.count) && r(h.sum_us);
       });
  int32_t runs = 0;
  ok = ok && r(runs);
  if (ok && (runs < 0 || runs > kRunPeriodsMax)) ok = r.fail("a number of runs out of range");
  if (ok) out->run_periods.assign(static_cast<size_t>(runs), {0, 0});
  for (auto& run : out->run_periods) ok = ok && r(run.first);
  for (auto& run : out->run_periods) ok = ok && r(run.second);
  int32_t streams = 0;
  ok = ok && r(streams);
  if (ok && (streams < 0 || streams > kStreamsMax)) {
    ok = r.fail("a number of streams out of range");
  }
  if (ok) out->streams.assign(static_cast<size_t>(streams), Stream{});
  ok = ok && each_stream_array(out->streams, r);
  for (const Stream& s : out->streams) {
    if (ok && (s.channel < 0 || s.channel >= kStreamChannels)) {
      ok = r.fail("a stream channel out of range");
    }
  }
  if (ok && r.remaining() != 0) ok = r.fail("bytes past the message's end");
  if (!ok && why != nullptr) *why = r.why();
  return ok;
}

}  // namespace varnock
