// Text for programs: JSON strings and objects, and CSV fields, for the
// JSON lines and CSV of every program. Any bytes go in; what comes out is
// valid UTF-8 that loses no byte's value.
#ifndef VARNOCK_REPORT_JSON_STRING_H_
#define VARNOCK_REPORT_JSON_STRING_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace varnock::report {

// `text` as a JSON string, quotes included, that any JSON reader accepts:
// valid UTF-8 is kept, and control characters and bytes that are no part
// of valid UTF-8 become \u00XX.
std::string json_string(std::string_view text);

// `text` as one CSV field: backslashes, control bytes and invalid UTF-8
// escaped as in json_string, so that none reaches a terminal or a reader
// raw, then quoted, with quotes doubled, when it holds a comma or a quote.
std::string csv_field(std::string_view text);

// A JSON object built member by member in the order added. The caller gives
// each name once; values given as JSON text are taken as they are.
class JsonObject {
 public:
  JsonObject& text(std::string_view name, std::string_view value);
  JsonObject& integer(std::string_view name, int64_t value);
  JsonObject& boolean(std::string_view name, bool value);
  JsonObject& json(std::string_view name, std::string_view value);

  // "{...}".
  std::string str() const { return body_ + "}"; }
  // A JSON line: "{...}\n".
  std::string line() const { return str() + "\n"; }

 private:
  JsonObject& member(std::string_view name);

  std::string body_ = "{";
};

// A JSON line's object, opened with its "type".
JsonObject json_line(std::string_view type);

}  // namespace varnock::report

#endif  // VARNOCK_REPORT_JSON_STRING_H_
