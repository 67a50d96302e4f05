#include "report/json_string.h"

#include <cstdio>

#include "base/utf8.h"

namespace varnock::report {
namespace {

// `text` escaped as in a JSON string, without the quotes; a quote is left
// as it is unless `quote` is set.
std::string escaped(std::string_view text, bool quote) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const auto u = static_cast<unsigned char>(text.front());
    uint32_t code = 0;
    const size_t length = utf8_character(text, &code);
    if ((u == '"' && quote) || u == '\\') {
      out += '\\';
      out += text.front();
    } else if (u < 0x20 || length == 0) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    } else {
      out.append(text.substr(0, length));
      text.remove_prefix(length);
      continue;
    }
    text.remove_prefix(1);
  }
  return out;
}

}  // namespace

std::string json_string(std::string_view text) {
  std::string out = "\"";
  out += escaped(text, true);
  out += '"';
  return out;
}

std::string csv_field(std::string_view text) {
  std::string e = escaped(text, false);
  if (e.find_first_of(",\"") == std::string::npos) return e;
  std::string out = "\"";
  for (const char c : e) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

JsonObject& JsonObject::member(std::string_view name) {
  if (body_.size() > 1) body_ += ',';
  body_ += json_string(name);
  body_ += ':';
  return *this;
}

JsonObject& JsonObject::text(std::string_view name, std::string_view value) {
  member(name).body_ += json_string(value);
  return *this;
}

JsonObject& JsonObject::integer(std::string_view name, int64_t value) {
  member(name).body_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::boolean(std::string_view name, bool value) {
  member(name).body_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::json(std::string_view name, std::string_view value) {
  member(name).body_ += value;
  return *this;
}

JsonObject json_line(std::string_view type) { return JsonObject().text("type", type); }

}  // namespace varnock::report
