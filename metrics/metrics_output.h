// Where a program's metrics go: served over HTTP (--metrics) and written to
// a file (--metrics-file), each second. Main thread only; the server
// answers from a thread of its own, from the text last published.
#ifndef VARNOCK_METRICS_METRICS_OUTPUT_H_
#define VARNOCK_METRICS_METRICS_OUTPUT_H_

#include <memory>
#include <string>
#include <string_view>

namespace varnock::metrics {

class MetricsServer;

// What every program's --help says of the server, ending in a line feed.
inline constexpr char kServerHelp[] =
    "The server answers from a thread of its own, with the text made when the\n"
    "last second settled, so that no client holds up the work: it keeps at most\n"
    "16 connections (8 from one address; more are closed at once), closes one\n"
    "idle for 5 s, and refuses a request whose headers pass 16 KiB.\n";

class MetricsOutput {
 public:
  // `program` begins what it says on standard error.
  explicit MetricsOutput(std::string program);
  ~MetricsOutput();
  MetricsOutput(const MetricsOutput&) = delete;
  MetricsOutput& operator=(const MetricsOutput&) = delete;

  // Starts serving `endpoint` ("ADDRESS:PORT", ":PORT"; empty: no server)
  // and writes `initial` to `file` (empty: none), saying on standard error
  // where the metrics are; returns "" or what failed and why.
  std::string open(std::string_view endpoint, const std::string& file, const std::string& initial);
  bool active() const { return server_ != nullptr || !file_.empty(); }

  // Serves `text` from now on and replaces the file with it. A file that
  // cannot be written is said once on standard error and not tried again.
  void publish(const std::string& text);
  // errno of the file's failed write, 0 while every write has succeeded.
  int file_error() const { return file_error_; }
  const std::string& file() const { return file_; }

 private:
  std::string program_;
  std::unique_ptr<MetricsServer> server_;
  std::string file_;
  int file_error_ = 0;
};

}  // namespace varnock::metrics

#endif  // VARNOCK_METRICS_METRICS_OUTPUT_H_
