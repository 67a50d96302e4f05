#include "platform/snmp_linux.h"

#include <charconv>
#include <string>

namespace varnock {
namespace {

// The next word of `line` from `*at` on, moving `*at` past it; "" at the end.
std::string_view next_word(std::string_view line, size_t* at) {
  const size_t start = line.find_first_not_of(' ', *at);
  if (start == std::string_view::npos) {
    *at = line.size();
    return {};
  }
  const size_t end = std::min(line.find(' ', start), line.size());
  *at = end;
  return line.substr(start, end - start);
}

std::string_view next_line(std::string_view* text) {
  const size_t end = std::min(text->find('\n'), text->size());
  const std::string_view line = text->substr(0, end);
  text->remove_prefix(std::min(end + 1, text->size()));
  return line;
}

}  // namespace

std::optional<int64_t> snmp_value(std::string_view table, std::string_view protocol,
                                  std::string_view name) {
  const std::string prefix = std::string(protocol) + ": ";
  while (!table.empty()) {
    const std::string_view names = next_line(&table);
    if (!names.starts_with(prefix)) continue;
    const std::string_view values = next_line(&table);
    if (!values.starts_with(prefix)) return std::nullopt;
    size_t n_at = prefix.size();
    size_t v_at = n_at;
    for (;;) {
      const std::string_view n = next_word(names, &n_at);
      const std::string_view v = next_word(values, &v_at);
      if (n.empty() || v.empty()) return std::nullopt;
      if (n != name) continue;
      int64_t value = 0;
      const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
      if (ec != std::errc() || end != v.data() + v.size()) return std::nullopt;
      return value;
    }
  }
  return std::nullopt;
}

}  // namespace varnock
