#include "base/utf8.h"

namespace varnock {

size_t utf8_character(std::string_view text, uint32_t* code) {
  if (text.empty()) return 0;
  const auto byte = [&text](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(0);
  if (lead < 0x80) {
    *code = lead;
    return 1;
  }
  size_t length = 0;
  uint8_t low = 0x80;  // the range of the byte after the lead
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  uint32_t c = lead & (0xFFu >> (length + 1));
  for (size_t i = 1; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    c = (c << 6) | (byte(i) & 0x3Fu);
  }
  *code = c;
  return length;
}

}  // namespace varnock
