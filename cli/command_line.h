// What varnock-check and varnock-pace share in reading their command lines.
#ifndef VARNOCK_CLI_COMMAND_LINE_H_
#define VARNOCK_CLI_COMMAND_LINE_H_

#include <charconv>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

namespace varnock {

// An argument as its option and, for "--opt=value", the value after '='
// (taken whole, '=' signs in it included); "--opt value" is read by the caller.
struct OptionArgument {
  std::string_view option;
  std::optional<std::string_view> inline_value;
};

inline OptionArgument split_option(std::string_view arg) {
  if (const size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
    return {arg.substr(0, eq), arg.substr(eq + 1)};
  }
  return {arg, std::nullopt};
}

// Reads `v` whole as a number from `low` to `high` into *out; returns "" or
// a message naming the option, the range and the text given.
template <typename Number>
std::string parse_number(std::string_view option, std::string_view v, Number low, Number high,
                         const char* what, Number* out) {
  Number n{};
  const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  if (ec != std::errc() || end != v.data() + v.size() || !(n >= low && n <= high)) {
    std::ostringstream m;
    m << option << " needs " << what << " from " << low << " to " << high << ", not '" << v << "'";
    return m.str();
  }
  *out = n;
  return "";
}

}  // namespace varnock

#endif  // VARNOCK_CLI_COMMAND_LINE_H_
