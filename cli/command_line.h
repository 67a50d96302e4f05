// What the programs share in reading their command lines.
#ifndef VARNOCK_CLI_COMMAND_LINE_H_
#define VARNOCK_CLI_COMMAND_LINE_H_

#include <algorithm>
#include <charconv>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

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

// Walks argv's options one by one. An option named in `with_values` takes a
// value, "--opt VALUE" or "--opt=VALUE"; any other takes none.
class OptionReader {
 public:
  OptionReader(int argc, const char* const* argv,
               std::initializer_list<std::string_view> with_values)
      : argc_(argc), argv_(argv), with_values_(with_values.begin(), with_values.end()) {}

  // The next option and its value ("" for one that takes none); false at the
  // end, and on an argument that lacks its value or has one it does not
  // take, which error() then names.
  bool next(std::string_view* option, std::string_view* value) {
    if (at_ >= argc_ || !error_.empty()) return false;
    const OptionArgument split = split_option(argv_[at_++]);
    const bool takes_value =
        std::find(with_values_.begin(), with_values_.end(), split.option) != with_values_.end();
    if (split.inline_value && !takes_value) {
      error_ = std::string(split.option) + " takes no value";
      return false;
    }
    if (takes_value && !split.inline_value && at_ >= argc_) {
      error_ = std::string(split.option) + " needs a value";
      return false;
    }
    *option = split.option;
    *value = !takes_value         ? std::string_view()
             : split.inline_value ? *split.inline_value
                                  : argv_[at_++];
    return true;
  }

  const std::string& error() const { return error_; }

 private:
  int argc_;
  const char* const* argv_;
  std::vector<std::string_view>
      with_values_;  // a copy: the list's array lives only as long as the call
  int at_ = 1;
  std::string error_;
};

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
