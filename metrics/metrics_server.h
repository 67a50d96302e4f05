// The HTTP server behind --metrics: GET or HEAD /metrics answers the text
// last published, from one thread of the server's own, apart from the
// program's work; a scraper may keep its connection from scrape to scrape.
// Bounds, so that no client stalls more than itself or grows memory without
// limit: 16 connections at once, 8 of them from one address (one more from
// there is closed at once); 16 more wait in the listen queue; a connection
// idle for 5 s is closed; a request's line and headers must fit in the
// connection's 16 KiB (else 431). A response shares the published text, not
// a copy of it.
#ifndef VARNOCK_METRICS_METRICS_SERVER_H_
#define VARNOCK_METRICS_METRICS_SERVER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "metrics/endpoint.h"

namespace varnock::metrics {

inline constexpr unsigned kMaxConnections = 16;
inline constexpr unsigned kMaxConnectionsPerAddress = 8;
inline constexpr unsigned kListenBacklog = 16;
inline constexpr unsigned kIdleTimeoutSeconds = 5;
inline constexpr size_t kConnectionMemoryBytes = size_t{16} * 1024;

inline constexpr char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";

class MetricsServer {
 public:
  virtual ~MetricsServer() = default;  // stops serving, closes every connection, joins the thread

  // Replaces the text /metrics answers with (Prometheus' text format 0.0.4);
  // until the first call it answers with an empty text. Any thread may call;
  // it waits for no client, only for the swap of a pointer. A response being
  // sent keeps the text it began with, so that at most one text per
  // connection is held beside the current one.
  virtual void publish(std::string text) = 0;

  // The port served: the one asked for, or the one chosen for port 0.
  virtual uint16_t port() const = 0;
};

// Starts serving `endpoint`; null with *error saying what failed and why
// (the address in use, not this host's, not permitted). The server's thread
// takes no signal: every signal is blocked in it. A client going away never
// raises SIGPIPE. On Windows it always fails: the Windows build serves no
// HTTP. Any thread may call.
std::unique_ptr<MetricsServer> start_metrics_server(const Endpoint& endpoint, std::string* error);

}  // namespace varnock::metrics

#endif  // VARNOCK_METRICS_METRICS_SERVER_H_
