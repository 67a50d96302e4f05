#include "metrics/metrics_server.h"

namespace varnock::metrics {

// libmicrohttpd is not among what the Windows programs link: the Linux
// programs serve /metrics.
std::unique_ptr<MetricsServer> start_metrics_server(const Endpoint& endpoint, std::string* error) {
  *error = "cannot serve /metrics on " + endpoint_text(endpoint, endpoint.port) +
           ": serving metrics over HTTP is not in the Windows build; the Linux programs serve "
           "them (--metrics), and varnock-check and varnock-gather write them to a file as well "
           "(--metrics-file)";
  return nullptr;
}

}  // namespace varnock::metrics
