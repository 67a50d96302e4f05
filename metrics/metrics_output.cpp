#include "metrics/metrics_output.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "metrics/endpoint.h"
#include "metrics/metrics_server.h"
#include "platform/writes.h"

namespace varnock::metrics {

MetricsOutput::MetricsOutput(std::string program) : program_(std::move(program)) {}
MetricsOutput::~MetricsOutput() = default;

std::string MetricsOutput::open(std::string_view endpoint, const std::string& file,
                                const std::string& initial) {
  if (!file.empty()) {
    if (const int error = replace_file(file, initial); error != 0) {
      return "cannot write --metrics-file " + file + ": " + std::strerror(error);
    }
    file_ = file;
  }
  if (!endpoint.empty()) {
    Endpoint where;
    std::string why;
    if (!parse_endpoint(endpoint, &where, &why)) return why;
    server_ = start_metrics_server(where, &why);
    if (!server_) return "cannot serve --metrics " + std::string(endpoint) + ": " + why;
    server_->publish(initial);
    std::fprintf(stderr, "%s: metrics at http://%s%s%s:%u/metrics\n", program_.c_str(),
                 where.address.find(':') != std::string::npos ? "[" : "", where.address.c_str(),
                 where.address.find(':') != std::string::npos ? "]" : "",
                 static_cast<unsigned>(server_->port()));
  }
  return "";
}

void MetricsOutput::publish(const std::string& text) {
  if (server_) server_->publish(text);
  if (file_.empty() || file_error_ != 0) return;
  file_error_ = replace_file(file_, text);
  if (file_error_ != 0) {
    std::fprintf(stderr, "%s: cannot write --metrics-file %s: %s; it is not written again\n",
                 program_.c_str(), file_.c_str(), std::strerror(file_error_));
  }
}

}  // namespace varnock::metrics
