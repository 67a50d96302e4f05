// A terminal as far as varnock-gather's table uses one, to see its screen as
// a user would.
#ifndef VARNOCK_TESTS_SUPPORT_TERMINAL_H_
#define VARNOCK_TESTS_SUPPORT_TERMINAL_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace varnock::testing {

// Characters wrap at the last column as xterm's do: the cursor waits there
// until the next character. "\n" is a carriage return and a line feed, as a
// terminal's output settings make it; a line feed on the last row scrolls
// the top row off. ESC [ n A moves up (no higher than the top row), ESC [ K
// erases to the end of the line, ESC [ J to the end of the screen. Any other
// escape or control byte throws std::invalid_argument. Bytes 0x80 to 0xBF
// belong to the character before them.
class Terminal {
 public:
  Terminal(size_t rows, size_t columns);

  void write(std::string_view text);
  // Each row cut at the new width, or, with `rewrap`, as most terminals do,
  // split into rows of the new width (each on its own: none was wrapped).
  // Rows that no longer fit above the cursor scroll off the top.
  void resize(size_t rows, size_t columns, bool rewrap);

  // The rows on the screen, each without its trailing blanks.
  std::vector<std::string> screen() const;
  // Rows scrolled off the top since the start.
  size_t scrolled_off() const { return scrolled_off_; }

 private:
  using Row = std::vector<std::string>;  // a character a cell; "" is blank

  void line_feed();

  size_t columns_;
  std::vector<Row> rows_;
  size_t row_ = 0;
  size_t column_ = 0;
  bool wrap_waiting_ = false;
  size_t scrolled_off_ = 0;
};

}  // namespace varnock::testing

#endif  // VARNOCK_TESTS_SUPPORT_TERMINAL_H_
