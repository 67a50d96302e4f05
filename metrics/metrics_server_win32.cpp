#include "metrics/metrics_server.h"

namespace varnock::metrics {

// libmicrohttpd is not among what the Windows programs link: the Linux
// programs serve /metrics.
std::unique_ptr<MetricsServer> start_metrics_server(const Endpoint& endpoint,
                                                    std::string* error) {
  *error = "cannot serve /metrics on " + endpoint_text(endpoint, endpoint.port) +
           ": serving metrics over HTTP is not in the Windows build; varnock-check and "
           "varnock-gather on Linux serve them (--metrics) or write them to a file "
           "(--metrics-file)";
  return nullptr;
}

}  // namespace varnock::metrics
