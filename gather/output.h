// varnock-gather's output as a run goes, in one of four forms: a table
// drawn over itself at a terminal, text rows, JSON lines or CSV. Pure: the
// view, this program's time and the terminal's size in, text out.
#ifndef VARNOCK_GATHER_OUTPUT_H_
#define VARNOCK_GATHER_OUTPUT_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "gather/screen.h"
#include "gather/view.h"
#include "messages/check_report_t.h"

namespace varnock::gather {

enum class Format { kTable, kText, kJson, kCsv };

// Rows of the text form held back at most, whatever their seconds.
inline constexpr size_t kMaxWaitingRows = 4096;

// `text` for a terminal: valid UTF-8 but for control characters (C0, DEL,
// C1), each other byte or character a '?', cut to `columns` characters
// (the last a '~' when cut).
std::string printable(std::string_view text, size_t columns);

// One CSV line's header and rows: name,host,pid,second, then the counts and
// times by their field names; unknowns are empty.
std::string csv_header();
std::string csv_row(const check_report_t& r);

// JSON lines: the start, a checker's second, and the summary of every
// checker, the total and the malformed messages. Unknowns are null.
std::string json_start(std::string_view url, int64_t seconds);
std::string json_second(const check_report_t& r);
std::string json_summary(const View& view, int64_t now_ms, double seconds);

// The table's lines for a terminal of `size`, with no terminal codes: a
// header, a line a checker and the total of those neither silent nor ended.
// At most size.rows - 1 lines, the cursor's row being the one below, and
// each cut to size.columns characters. Checkers come worst first: silent,
// then those that lost frames in their latest second (the most lost over
// their run first), then the others, ended last; within each, in the order
// first heard. Those that do not fit are counted in a line of their own.
std::vector<std::string> table_lines(const View& view, int64_t now_ms, TerminalSize size);
std::string text_summary(const View& view, int64_t now_ms, double seconds);

class Output {
 public:
  Output(Format format, std::string url, int64_t seconds)
      : format_(format), url_(std::move(url)), seconds_(seconds) {}

  // Each returns what to write, possibly nothing.
  std::string start() const;
  // A second or a summary the view has just taken. JSON and CSV write a
  // second at once; text rows wait until the other checkers have reported
  // the same second, or kSilentAfterMs, and then come with its total.
  std::string heard(const check_report_t& message, int64_t now_ms);
  // Once a second: the table redrawn at the terminal's `size`, or the text
  // rows now settled and the checkers fallen silent.
  std::string tick(const View& view, int64_t now_ms, TerminalSize size);
  // The terminal resized to `size`: the table redrawn at once; nothing in
  // the other forms.
  std::string resized(const View& view, int64_t now_ms, TerminalSize size);
  // At the end: what is still waiting and the summary; `seconds` is how
  // long the run listened.
  std::string finish(const View& view, int64_t now_ms, double seconds, TerminalSize size);

 private:
  struct Waiting {
    int64_t first_heard_ms = 0;
    std::vector<check_report_t> rows;
  };

  std::string redraw(const View& view, int64_t now_ms, TerminalSize size);
  std::string settled(const View& view, int64_t now_ms, bool all);
  std::string silences(const View& view, int64_t now_ms);
  // The rows of the oldest second waiting and their total, taken out.
  std::string oldest_second();

  Format format_;
  std::string url_;
  int64_t seconds_;
  std::vector<size_t> drawn_widths_;    // characters of each line last drawn
  std::map<int64_t, Waiting> waiting_;  // text rows by their second
  size_t waiting_rows_ = 0;
  std::set<size_t> silence_told_;  // checkers by index
};

}  // namespace varnock::gather

#endif  // VARNOCK_GATHER_OUTPUT_H_
