// Text of any bytes as a JSON string, for the JSON lines of every program.
#ifndef VARNOCK_REPORT_JSON_STRING_H_
#define VARNOCK_REPORT_JSON_STRING_H_

#include <string>
#include <string_view>

namespace varnock::report {

// `text` as a JSON string, quotes included, that any JSON reader accepts:
// valid UTF-8 is kept, and control characters and bytes that are no part
// of valid UTF-8 become \u00XX, so that no byte's value is lost.
std::string json_string(std::string_view text);

}  // namespace varnock::report

#endif  // VARNOCK_REPORT_JSON_STRING_H_
