#include "report/json_string.h"

#include <cstdio>

namespace varnock::report {
namespace {

// The length of the valid UTF-8 sequence (RFC 3629: no overlong forms, no
// surrogates, nothing past U+10FFFF) that `text` starts with, or 0.
size_t utf8_length(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  size_t length = 0;
  unsigned char low = 0x80;  // the range of the byte after the lead
  unsigned char high = 0xbf;
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
  }
  return length;
}

}  // namespace

std::string json_string(std::string_view text) {
  std::string out = "\"";
  while (!text.empty()) {
    const auto u = static_cast<unsigned char>(text.front());
    const size_t length = utf8_length(text);
    if (u == '"' || u == '\\') {
      out += '\\';
      out += text.front();
    } else if (u < 0x20 || length == 0) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out += escaped;
    } else {
      out.append(text.substr(0, length));
      text.remove_prefix(length);
      continue;
    }
    text.remove_prefix(1);
  }
  return out + "\"";
}

}  // namespace varnock::report
