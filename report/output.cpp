#include "report/output.h"

#include <utility>

namespace varnock::report {

ReportOutput::ReportOutput(std::FILE* out, bool json, std::FILE* csv, std::string csv_name)
    : out_(out), json_(json), csv_(csv), csv_name_("--csv " + std::move(csv_name)) {
  if (csv_ != nullptr) write(csv_, csv_header(), csv_name_);
}

void ReportOutput::write(std::FILE* f, const std::string& text, const std::string& name) {
  // Flushed line by line, so that a reader sees each row when it is made and
  // a full disk or a closed pipe shows at once.
  if (writes_.error() == 0 && !writes_.write(f, text)) failed_ = name;
}

void ReportOutput::start(const StartInfo& info) {
  frames_ = !info.messages_only;
  if (json_) write(out_, json_start(info), "standard output");
}

void ReportOutput::row(const account::SecondReport& r) {
  write(out_, json_ ? json_row(r) : text_row(r, frames_), "standard output");
  if (csv_ != nullptr) write(csv_, csv_row(r), csv_name_);
}

void ReportOutput::summary(const account::Summary& s) {
  write(out_, json_ ? json_summary(s) : text_summary(s, frames_), "standard output");
}

}  // namespace varnock::report
