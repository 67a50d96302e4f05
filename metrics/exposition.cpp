#include "metrics/exposition.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "base/utf8.h"

namespace varnock::metrics {
namespace {

// A label value's escapes: backslash, quote and line feed.
void append_label_value(std::string& out, std::string_view value) {
  while (!value.empty()) {
    uint32_t code = 0;
    size_t length = utf8_character(value, &code);
    if (length == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD for a byte that is no part of valid UTF-8
      length = 1;
    } else if (code == '\\') {
      out += "\\\\";
    } else if (code == '"') {
      out += "\\\"";
    } else if (code == '\n') {
      out += "\\n";
    } else {
      out.append(value.substr(0, length));
    }
    value.remove_prefix(length);
  }
}

// HELP text escapes backslash and line feed only.
void append_help(std::string& out, std::string_view help) {
  for (const char c : help) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
}

}  // namespace

void Exposition::family(std::string_view name, std::string_view type, std::string_view help) {
  text_ += "# HELP ";
  text_ += name;
  text_ += ' ';
  append_help(text_, help);
  text_ += "\n# TYPE ";
  text_ += name;
  text_ += ' ';
  text_ += type;
  text_ += '\n';
}

void Exposition::start_sample(std::string_view name, std::initializer_list<Label> labels) {
  text_ += name;
  if (labels.size() == 0) {
    text_ += ' ';
    return;
  }
  char separator = '{';
  for (const auto& [label, value] : labels) {
    text_ += separator;
    separator = ',';
    text_ += label;
    text_ += "=\"";
    append_label_value(text_, value);
    text_ += '"';
  }
  text_ += "} ";
}

void Exposition::sample(std::string_view name, std::initializer_list<Label> labels, int64_t value) {
  start_sample(name, labels);
  text_ += std::to_string(value);
  text_ += '\n';
}

void Exposition::sample(std::string_view name, std::initializer_list<Label> labels, double value) {
  start_sample(name, labels);
  if (std::isnan(value)) {
    text_ += "NaN";
  } else if (std::isinf(value)) {
    text_ += value > 0 ? "+Inf" : "-Inf";
  } else {
    // The shortest text that reads back as the same double.
    char digits[32];
    auto* const end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    text_.append(digits, end);
  }
  text_ += '\n';
}

std::string seconds_text(int64_t us) {
  // Whole seconds and a remainder of the same sign; INT64_MIN's magnitude
  // needs an unsigned number.
  const bool negative = us < 0;
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(us) : static_cast<uint64_t>(us);
  std::string text = negative ? "-" : "";
  text += std::to_string(magnitude / 1'000'000);
  uint64_t fraction = magnitude % 1'000'000;
  if (fraction == 0) return text;
  int places = 6;
  while (fraction % 10 == 0) {
    fraction /= 10;
    --places;
  }
  char digits[16];
  std::snprintf(digits, sizeof digits, ".%0*llu", places,
                static_cast<unsigned long long>(fraction));
  return text + digits;
}

}  // namespace varnock::metrics
