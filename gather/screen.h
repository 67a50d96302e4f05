// Standard output as varnock-gather writes it, behind a seam tests replace.
#ifndef VARNOCK_GATHER_SCREEN_H_
#define VARNOCK_GATHER_SCREEN_H_

#include <string_view>

#include "platform/writes.h"

namespace varnock::gather {

// A terminal's size in character cells.
struct TerminalSize {
  int rows = 24;
  int columns = 80;
};

// Use from one thread, the one that writes.
class Screen {
 public:
  virtual ~Screen() = default;
  // Whether it is a terminal, where the table is drawn over itself.
  virtual bool terminal() const = 0;
  // The terminal's size now; 24x80 for whatever it cannot tell (not a
  // terminal, or a terminal that reports 0, as a fresh pseudo-terminal does).
  virtual TerminalSize size() const = 0;
  // Writes `text` and flushes it; once a write has failed, writes nothing.
  virtual void write(std::string_view text) = 0;
  // errno of the first failed write, 0 while every write has succeeded.
  virtual int error() const = 0;
};

// This process's standard output.
class StandardOutput final : public Screen {
 public:
  StandardOutput();
  bool terminal() const override { return terminal_; }
  TerminalSize size() const override;
  void write(std::string_view text) override;
  int error() const override { return writes_.error(); }

 private:
  bool terminal_;
  FirstWriteError writes_;
};

}  // namespace varnock::gather

#endif  // VARNOCK_GATHER_SCREEN_H_
