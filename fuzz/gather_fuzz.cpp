// varnock-gather's view and outputs on any messages the bus may carry: each
// input is cut into messages (a two-byte length, then that many bytes), heard
// a second apart. A message the decoder takes must encode back to the same
// bytes; the totals and every output, the table too, are made without fault.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "gather/output.h"
#include "gather/view.h"
#include "messages/check_report_t.h"
#include "messages/encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using varnock::check_report_t;
  varnock::gather::View view(8);
  std::span<const uint8_t> rest(data, size);
  int64_t now_ms = 1'700'000'000'000;
  while (!rest.empty()) {
    if (rest.size() < 2) break;
    const size_t length = std::min<size_t>(size_t{rest[0]} << 8 | rest[1], rest.size() - 2);
    const std::span<const uint8_t> bytes = rest.subspan(2, length);
    rest = rest.subspan(2 + length);
    check_report_t m;
    if (check_report_t::decode(bytes.data(), static_cast<int64_t>(bytes.size()), &m)) {
      std::vector<uint8_t> again(static_cast<size_t>(m.encoded_size()));
      varnock::store_big_endian<8>(again.data(), check_report_t::fingerprint);
      const int32_t n = m.encode_payload(again.data(), 8, static_cast<int32_t>(again.size() - 8));
      if (n < 0 || again.size() != bytes.size() ||
          std::memcmp(again.data(), bytes.data(), bytes.size()) != 0) {
        __builtin_trap();
      }
    }
    check_report_t heard;
    if (view.hear(bytes, now_ms, nullptr, &heard) == varnock::gather::View::Heard::kSecond) {
      (void)varnock::gather::json_second(heard);
    }
    now_ms += 1000;
  }
  for (const varnock::gather::Checker& c : view.checkers()) {
    (void)varnock::gather::csv_row(c.run());
  }
  (void)varnock::gather::json_summary(view, now_ms, 1.0);
  (void)varnock::gather::text_summary(view, now_ms, 1.0);
  (void)varnock::gather::table_lines(view, now_ms, {24, 80});
  return 0;
}
