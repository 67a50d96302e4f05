// What the programs share in reading their command lines.
#ifndef VARNOCK_CLI_COMMAND_LINE_H_
#define VARNOCK_CLI_COMMAND_LINE_H_

#include <algorithm>
#include <charconv>
#include <cstdint>
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

// The longest run a --seconds option asks for: a year.
inline constexpr int64_t kMaxSeconds = 366LL * 24 * 3600;

// What a command line asks for besides a run.
enum class Request { kRun, kHelp, kVersion };

// Walks argv's options one by one. An option named in `with_values` takes a
// value, "--opt VALUE" or "--opt=VALUE"; one named in `flags` takes none;
// --help (-h) and --version are known to every program. Any other argument
// is an error.
class OptionReader {
 public:
  OptionReader(int argc, const char* const* argv,
               std::initializer_list<std::string_view> with_values,
               std::initializer_list<std::string_view> flags = {})
      : argc_(argc),
        argv_(argv),
        with_values_(with_values.begin(), with_values.end()),
        flags_(flags.begin(), flags.end()) {}

  // The next option and its value ("" for one that takes none); false at the
  // end, at --help or --version (the first of them ends reading, as in GNU
  // tools: request() then tells which), and on an unknown argument, one that
  // lacks its value or has one it does not take, which error() then names.
  bool next(std::string_view* option, std::string_view* value) {
    if (at_ >= argc_ || !error_.empty() || request_ != Request::kRun) return false;
    const OptionArgument split = split_option(argv_[at_++]);
    const bool request =
        split.option == "--help" || split.option == "-h" || split.option == "--version";
    const bool takes_value = listed(with_values_, split.option);
    if (!request && !takes_value && !listed(flags_, split.option)) {
      error_ = "unknown argument '" + std::string(argv_[at_ - 1]) + "'";
      return false;
    }
    if (split.inline_value && !takes_value) {
      error_ = std::string(split.option) + " takes no value";
      return false;
    }
    if (request) {
      request_ = split.option == "--version" ? Request::kVersion : Request::kHelp;
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
  Request request() const { return request_; }

  // After the last next(): the error, if any, else "" with *request set.
  std::string finish(Request* request) const {
    if (error_.empty()) *request = request_;
    return error_;
  }

 private:
  static bool listed(const std::vector<std::string_view>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  }

  int argc_;
  const char* const* argv_;
  // Copies: the lists' arrays live only as long as the call.
  std::vector<std::string_view> with_values_;
  std::vector<std::string_view> flags_;
  int at_ = 1;
  std::string error_;
  Request request_ = Request::kRun;
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

// --url's value into *out: a bus URL, which cannot be empty; returns "" or
// why not.
inline std::string read_url(std::string_view value, std::string* out) {
  if (value.empty()) return "--url needs a value";
  *out = value;
  return "";
}

// --seconds' value into *out: a whole number from 1 to kMaxSeconds; returns
// "" or why not.
inline std::string read_seconds(std::string_view value, int64_t* out) {
  return parse_number<int64_t>("--seconds", value, 1, kMaxSeconds, "a whole number of seconds",
                               out);
}

}  // namespace varnock

#endif  // VARNOCK_CLI_COMMAND_LINE_H_
