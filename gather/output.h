// varnock-gather's output as a run goes, in one of four forms: a table
// drawn over itself at a terminal, text rows, JSON lines or CSV. Pure: the
// view and this program's time in, text out.
#ifndef VARNOCK_GATHER_OUTPUT_H_
#define VARNOCK_GATHER_OUTPUT_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "gather/view.h"
#include "messages/check_report_t.h"

namespace varnock::gather {

enum class Format { kTable, kText, kJson, kCsv };

// Rows of the text form held back at most, whatever their seconds.
inline constexpr size_t kMaxWaitingRows = 4096;
// Checkers the table shows; a line tells how many more there are.
inline constexpr size_t kMaxTableCheckers = 40;

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

// The table's lines: a header, a line a checker and the total of those
// neither silent nor ended; no terminal codes.
std::vector<std::string> table_lines(const View& view, int64_t now_ms);
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
  // Once a second: the table redrawn, or the text rows now settled and the
  // checkers fallen silent.
  std::string tick(const View& view, int64_t now_ms);
  // At the end: what is still waiting and the summary; `seconds` is how
  // long the run listened.
  std::string finish(const View& view, int64_t now_ms, double seconds);

 private:
  struct Waiting {
    int64_t first_heard_ms = 0;
    std::vector<check_report_t> rows;
  };

  std::string redraw(const View& view, int64_t now_ms);
  std::string settled(const View& view, int64_t now_ms, bool all);
  std::string silences(const View& view, int64_t now_ms);
  // The rows of the oldest second waiting and their total, taken out.
  std::string oldest_second();

  Format format_;
  std::string url_;
  int64_t seconds_;
  size_t table_lines_ = 0;              // lines of the table last drawn
  std::map<int64_t, Waiting> waiting_;  // text rows by their second
  size_t waiting_rows_ = 0;
  std::set<size_t> silence_told_;  // checkers by index
};

}  // namespace varnock::gather

#endif  // VARNOCK_GATHER_OUTPUT_H_
