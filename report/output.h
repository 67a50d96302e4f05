// Where varnock-check's account goes: standard output, as text or JSON, and
// the rows as CSV to a file. Writes stop at the first error, which is kept
// for the run to report.
#ifndef VARNOCK_REPORT_OUTPUT_H_
#define VARNOCK_REPORT_OUTPUT_H_

#include <cstdio>
#include <string>

#include "account/account.h"
#include "platform/writes.h"
#include "report/formats.h"

namespace varnock::report {

class ReportOutput {
 public:
  // `out` is standard output or a stand-in; `csv` may be null. Neither is
  // closed here.
  ReportOutput(std::FILE* out, bool json, std::FILE* csv, std::string csv_name);

  // Call first: the text leaves the frames out with info.messages_only.
  void start(const StartInfo& info);
  void row(const account::SecondReport& r);
  void summary(const account::Summary& s);

  // errno of the first failed write, 0 while every write has succeeded.
  int error() const { return writes_.error(); }
  // The output that failed: "standard output" or "--csv NAME".
  const std::string& failed_output() const { return failed_; }

 private:
  void write(std::FILE* f, const std::string& text, const std::string& name);

  std::FILE* out_;
  bool json_;
  bool frames_ = true;  // false: --messages-only, the text shows the streams alone
  std::FILE* csv_;
  std::string csv_name_;
  FirstWriteError writes_;
  std::string failed_;
};

}  // namespace varnock::report

#endif  // VARNOCK_REPORT_OUTPUT_H_
