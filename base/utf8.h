// UTF-8 as every output reads it: one decoder for the JSON and CSV writers
// and for what a terminal is shown.
#ifndef VARNOCK_BASE_UTF8_H_
#define VARNOCK_BASE_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace varnock {

// The length of the valid UTF-8 character (RFC 3629: no overlong forms, no
// surrogates, nothing past U+10FFFF) that `text` starts with, with its code
// point in *code; 0 when `text` is empty or starts with no valid one.
size_t utf8_character(std::string_view text, uint32_t* code);

}  // namespace varnock

#endif  // VARNOCK_BASE_UTF8_H_
