// check_report_t: a varnock-check's account of one second or of its whole
// run, published on "VARNOCK_CHECK" (messages/check_report_t.lcm says what
// each field holds). Counts it could not know are -1, times without a
// sample NaN.
#ifndef VARNOCK_MESSAGES_CHECK_REPORT_T_H_
#define VARNOCK_MESSAGES_CHECK_REPORT_T_H_

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "messages/stream_message_t.h"

namespace varnock {

struct check_report_t {
  static constexpr uint64_t fingerprint = 0x8E99CD9F52BB5FB9;
  static constexpr int8_t kKindSecond = 1, kKindSummary = 2;

  std::string name;
  std::string host;
  int32_t pid = 0;
  std::string url;
  int64_t instance = 0;
  int64_t sequence = 0;

  int64_t utime = 0;

  int8_t kind = kKindSecond;
  int64_t second = 0;
  double seconds = 0;

  int64_t status_records = 0;
  int64_t frames = 0;
  int64_t lost = 0;
  bool lost_lower_bound = false;
  int64_t lost_estimated = 0;
  int64_t corrupt = 0;
  int64_t duplicates = 0;
  int64_t late = 0;
  int64_t runs = 0;
  int64_t unsequenced = 0;
  int64_t bytes = 0;

  int64_t kernel_drops = -1;
  int64_t lost_receive_buffer = -1;
  int64_t lost_reassembly_memory = -1;
  int64_t lost_fragments = -1;
  int64_t lost_in_lcm = -1;
  int64_t lost_checksum = -1;
  int64_t lost_other = -1;

  int64_t send_drops = -1;

  static constexpr double kNoSample = std::numeric_limits<double>::quiet_NaN();
  double latency_ms_p50 = kNoSample;
  double latency_ms_p99 = kNoSample;
  double latency_ms_max = kNoSample;
  double inter_arrival_ms_p50 = kNoSample;
  double inter_arrival_ms_p99 = kNoSample;
  double inter_arrival_ms_max = kNoSample;
  double delivery_ms_p50 = kNoSample;
  double delivery_ms_p99 = kNoSample;
  double delivery_ms_max = kNoSample;
  double lcm_queue_ms_p50 = kNoSample;
  double lcm_queue_ms_p99 = kNoSample;
  double lcm_queue_ms_max = kNoSample;

  std::string version;
  std::string lcm_version;

  // One time's samples in the buckets of `bucket_le_us`: at or below each
  // bound (as many as bounds), all of them and their sum.
  struct Histogram {
    std::vector<int64_t> le;
    int64_t count = 0;
    int64_t sum_us = 0;
    bool operator==(const Histogram&) const = default;
  };
  static constexpr int32_t kBucketsMax = 64;
  std::vector<int32_t> bucket_le_us;  // at most kBucketsMax
  Histogram latency;
  Histogram inter_arrival;
  Histogram delivery;
  Histogram lcm_queue;

  // The runs' [first, last] periods; at most kRunPeriodsMax.
  static constexpr int32_t kRunPeriodsMax = 100;
  std::vector<std::pair<int64_t, int64_t>> run_periods;

  // One stream channel's figures, VARNOCK_MSG_<channel>.
  struct Stream {
    int16_t channel = 0;  // 0 to kStreamChannels - 1
    int64_t received = 0;
    int64_t lost = 0;
    int64_t duplicates = 0;
    int64_t reordered = 0;
    int64_t lost_in_lcm = 0;
    int64_t late = 0;
    int64_t corrupt = 0;
    double latency_ms_p50 = kNoSample;
    double latency_ms_p99 = kNoSample;
    double latency_ms_max = kNoSample;
    double delivery_ms_p99 = kNoSample;
    double delivery_ms_max = kNoSample;
    double inter_arrival_ms_p99 = kNoSample;
  };
  static constexpr int32_t kStreamsMax = 256;
  static constexpr int kStreamChannels = kMaxStreamChannels;
  std::vector<Stream> streams;  // at most kStreamsMax

  // Fingerprint plus payload, whose size depends on the strings, the
  // buckets, the runs and the streams.
  int64_t encoded_size() const;

  // Writes the payload at buffer + offset; returns its size, or -1 when
  // `capacity` runs short before a field (the fields before it stay written)
  // or run_periods holds more than kRunPeriodsMax, bucket_le_us more than
  // kBucketsMax, a histogram another number of buckets or streams more than
  // kStreamsMax.
  int32_t encode_payload(uint8_t* buffer, int32_t offset, int32_t capacity) const;

  // Reads `size` bytes that must be exactly one whole message, fingerprint
  // first, into *out. False, with *why (when given) saying what is wrong and
  // *out in an unspecified state, for anything else, a number of streams or
  // a stream channel out of range included.
  static bool decode(const uint8_t* data, int64_t size, check_report_t* out,
                     const char** why = nullptr);
};

}  // namespace varnock

#endif  // VARNOCK_MESSAGES_CHECK_REPORT_T_H_
