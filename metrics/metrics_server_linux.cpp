#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <pthread.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "metrics/metrics_server.h"

namespace varnock::metrics {
namespace {

constexpr char kNotFound[] = "404 Not Found: this server answers only /metrics\n";
constexpr char kNotAllowed[] = "405 Method Not Allowed: /metrics answers GET and HEAD\n";

// What libmicrohttpd logs while it starts, for the error should it fail.
// Later messages (a client turned away at a limit, say) concern clients, not
// the program's output, and are dropped.
class StartLog {
 public:
  static void log(void* cls, const char* format, va_list args) {
    std::array<char, 256> line{};
    std::vsnprintf(line.data(), line.size(), format, args);
    auto* self = static_cast<StartLog*>(cls);
    const std::lock_guard lock(self->mutex_);
    if (!self->collecting_ || self->text_.size() > 512) return;
    std::string_view text = line.data();
    while (!text.empty() && (text.back() == '\n' || text.back() == '.')) text.remove_suffix(1);
    if (!self->text_.empty()) self->text_ += "; ";
    self->text_ += text;
  }
  // What was logged so far; nothing is kept after.
  std::string finish() {
    const std::lock_guard lock(mutex_);
    collecting_ = false;
    return std::move(text_);
  }

 private:
  std::mutex mutex_;
  bool collecting_ = true;
  std::string text_;
};

MHD_Response* fixed_response(const char* body) {
  MHD_Response* r = MHD_create_response_from_buffer(std::strlen(body), const_cast<char*>(body),
                                                    MHD_RESPMEM_PERSISTENT);
  if (r != nullptr) MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
  return r;
}

class MhdMetricsServer final : public MetricsServer {
 public:
  MhdMetricsServer()
      : text_(std::make_shared<const std::string>()),
        not_found_(fixed_response(kNotFound)),
        not_allowed_(fixed_response(kNotAllowed)) {
    if (not_allowed_ != nullptr)
      MHD_add_response_header(not_allowed_, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  }
  MhdMetricsServer(const MhdMetricsServer&) = delete;
  MhdMetricsServer& operator=(const MhdMetricsServer&) = delete;

  ~MhdMetricsServer() override {
    if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
    if (not_found_ != nullptr) MHD_destroy_response(not_found_);
    if (not_allowed_ != nullptr) MHD_destroy_response(not_allowed_);
  }

  void publish(std::string text) override {
    auto next = std::make_shared<const std::string>(std::move(text));
    const std::lock_guard lock(mutex_);
    text_.swap(next);
    // The old text is released after the lock, by the last response holding it.
  }

  uint16_t port() const override { return port_; }

  bool start(const Endpoint& endpoint, std::string* error);

 private:
  using Text = std::shared_ptr<const std::string>;

  static MHD_Result answer(void* cls, MHD_Connection* connection, const char* url,
                           const char* method, const char* /*version*/, const char* /*upload_data*/,
                           size_t* upload_data_size,  // NOLINT: libmicrohttpd's type
                           void** request) {
    auto* self = static_cast<MhdMetricsServer*>(cls);
    // A refusal is queued at once, so that a body is never read: the
    // connection closes after it.
    if (std::strcmp(url, "/metrics") != 0) {
      return MHD_queue_response(connection, MHD_HTTP_NOT_FOUND, self->not_found_);
    }
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
        std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
      return MHD_queue_response(connection, MHD_HTTP_METHOD_NOT_ALLOWED, self->not_allowed_);
    }
    // The text is queued once the request is whole (libmicrohttpd's next
    // call), which keeps the connection open for the next scrape. A GET with
    // a body is not one: its connection is closed.
    if (*request == nullptr) {
      *request = self;
      return MHD_YES;
    }
    if (*upload_data_size != 0) return MHD_NO;
    return self->queue_text(connection);
  }

  // The response holds the text it sends, so that a publish meanwhile neither
  // waits for it nor changes what it sends.
  MHD_Result queue_text(MHD_Connection* connection) {
    Text current;
    {
      const std::lock_guard lock(mutex_);
      current = text_;
    }
    auto* held = new (std::nothrow) Text(std::move(current));
    if (held == nullptr) return MHD_NO;
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        (*held)->size(), const_cast<char*>((*held)->data()), &release, held);
    if (response == nullptr) {
      delete held;
      return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, kContentType);
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
  }

  static void release(void* held) { delete static_cast<Text*>(held); }

  std::mutex mutex_;
  Text text_;  // guarded by mutex_
  MHD_Response* not_found_;
  MHD_Response* not_allowed_;
  StartLog log_;
  MHD_Daemon* daemon_ = nullptr;
  uint16_t port_ = 0;
};

bool MhdMetricsServer::start(const Endpoint& endpoint, std::string* error) {
  const std::string where = "cannot serve /metrics on " + endpoint_text(endpoint, endpoint.port);
  if (not_found_ == nullptr || not_allowed_ == nullptr) {
    *error = where + ": out of memory";
    return false;
  }
  sockaddr_in address4{};
  sockaddr_in6 address6{};
  sockaddr* address = nullptr;
  int parsed = 0;
  if (endpoint.ipv6) {
    address6.sin6_family = AF_INET6;
    address6.sin6_port = htons(endpoint.port);
    parsed = inet_pton(AF_INET6, endpoint.address.c_str(), &address6.sin6_addr);
    address = reinterpret_cast<sockaddr*>(&address6);
  } else {
    address4.sin_family = AF_INET;
    address4.sin_port = htons(endpoint.port);
    parsed = inet_pton(AF_INET, endpoint.address.c_str(), &address4.sin_addr);
    address = reinterpret_cast<sockaddr*>(&address4);
  }
  if (parsed != 1) {
    *error = where + ": '" + endpoint.address + "' is not a numeric address";
    return false;
  }

  // One thread polls every connection with epoll; a client holds only its
  // own connection up. The thread starts with every signal blocked, so that
  // the program's signals are taken where it waits for them (and a SIGPIPE
  // on this thread, were one raised, would stay pending on it: libmicrohttpd
  // sends with MSG_NOSIGNAL).
  unsigned flags =
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC | MHD_USE_ERROR_LOG;
  if (endpoint.ipv6) flags |= MHD_USE_IPv6;
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  daemon_ = MHD_start_daemon(
      flags, endpoint.port, nullptr, nullptr, &answer, this, MHD_OPTION_SOCK_ADDR, address,
      MHD_OPTION_LISTEN_BACKLOG_SIZE, kListenBacklog, MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxConnectionsPerAddress, MHD_OPTION_CONNECTION_TIMEOUT,
      kIdleTimeoutSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemoryBytes,
      MHD_OPTION_EXTERNAL_LOGGER, &StartLog::log, &log_, MHD_OPTION_END);
  const int start_errno = errno;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  const std::string logged = log_.finish();
  if (daemon_ == nullptr) {
    *error = where + ": " + (logged.empty() ? std::strerror(start_errno) : logged);
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info != nullptr ? info->port : endpoint.port;
  return true;
}

}  // namespace

std::unique_ptr<MetricsServer> start_metrics_server(const Endpoint& endpoint, std::string* error) {
  auto server = std::make_unique<MhdMetricsServer>();
  if (!server->start(endpoint, error)) return nullptr;
  return server;
}

}  // namespace varnock::metrics
