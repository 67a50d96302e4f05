#include "check/diagnose.h"

#include <arpa/inet.h>
#include <lcm/lcm.h>
#include <net/if.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <span>

#include "check/run.h"
#include "check/socket_stats.h"
#include "check/validate.h"
#include "platform/signals.h"

namespace varnock::check {
namespace {

constexpr int64_t kDefaultSeconds = 3;
constexpr int32_t kFirstPeriod = 60;  // a restarted publisher begins here again

std::string buffer_fix() {
  return "recv_buf_size=" + std::to_string(kSuggestedBuffer) +
         " in the URL and sysctl -w net.core.rmem_max=" + std::to_string(kSuggestedBuffer);
}

std::string ipv4(in_addr a) {
  std::array<char, INET_ADDRSTRLEN> text{};
  inet_ntop(AF_INET, &a, text.data(), text.size());
  return text.data();
}

// 1638440 -> "1,638,440"
std::string bytes(int64_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    const size_t left = digits.size() - i;
    if (i > 0 && left % 3 == 0 && digits[i - 1] != '-') out += ',';
    out += digits[i];
  }
  return out;
}

DiagnoseLine ok(std::string subject, std::string text) {
  return {DiagnoseLine::kOk, std::move(subject), std::move(text), ""};
}
DiagnoseLine warn(std::string subject, std::string text, std::string fix = "") {
  return {DiagnoseLine::kWarn, std::move(subject), std::move(text), std::move(fix)};
}
DiagnoseLine fail(std::string subject, std::string text, std::string fix = "") {
  return {DiagnoseLine::kFail, std::move(subject), std::move(text), std::move(fix)};
}

std::string route_text(const LcmUrl& url, const Route& route) {
  std::string text = url.group_text + " via ";
  text += route.prefix_length == 0
              ? "the default route"
              : ipv4(route.destination) + "/" + std::to_string(route.prefix_length);
  if (route.gateway) text += " (gateway " + ipv4(*route.gateway) + ")";
  if (!route.interface.empty()) text += " dev " + route.interface;
  return text;
}

void interface_lines(const LcmUrl& url, const SetupFacts& f, std::vector<DiagnoseLine>* lines) {
  const std::string& name = f.route.interface;
  const int flags = f.interface_flags;
  if (flags < 0) {
    lines->push_back(warn("interface", "cannot read the flags of " + name));
  } else if ((flags & IFF_UP) == 0) {
    lines->push_back(fail("interface", name + " is down", "ip link set " + name + " up"));
  } else {
    lines->push_back(ok("interface", name + " is up"));
  }
  if (flags >= 0 && (flags & IFF_MULTICAST) == 0) {
    // Linux carries multicast over an interface without the flag all the
    // same (measured on lo and on veth), so it is not a failure by itself.
    lines->push_back(warn("multicast flag",
                          name + " has multicast off; LCM's set-up guide asks for it on",
                          "ip link set " + name + " multicast on"));
  } else if (flags >= 0) {
    lines->push_back(ok("multicast flag", name + " has multicast on"));
  }
  const bool loopback = flags >= 0 ? (flags & IFF_LOOPBACK) != 0 : name == "lo";
  const std::string ttl = "ttl=" + std::to_string(url.ttl);
  // ttl limits what is published with the URL; a subscriber receives all the same.
  if (loopback && url.ttl >= 1) {
    lines->push_back(warn("ttl",
                          ttl + ", but the route is on " + name +
                              ": what is published with this URL stays on this host all the same",
                          "ttl=0 for this host, or ip route replace 224.0.0.0/4 dev <interface> "
                          "to reach the LAN"));
  } else if (loopback) {
    lines->push_back(ok("ttl", ttl + " on " + name + ": this host only"));
  } else if (url.ttl == 0) {
    lines->push_back(warn("ttl",
                          ttl +
                              ": what is published with this URL stays on this host, though "
                              "the route leads to " +
                              name + " (receiving is not affected)",
                          "ttl=1 in a publisher's URL to reach the LAN"));
  } else {
    lines->push_back(ok("ttl", ttl + " through " + name + ": reaches the LAN"));
  }
}

void buffer_lines(const LcmUrl& url, const SetupFacts& f, std::vector<DiagnoseLine>* lines) {
  const std::string need = bytes(kGrantedNeed);
  if (f.rmem_max < 0) {
    lines->push_back(warn("rmem_max", "cannot read /proc/sys/net/core/rmem_max"));
  } else if (f.rmem_max < kRequestNeed) {
    lines->push_back(fail("rmem_max",
                          "net.core.rmem_max is " + bytes(f.rmem_max) +
                              " bytes: no socket gets more than " + bytes(2 * f.rmem_max) +
                              ", a frame needs " + need,
                          "sysctl -w net.core.rmem_max=" + std::to_string(kSuggestedBuffer)));
  } else {
    lines->push_back(ok("rmem_max", "net.core.rmem_max is " + bytes(f.rmem_max) + " bytes"));
  }

  if (url.recv_buf_size.value_or(0) > 0) {
    const int64_t asked = *url.recv_buf_size;
    const int64_t granted = 2 * (f.rmem_max >= 0 ? std::min(asked, f.rmem_max) : asked);
    const std::string text = bytes(asked) + " bytes asked: the kernel grants " + bytes(granted);
    if (granted >= kGrantedNeed) {
      lines->push_back(ok("recv_buf_size", text));
    } else if (asked < kRequestNeed) {
      lines->push_back(fail("recv_buf_size", text + ", a frame needs " + need,
                            "recv_buf_size=" + std::to_string(kSuggestedBuffer) + " in the URL"));
    } else {
      lines->push_back(fail("recv_buf_size",
                            text + " (cut to net.core.rmem_max), a frame needs " + need,
                            "sysctl -w net.core.rmem_max=" + std::to_string(kSuggestedBuffer)));
    }
  } else if (f.rmem_default < 0) {
    lines->push_back(warn("recv_buf_size", "none in the URL, and rmem_default is unreadable"));
  } else {
    const std::string text = "none in the URL: the socket gets net.core.rmem_default, " +
                             bytes(f.rmem_default) + " bytes";
    if (f.rmem_default >= kGrantedNeed) {
      lines->push_back(ok("recv_buf_size", text));
    } else {
      lines->push_back(
          fail("recv_buf_size", text + ", a frame needs " + need,
               "add recv_buf_size=" + std::to_string(kSuggestedBuffer) + " to the URL"));
    }
  }
}

DiagnoseLine channel_line(const char* subject, const char* what, int64_t whole, int64_t corrupt,
                          const TrafficFacts& f) {
  const std::string seconds = std::to_string(std::llround(f.seconds));
  if (whole + corrupt == 0) {
    const char* hint = f.udpm ? ": is varnock running, publishing to this group and port? Across "
                                "hosts it needs ttl=1, and the route on the LAN interface on both"
                              : ": is varnock publishing on this bus?";
    return fail(subject, std::string("no ") + what + " in " + seconds + " s" + hint);
  }
  if (corrupt > 0) {
    return fail(subject, std::to_string(whole) + " whole, " + std::to_string(corrupt) +
                             " corrupt (first: " + f.first_problem + ")");
  }
  return ok(subject, std::to_string(whole) + " in " + seconds + " s, all whole");
}

void read_sysctl(const char* path, int64_t* value) {
  std::ifstream in(path);
  if (!(in >> *value)) *value = -1;
}

void print(const DiagnoseLine& line, std::vector<DiagnoseLine>* all) {
  std::fputs(format_line(line).c_str(), stdout);
  std::fflush(stdout);
  all->push_back(line);
}

int finish(const std::vector<DiagnoseLine>& lines, bool bus_opened, bool corrupt) {
  const auto failed = std::count_if(lines.begin(), lines.end(), [](const DiagnoseLine& l) {
    return l.mark == DiagnoseLine::kFail;
  });
  const int status = diagnose_exit_status(lines, bus_opened, corrupt);
  if (failed == 0) {
    std::puts("verdict: all well, and traffic arrived whole");
  } else {
    std::printf("verdict: %ld of %zu checks failed (exit status %d)\n", static_cast<long>(failed),
                lines.size(), status);
  }
  std::fflush(stdout);
  return status;
}

struct Listener {
  TrafficFacts facts;
  FrameValidator frames;
  int32_t last_period = -1;

  void problem(std::string_view p) {
    if (facts.first_problem.empty()) facts.first_problem = std::string(p);
  }
};

std::span<const uint8_t> message(const lcm_recv_buf_t* rbuf) {
  return {static_cast<const uint8_t*>(rbuf->data), rbuf->data_size};
}

void on_status(const lcm_recv_buf_t* rbuf, const char* /*channel*/, void* user) {
  auto* l = static_cast<Listener*>(user);
  const StatusVerdict v = validate_status(message(rbuf));
  if (v.valid()) {
    ++l->facts.status_records;
  } else {
    ++l->facts.status_corrupt;
    l->problem(v.problem);
  }
}

void on_frame(const lcm_recv_buf_t* rbuf, const char* /*channel*/, void* user) {
  auto* l = static_cast<Listener*>(user);
  const FrameVerdict v = l->frames.validate(message(rbuf));
  if (!v.valid()) {
    ++l->facts.frames_corrupt;
    l->problem(v.problem);
    return;
  }
  ++l->facts.frames;
  if (v.period < 0) return;  // no sequence number
  if (l->last_period >= 0 && v.period > l->last_period + 1) {
    l->facts.frames_lost += v.period - l->last_period - 1;
  }
  if (v.period > l->last_period || v.period == kFirstPeriod) l->last_period = v.period;
}

void listen(lcm_t* bus, int64_t seconds, Clock& clock, Listener* listener) {
  const int64_t start = clock.monotonic_nanoseconds();
  const int64_t end = start + seconds * 1'000'000'000;
  for (int64_t now = start; now < end && received_stop_signal() == 0;
       now = clock.monotonic_nanoseconds()) {
    const int64_t ms = std::clamp<int64_t>((end - now + 999'999) / 1'000'000, 1, 200);
    if (lcm_handle_timeout(bus, static_cast<int>(ms)) < 0) break;
  }
  listener->facts.seconds = static_cast<double>(clock.monotonic_nanoseconds() - start) / 1e9;
}

}  // namespace

std::string format_line(const DiagnoseLine& line) {
  static constexpr const char* kMarks[] = {"ok    ", "warn  ", "FAIL  "};
  std::string out = kMarks[line.mark] + line.subject + ": " + line.text;
  if (!line.fix.empty()) out += "; fix: " + line.fix;
  return out + "\n";
}

std::vector<DiagnoseLine> setup_lines(const LcmUrl& url, const SetupFacts& facts) {
  std::vector<DiagnoseLine> lines;
  if (!facts.route_error.empty()) {
    lines.push_back(fail("route", "no route to " + url.group_text + " (" + facts.route_error + ")",
                         "ip route add 224.0.0.0/4 dev lo (this host only), or dev <interface> "
                         "for a LAN"));
  } else if (facts.route.interface.empty()) {
    lines.push_back(warn("route", route_text(url, facts.route) + ", but on no interface named"));
  } else {
    lines.push_back(ok("route", route_text(url, facts.route)));
    interface_lines(url, facts, &lines);
  }
  buffer_lines(url, facts, &lines);
  return lines;
}

DiagnoseLine granted_buffer_line(int64_t granted) {
  if (granted < 0) return warn("receive buffer", "cannot read SO_RCVBUF of LCM's socket");
  const std::string text = "the kernel granted LCM's socket " + bytes(granted) +
                           " bytes, a frame needs " + bytes(kGrantedNeed);
  if (granted < kGrantedNeed) return fail("receive buffer", text, buffer_fix());
  return ok("receive buffer", text);
}

std::vector<DiagnoseLine> traffic_lines(const TrafficFacts& f) {
  std::vector<DiagnoseLine> lines;
  lines.push_back(channel_line("status records", "status records (RECSTAT)", f.status_records,
                               f.status_corrupt, f));
  DiagnoseLine frames = channel_line("frames", "frames (TFIMAGE)", f.frames, f.frames_corrupt, f);
  if (frames.mark == DiagnoseLine::kOk && f.frames_lost > 0) {
    frames = fail("frames", std::to_string(f.frames) + " whole, " + std::to_string(f.frames_lost) +
                                " lost (gaps in their sequence numbers)");
  }
  lines.push_back(frames);
  if (!f.udpm) return lines;
  if (!f.kernel_drops) {
    lines.push_back(warn("kernel drops", "unknown: LCM's receiving socket was not found"));
  } else if (*f.kernel_drops > 0) {
    lines.push_back(fail("kernel drops",
                         "the kernel dropped " + std::to_string(*f.kernel_drops) +
                             " datagrams for LCM's socket: its receive buffer overflowed",
                         buffer_fix()));
  } else {
    lines.push_back(ok("kernel drops", "none for LCM's socket"));
  }
  return lines;
}

int diagnose_exit_status(const std::vector<DiagnoseLine>& lines, bool bus_opened, bool corrupt) {
  if (!bus_opened) return kCheckNoBus;
  if (corrupt) return kCheckCorrupt;
  const bool failed = std::any_of(lines.begin(), lines.end(), [](const DiagnoseLine& l) {
    return l.mark == DiagnoseLine::kFail;
  });
  return failed ? kDiagnoseFailed : kCheckOk;
}

int run_diagnose(const Options& options, Clock& clock) {
  install_stop_handlers();
  const std::string url_text = url_in_use(options);
  std::vector<DiagnoseLine> lines;
  LcmUrl url;
  if (const std::string error = parse_lcm_url(url_text, &url); !error.empty()) {
    print(fail("url", url_text + ": " + error), &lines);
    return finish(lines, true, false);
  }
  if (!url.udpm()) {
    print(ok("url", url_text + ": provider " + url.provider + ", no network to check"), &lines);
  } else {
    std::string text = url_text + ": group " + url.group_text + ", port " +
                       std::to_string(url.port) + ", ttl " + std::to_string(url.ttl);
    if (url.unknown_options.empty()) {
      print(ok("url", text), &lines);
    } else {
      text += "; LCM ignores the option";
      for (const std::string& o : url.unknown_options) text += " '" + o + "'";
      print(warn("url", text), &lines);
    }
    SetupFacts facts;
    facts.route_error = lookup_route(url.group, &facts.route);
    if (facts.route_error.empty()) facts.interface_flags = interface_flags(facts.route.interface);
    read_sysctl("/proc/sys/net/core/rmem_max", &facts.rmem_max);
    read_sysctl("/proc/sys/net/core/rmem_default", &facts.rmem_default);
    for (const DiagnoseLine& line : setup_lines(url, facts)) print(line, &lines);
  }

  lcm_t* bus = lcm_create(url_text.c_str());
  if (bus == nullptr) {
    print(fail("bus", "LCM cannot open " + url_text + " (its reason is on standard error)"),
          &lines);
    return finish(lines, false, false);
  }
  Listener listener;
  // A subscription that cannot set up receiving is refused; after that LCM
  // 1.3.1 may hand out no descriptor, on which lcm_handle_timeout aborts.
  const bool subscribed = lcm_subscribe(bus, "RECSTAT", on_status, &listener) != nullptr &&
                          lcm_subscribe(bus, "TFIMAGE", on_frame, &listener) != nullptr;
  if (!subscribed || lcm_get_fileno(bus) < 0) {
    print(fail("bus", "LCM opened " + url_text +
                          " but cannot receive on it (its reason is on standard error)"),
          &lines);
    lcm_destroy(bus);
    return finish(lines, false, false);
  }
  print(ok("bus", "LCM opened it and subscribed to RECSTAT and TFIMAGE"), &lines);

  std::optional<ReceiveSocket> socket;
  int64_t drops_before = -1;
  if (url.udpm()) {
    socket = ReceiveSocket::find(url.port);
    if (socket) {
      print(granted_buffer_line(socket->receive_buffer_bytes()), &lines);
      drops_before = socket->drops();
    } else {
      print(warn("receive buffer",
                 "LCM's receiving socket on port " + std::to_string(url.port) + " was not found"),
            &lines);
    }
  }

  listen(bus, options.seconds > 0 ? options.seconds : kDefaultSeconds, clock, &listener);
  if (socket) {
    const int64_t drops_after = socket->drops();
    if (drops_before >= 0 && drops_after >= drops_before) {
      listener.facts.kernel_drops = drops_after - drops_before;
    }
  }
  lcm_destroy(bus);

  listener.facts.udpm = url.udpm();
  for (const DiagnoseLine& line : traffic_lines(listener.facts)) print(line, &lines);
  return finish(lines, true, listener.facts.status_corrupt + listener.facts.frames_corrupt > 0);
}

}  // namespace varnock::check
