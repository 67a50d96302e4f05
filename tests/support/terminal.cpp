#include "tests/support/terminal.h"

#include <algorithm>
#include <stdexcept>

namespace varnock::testing {

Terminal::Terminal(size_t rows, size_t columns) : columns_(columns), rows_(rows, Row(columns)) {}

void Terminal::line_feed() {
  if (row_ + 1 < rows_.size()) {
    ++row_;
    return;
  }
  rows_.erase(rows_.begin());
  rows_.emplace_back(columns_);
  ++scrolled_off_;
}

void Terminal::write(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\x1b') {
      size_t end = i + 1;
      if (end >= text.size() || text[end] != '[') throw std::invalid_argument("ESC without [");
      size_t n = 0;
      bool digits = false;
      for (++end; end < text.size() && text[end] >= '0' && text[end] <= '9'; ++end) {
        n = n * 10 + static_cast<size_t>(text[end] - '0');
        digits = true;
      }
      if (end >= text.size()) throw std::invalid_argument("escape cut short");
      Row& row = rows_[row_];
      switch (text[end]) {
        case 'A':
          row_ -= std::min(row_, digits ? n : 1);
          break;
        case 'K':
          if (digits) throw std::invalid_argument("ESC [ n K");
          std::fill(row.begin() + static_cast<ptrdiff_t>(column_), row.end(), "");
          break;
        case 'J':
          if (digits) throw std::invalid_argument("ESC [ n J");
          std::fill(row.begin() + static_cast<ptrdiff_t>(column_), row.end(), "");
          for (size_t r = row_ + 1; r < rows_.size(); ++r) rows_[r].assign(columns_, "");
          break;
        default:
          throw std::invalid_argument("unknown escape ESC [ " + std::string(1, text[end]));
      }
      wrap_waiting_ = false;
      i = end + 1;
    } else if (byte == '\r' || byte == '\n') {
      column_ = 0;
      wrap_waiting_ = false;
      if (byte == '\n') line_feed();
      ++i;
    } else if (byte < 0x20 || byte == 0x7F) {
      throw std::invalid_argument("control byte " + std::to_string(byte));
    } else {
      size_t end = i + 1;
      while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
      if (wrap_waiting_) {
        column_ = 0;
        line_feed();
        wrap_waiting_ = false;
      }
      rows_[row_][column_] = std::string(text.substr(i, end - i));
      if (column_ + 1 < columns_) {
        ++column_;
      } else {
        wrap_waiting_ = true;
      }
      i = end;
    }
  }
}

void Terminal::resize(size_t rows, size_t columns, bool rewrap) {
  std::vector<Row> next;
  size_t cursor_row = 0;
  for (size_t r = 0; r < rows_.size(); ++r) {
    Row& row = rows_[r];
    const auto last =
        std::find_if(row.rbegin(), row.rend(), [](const std::string& c) { return !c.empty(); });
    const size_t used = static_cast<size_t>(row.rend() - last);
    const size_t pieces = rewrap ? std::max<size_t>(1, (used + columns - 1) / columns) : 1;
    if (r == row_)
      cursor_row = next.size() + (rewrap ? std::min(column_ / columns, pieces - 1) : 0);
    for (size_t p = 0; p < pieces; ++p) {
      const size_t from = std::min(p * columns, row.size());
      Row piece(row.begin() + static_cast<ptrdiff_t>(from),
                row.begin() + static_cast<ptrdiff_t>(std::min(from + columns, row.size())));
      piece.resize(columns);
      next.push_back(std::move(piece));
    }
  }
  column_ = rewrap ? column_ % columns : std::min(column_, columns - 1);
  while (cursor_row >= rows) {
    next.erase(next.begin());
    --cursor_row;
    ++scrolled_off_;
  }
  next.resize(rows, Row(columns));
  rows_ = std::move(next);
  row_ = cursor_row;
  columns_ = columns;
  wrap_waiting_ = false;
}

std::vector<std::string> Terminal::screen() const {
  std::vector<std::string> out;
  for (const Row& row : rows_) {
    std::string text;
    for (const std::string& c : row) text += c.empty() ? " " : c;
    text.erase(text.find_last_not_of(' ') + 1);
    out.push_back(text);
  }
  return out;
}

}  // namespace varnock::testing
