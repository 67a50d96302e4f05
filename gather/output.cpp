#include "gather/output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "base/utf8.h"
#include "report/combine.h"
#include "report/fields.h"
#include "report/formats.h"
#include "report/json_string.h"
#include "varnock/version.h"

namespace varnock::gather {
namespace {

using R = check_report_t;
using report::JsonObject;

constexpr size_t kNameColumns = 32;

std::string n(int64_t v) { return std::to_string(v); }

// "1.25 ms", or "-" without a sample.
std::string ms_text(double v) {
  if (!std::isfinite(v)) return "-";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f ms", v);
  return text;
}

std::string count_text(int64_t v) { return v < 0 ? "?" : n(v); }

// The fields a second's line (and the CSV, and the total) carries: those
// that combine, the counts and the times.
bool in_second(const report::Field& f) { return f.combine != report::Combine::kNone; }

// Each field of `r` that `wanted` picks, by the table's name and rounding.
template <typename Wanted>
void add_fields(JsonObject& out, const R& r, Wanted wanted) {
  for (const report::Field* f : report::shared_fields()) {
    if (wanted(*f)) out.json(f->name, report::json_value(report::report_value(*f, r)));
  }
}

std::string display_name(const std::string& name) { return printable(name, kNameColumns); }

std::string who(const Checker& c) {
  return display_name(c.name) + " (" + printable(c.host, 64) + ", pid " + n(c.pid) + ")";
}

std::string plural(int64_t count, const char* one, const char* many) {
  return n(count) + " " + (count == 1 ? one : many);
}

std::string state(const Checker& c, int64_t now_ms) {
  if (c.ended()) return "ended";
  return c.silent(now_ms) ? "silent" : "";
}

// "frames 60  lost 2  cause receive_buffer  send drops 0": what a text row and
// a total share; the send drops are the checker's host's, so that a checker
// on the publishing host shows the sender's.
std::string text_counts(const R& r) {
  return "frames " + count_text(r.frames) + "  lost " + count_text(r.lost) + "  cause " +
         std::string(main_cause(r)) + "  send drops " + count_text(r.send_drops);
}

std::string text_row(const R& r) {
  return n(r.second) + "  " + display_name(r.name) + "  " + text_counts(r) + "  latency p50 " +
         ms_text(r.latency_ms_p50) + "  delivery p50 " + ms_text(r.delivery_ms_p50) + "\n";
}

// A run's or the total's line of the text summary.
std::string summary_measures(const R& r) {
  return "frames " + count_text(r.frames) + ", lost " + count_text(r.lost) + " (" +
         std::string(main_cause(r)) + "), corrupt " + count_text(r.corrupt) + ", latency p99 " +
         ms_text(r.latency_ms_p99) + ", delivery p99 " + ms_text(r.delivery_ms_p99) +
         ", send drops " + count_text(r.send_drops);
}

// Right-aligned in `width` columns.
std::string right(const std::string& s, size_t width) {
  return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}
std::string left(const std::string& s, size_t width) {
  return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

std::string trim_right(std::string s) {
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

// Characters of valid UTF-8, as printable makes it: one column each.
size_t characters(std::string_view s) {
  return static_cast<size_t>(std::count_if(
      s.begin(), s.end(), [](char c) { return (static_cast<uint8_t>(c) & 0xC0) != 0x80; }));
}

// The table's order (table_lines). Groups rather than this second's loss,
// so that rows move when a checker falls silent, starts or stops losing or
// ends, not each time its figures change.
std::vector<const Checker*> worst_first(const View& view, int64_t now_ms) {
  const auto group = [now_ms](const Checker& c) {
    if (c.silent(now_ms)) return 0;
    if (c.ended()) return 3;
    return c.latest && c.latest->lost > 0 ? 1 : 2;
  };
  std::vector<const Checker*> order;
  for (const Checker& c : view.checkers()) order.push_back(&c);
  std::stable_sort(order.begin(), order.end(), [&group](const Checker* a, const Checker* b) {
    const int ga = group(*a);
    const int gb = group(*b);
    if (ga != gb) return ga < gb;
    return ga == 1 && a->seconds_combined.lost > b->seconds_combined.lost;
  });
  return order;
}

}  // namespace

std::string printable(std::string_view text, size_t columns) {
  std::string out;
  size_t shown = 0;
  size_t last_at = 0;  // where the last character shown begins in `out`
  while (!text.empty()) {
    if (shown == columns) {
      if (columns > 0) {
        out.resize(last_at);
        out += '~';
      }
      break;
    }
    uint32_t code = 0;
    const size_t length = utf8_character(text, &code);
    last_at = out.size();
    if (length > 0 && code >= 0x20 && code != 0x7F && !(code >= 0x80 && code < 0xA0)) {
      out.append(text.substr(0, length));
    } else {
      out += '?';
    }
    text.remove_prefix(std::max<size_t>(length, 1));
    ++shown;
  }
  return out;
}

std::string csv_header() {
  std::string out = "name,host,pid,instance,second";
  for (const report::Field* f : report::shared_fields()) {
    if (in_second(*f)) out += std::string(",") + f->name;
  }
  return out + "\n";
}

std::string csv_row(const R& r) {
  std::string out = report::csv_field(r.name) + "," + report::csv_field(r.host) + "," + n(r.pid) +
                    "," + n(r.instance) + "," + n(r.second);
  for (const report::Field* f : report::shared_fields()) {
    if (!in_second(*f)) continue;
    out += ',';
    out += report::plain_value(report::report_value(*f, r), "");
  }
  return out + "\n";
}

std::string json_start(std::string_view url, int64_t seconds) {
  return report::json_line("start")
      .text("version", kVersion)
      .text("url", url)
      .text("channel", "VARNOCK_CHECK")
      .json("seconds", seconds > 0 ? n(seconds) : "null")
      .line();
}

std::string json_second(const R& r) {
  JsonObject out = report::json_line("second");
  out.text("name", r.name)
      .text("host", r.host)
      .integer("pid", r.pid)
      .integer("instance", r.instance)
      .integer("second", r.second);
  add_fields(out, r, in_second);
  out.json("messages", report::json_messages(r.streams));
  return out.line();
}

std::string json_summary(const View& view, int64_t now_ms, double seconds) {
  std::string checkers;
  for (const Checker& c : view.checkers()) {
    // The checker's own summary's fields, as its JSON summary has them,
    // after who it is and how it stands.
    JsonObject entry;
    entry.text("name", c.name)
        .text("host", c.host)
        .integer("pid", c.pid)
        .integer("instance", c.instance)
        .text("url", c.url)
        .boolean("ended", c.ended())
        .boolean("silent", c.silent(now_ms))
        .integer("missing_reports", c.missing_reports);
    const R run = c.run();
    add_fields(entry, run, [](const report::Field& f) { return f.of_summary != nullptr; });
    entry.json("messages", report::json_messages(run.streams));
    if (!checkers.empty()) checkers += ',';
    checkers += entry.str();
  }
  JsonObject total;
  const R all = view.total();
  add_fields(total, all, in_second);
  total.json("messages", report::json_messages(all.streams));
  return report::json_line("summary")
      .json("seconds", report::json_value(report::decimal(seconds, 3)))
      .json("checkers", "[" + checkers + "]")
      .json("total", total.str())
      .integer("malformed", view.malformed())
      .integer("missing_reports", view.missing_reports())
      .line();
}

std::vector<std::string> table_lines(const View& view, int64_t now_ms, TerminalSize size) {
  const std::vector<const Checker*> order = worst_first(view, now_ms);
  // The cursor rests on the row below the last line: a frame as tall as the
  // terminal would scroll its first line away, and the next be drawn a line
  // too low.
  const size_t fit = static_cast<size_t>(std::max(size.rows - 1, 0));
  const size_t room = fit > 3 ? fit - 3 : 0;  // beside the header, column names and total
  size_t shown = order.size();
  if (shown > room) shown = room > 0 ? room - 1 : 0;  // a line counts the rest

  int live = 0;
  const R total = view.live_total(now_ms, &live);
  const std::string total_name = "total (" + n(live) + " live)";
  size_t width = std::max<size_t>(7, total_name.size());
  for (size_t i = 0; i < shown; ++i) {
    width = std::max(width, characters(display_name(order[i]->name)));
  }
  const auto pad = [width](const std::string& name) {
    const size_t chars = characters(name);
    return chars >= width ? name : name + std::string(width - chars, ' ');
  };
  // The state next to the name, so that a terminal too narrow for the
  // times still shows which checkers are silent or ended.
  const auto line = [&pad](const std::string& name, const std::string& state,
                           const std::string& frames, const std::string& lost,
                           const std::string& cause, const std::string& latency,
                           const std::string& delivery, const std::string& sends) {
    return trim_right(pad(name) + "  " + left(state, 6) + right(frames, 9) + " " + right(lost, 8) +
                      "  " + left(cause, 17) + " " + right(latency, 11) + " " +
                      right(delivery, 12) + " " + right(sends, 12));
  };

  int64_t silent = 0;
  for (const Checker& c : view.checkers()) silent += c.silent(now_ms) ? 1 : 0;
  std::vector<std::string> lines;
  lines.push_back("VARNOCK_CHECK: " + plural(std::ssize(view.checkers()), "checker", "checkers") +
                  ", " + n(silent) + " silent, " +
                  plural(view.malformed(), "malformed message", "malformed messages"));
  lines.push_back(line("checker", "state", "frames/s", "lost/s", "cause", "latency p50",
                       "delivery p50", "send drops/s"));
  for (size_t i = 0; i < shown; ++i) {
    const Checker& c = *order[i];
    if (!c.latest) {
      lines.push_back(line(display_name(c.name), state(c, now_ms), "-", "-", "-", "-", "-", "-"));
      continue;
    }
    const R& r = *c.latest;
    lines.push_back(line(display_name(c.name), state(c, now_ms), count_text(r.frames),
                         count_text(r.lost), std::string(main_cause(r)), ms_text(r.latency_ms_p50),
                         ms_text(r.delivery_ms_p50), count_text(r.send_drops)));
  }
  if (shown < order.size() && room > 0) {
    lines.push_back(
        "... and " +
        plural(static_cast<int64_t>(order.size() - shown), "more checker", "more checkers") +
        " (--json lists them all)");
  }
  lines.push_back(line(total_name, "", count_text(total.frames), count_text(total.lost),
                       std::string(main_cause(total)), "-", "-", count_text(total.send_drops)));
  // Fewer rows than the header, column names and total take: the column
  // names go first, then the total.
  if (lines.size() > fit) {
    lines.erase(lines.begin() + 1);
    lines.resize(std::min(lines.size(), fit));
  }
  for (std::string& l : lines) l = printable(l, static_cast<size_t>(std::max(size.columns, 0)));
  return lines;
}

std::string text_summary(const View& view, int64_t now_ms, double seconds) {
  int64_t silent = 0;
  for (const Checker& c : view.checkers()) silent += c.silent(now_ms) ? 1 : 0;
  char listened[64];
  std::snprintf(listened, sizeof listened, "%.1f s", seconds);
  std::string out =
      "summary: " + plural(std::ssize(view.checkers()), "checker", "checkers") + ", " + n(silent) +
      " silent, " + plural(view.malformed(), "malformed message", "malformed messages") + ", " +
      plural(view.missing_reports(), "missing report", "missing reports") + ", " + listened + "\n";
  for (const Checker& c : view.checkers()) {
    const R run = c.run();
    const std::string how = c.ended() ? "ended" : c.silent(now_ms) ? "silent" : "reporting";
    char span[64];
    std::snprintf(span, sizeof span, "%.1f s", std::isfinite(run.seconds) ? run.seconds : 0.0);
    out += "  " + who(c) + ": " + how + ", " + span + ", " + summary_measures(run) + "\n";
  }
  return out + "  total: " + summary_measures(view.total()) + "\n";
}

std::string Output::start() const {
  switch (format_) {
    case Format::kJson:
      return json_start(url_, seconds_);
    case Format::kCsv:
      return csv_header();
    case Format::kTable:
    case Format::kText:
      break;
  }
  return "";
}

std::string Output::heard(const R& message, int64_t now_ms) {
  if (message.kind != R::kKindSecond) return "";
  switch (format_) {
    case Format::kJson:
      return json_second(message);
    case Format::kCsv:
      return csv_row(message);
    case Format::kTable:
      return "";
    case Format::kText:
      break;
  }
  Waiting& w = waiting_[message.second];
  if (w.rows.empty()) w.first_heard_ms = now_ms;
  w.rows.push_back(message);
  w.rows.back().url.clear();
  ++waiting_rows_;
  // Seconds that never settle must not hold rows without end: past the
  // bound, the oldest go out as they are.
  std::string out;
  while (waiting_rows_ > kMaxWaitingRows) out += oldest_second();
  return out;
}

std::string Output::tick(const View& view, int64_t now_ms, TerminalSize size) {
  switch (format_) {
    case Format::kTable:
      return redraw(view, now_ms, size);
    case Format::kText:
      return settled(view, now_ms, false) + silences(view, now_ms);
    case Format::kJson:
    case Format::kCsv:
      break;
  }
  return "";
}

std::string Output::resized(const View& view, int64_t now_ms, TerminalSize size) {
  return format_ == Format::kTable ? redraw(view, now_ms, size) : "";
}

std::string Output::finish(const View& view, int64_t now_ms, double seconds, TerminalSize size) {
  switch (format_) {
    case Format::kTable:
      return redraw(view, now_ms, size) + text_summary(view, now_ms, seconds);
    case Format::kText:
      return settled(view, now_ms, true) + text_summary(view, now_ms, seconds);
    case Format::kJson:
      return json_summary(view, now_ms, seconds);
    case Format::kCsv:
      break;
  }
  return "";
}

std::string Output::redraw(const View& view, int64_t now_ms, TerminalSize size) {
  // Up over the rows the last table takes now, to its first column. A
  // terminal narrowed since then has rewrapped its lines into more rows, as
  // most do; one that cut them instead is taken further up (no higher than
  // its top), so the new table covers lines above the old one rather than
  // leaving pieces of it above itself.
  const size_t columns = static_cast<size_t>(std::max(size.columns, 1));
  size_t rows = 0;
  for (const size_t width : drawn_widths_) {
    rows += std::max<size_t>(1, (width + columns - 1) / columns);
  }
  std::string out;
  if (rows > 0) out += "\x1b[" + n(static_cast<int64_t>(rows)) + "A\r";
  // Each line cleared before it is written over: cleared after, a line as
  // wide as the terminal would lose its last character, where the cursor
  // waits to wrap. Anything below is cleared at the end.
  drawn_widths_.clear();
  for (const std::string& line : table_lines(view, now_ms, size)) {
    out += "\x1b[K" + line + "\n";
    drawn_widths_.push_back(characters(line));
  }
  return out + "\x1b[J";
}

std::string Output::settled(const View& view, int64_t now_ms, bool all) {
  // A second is settled once every checker still reporting has reported it
  // or a later one, or once it has waited as long as silence takes.
  int64_t reported_by_all = std::numeric_limits<int64_t>::max();
  for (const Checker& c : view.checkers()) {
    if (c.latest && !c.ended() && !c.silent(now_ms)) {
      reported_by_all = std::min(reported_by_all, c.latest->second);
    }
  }
  std::string out;
  while (!waiting_.empty()) {
    const auto oldest = waiting_.begin();
    const auto& [second, w] = *oldest;
    if (!all && second > reported_by_all && now_ms - w.first_heard_ms < kSilentAfterMs) break;
    out += oldest_second();
  }
  return out;
}

std::string Output::oldest_second() {
  const auto oldest = waiting_.begin();
  const auto& [second, w] = *oldest;
  std::string out;
  for (const R& r : w.rows) out += text_row(r);
  out += n(second) + "  total  " + text_counts(report::combine(w.rows)) + "  (" +
         plural(std::ssize(w.rows), "checker", "checkers") + ")\n";
  waiting_rows_ -= w.rows.size();
  waiting_.erase(oldest);
  return out;
}

std::string Output::silences(const View& view, int64_t now_ms) {
  std::string out;
  for (size_t i = 0; i < view.checkers().size(); ++i) {
    const Checker& c = view.checkers()[i];
    if (!c.silent(now_ms)) {
      silence_told_.erase(i);
    } else if (silence_told_.insert(i).second) {
      out +=
          who(c) + " is silent: nothing heard for " + n((now_ms - c.last_heard_ms) / 1000) + " s\n";
    }
  }
  return out;
}

}  // namespace varnock::gather
