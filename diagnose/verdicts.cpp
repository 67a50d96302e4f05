#include "diagnose/verdicts.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "host/receive_buffer.h"

namespace varnock::diagnose {
namespace {

using host::BufferNeed;
using host::LcmUrl;
using host::Route;

std::string buffer_fix(const BufferNeed& need) {
  return "recv_buf_size=" + std::to_string(need.suggested) +
         " in the URL and sysctl -w net.core.rmem_max=" + std::to_string(need.suggested);
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
  const host::InterfaceState& state = f.interface;
  if (!state.known) {
    lines->push_back(warn("interface", "cannot read the flags of " + name));
  } else if (!state.up) {
    lines->push_back(fail("interface", name + " is down", "ip link set " + name + " up"));
  } else {
    lines->push_back(ok("interface", name + " is up"));
  }
  if (state.known && !state.multicast) {
    // Linux carries multicast over an interface without the flag all the
    // same (measured on lo and on veth), so it is not a failure by itself.
    lines->push_back(warn("multicast flag",
                          name + " has multicast off; LCM's set-up guide asks for it on",
                          "ip link set " + name + " multicast on"));
  } else if (state.known) {
    lines->push_back(ok("multicast flag", name + " has multicast on"));
  }
  const bool loopback = state.known ? state.loopback : name == "lo";
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

std::string frame_text(const FrameFacts& frame) {
  return frame.seen ? "a frame of " + bytes(frame.bytes) + " bytes, the largest that arrived"
                    : "a frame of varnock's " + bytes(frame.bytes) + " bytes; none arrived";
}

void add_buffer_lines(const LcmUrl& url, const SetupFacts& f, const FrameFacts& frame,
                      std::vector<DiagnoseLine>* lines) {
  const BufferNeed n = host::buffer_need(frame.bytes);
  const std::string need = bytes(n.granted) + " (" + frame_text(frame) + ")";
  if (f.rmem_max < 0) {
    lines->push_back(warn("rmem_max", "cannot read /proc/sys/net/core/rmem_max"));
  } else if (f.rmem_max < n.request) {
    lines->push_back(fail("rmem_max",
                          "net.core.rmem_max is " + bytes(f.rmem_max) +
                              " bytes: no socket gets more than " + bytes(2 * f.rmem_max) +
                              ", a frame needs " + need,
                          "sysctl -w net.core.rmem_max=" + std::to_string(n.suggested)));
  } else {
    lines->push_back(ok("rmem_max", "net.core.rmem_max is " + bytes(f.rmem_max) + " bytes"));
  }

  if (url.recv_buf_size.value_or(0) > 0) {
    const int64_t asked = *url.recv_buf_size;
    const int64_t granted = 2 * (f.rmem_max >= 0 ? std::min(asked, f.rmem_max) : asked);
    const std::string text = bytes(asked) + " bytes asked: the kernel grants " + bytes(granted);
    if (granted >= n.granted) {
      lines->push_back(ok("recv_buf_size", text + ", enough for " + frame_text(frame)));
    } else if (asked < n.request) {
      lines->push_back(fail("recv_buf_size", text + ", a frame needs " + need,
                            "recv_buf_size=" + std::to_string(n.suggested) + " in the URL"));
    } else {
      lines->push_back(fail("recv_buf_size",
                            text + " (cut to net.core.rmem_max), a frame needs " + need,
                            "sysctl -w net.core.rmem_max=" + std::to_string(n.suggested)));
    }
  } else if (f.rmem_default < 0) {
    lines->push_back(warn("recv_buf_size", "none in the URL, and rmem_default is unreadable"));
  } else {
    const std::string text = "none in the URL: the socket gets net.core.rmem_default, " +
                             bytes(f.rmem_default) + " bytes";
    if (f.rmem_default >= n.granted) {
      lines->push_back(ok("recv_buf_size", text + ", enough for " + frame_text(frame)));
    } else {
      lines->push_back(fail("recv_buf_size", text + ", a frame needs " + need,
                            "add recv_buf_size=" + std::to_string(n.suggested) + " to the URL"));
    }
  }
}

// Fewer cycles than this in a listen judge nothing.
constexpr int64_t kFewCycles = 10;

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
  return lines;
}

std::vector<DiagnoseLine> buffer_lines(const LcmUrl& url, const SetupFacts& facts,
                                       const FrameFacts& frame) {
  std::vector<DiagnoseLine> lines;
  add_buffer_lines(url, facts, frame, &lines);
  return lines;
}

DiagnoseLine granted_buffer_line(int64_t granted, const FrameFacts& frame) {
  if (granted < 0) return warn("receive buffer", "cannot read SO_RCVBUF of LCM's socket");
  const BufferNeed need = host::buffer_need(frame.bytes);
  const std::string text = "the kernel granted LCM's socket " + bytes(granted) + " bytes, " +
                           frame_text(frame) + ", needs " + bytes(need.granted);
  if (granted < need.granted) return fail("receive buffer", text, buffer_fix(need));
  return ok("receive buffer", text);
}

std::vector<DiagnoseLine> traffic_lines(const TrafficFacts& f) {
  std::vector<DiagnoseLine> lines;
  lines.push_back(channel_line("status records", "status records (RECSTAT)", f.status_records,
                               f.status_corrupt, f));
  DiagnoseLine frames = channel_line("frames", "frames (TFIMAGE)", f.frames, f.frames_corrupt, f);
  if (f.frames + f.frames_corrupt == 0 && f.status_records > 0) {
    // The publisher runs and reaches this host: its frames, each many
    // datagrams and more IP fragments, did not.
    frames =
        fail("frames", "no frames (TFIMAGE) in " + std::to_string(std::llround(f.seconds)) +
                           " s, though " + std::to_string(f.status_records) +
                           " status records came: the frames were lost on the way (datagrams or IP "
                           "fragments dropped, reassembly refused, or a receive buffer too small)");
  } else if (frames.mark == DiagnoseLine::kOk && f.frames_lost > 0) {
    frames = fail("frames", std::to_string(f.frames) + " whole, " + std::to_string(f.frames_lost) +
                                " lost (gaps in their sequence numbers and status records left "
                                "without their frame)");
  }
  lines.push_back(frames);
  // Too few cycles to judge: a slow stream needs a longer listen.
  if (const int64_t cycles = std::max(f.frames, f.status_records);
      cycles < kFewCycles && f.seconds > 0) {
    const double per_second = static_cast<double>(cycles) / f.seconds;
    const auto longer = static_cast<int64_t>(
        std::ceil(per_second > 0 ? kFewCycles / per_second : std::max(10.0, 10 * f.seconds)));
    lines.push_back(warn("traffic",
                         "only " + std::to_string(cycles) + " cycles in " +
                             std::to_string(std::llround(f.seconds)) +
                             " s: too few to judge a stream this slow",
                         "listen longer, e.g. --seconds " + std::to_string(longer)));
  }
  if (!f.udpm) return lines;
  if (!f.kernel_drops) {
    lines.push_back(warn("kernel drops", "unknown: LCM's receiving socket was not found"));
  } else if (*f.kernel_drops > 0) {
    lines.push_back(fail("kernel drops",
                         "the kernel dropped " + std::to_string(*f.kernel_drops) +
                             " datagrams for LCM's socket: its receive buffer overflowed",
                         buffer_fix(host::buffer_need(f.frame_bytes))));
  } else {
    lines.push_back(ok("kernel drops", "none for LCM's socket"));
  }
  return lines;
}

Verdict verdict_of(const std::vector<DiagnoseLine>& lines, bool bus_opened, bool corrupt) {
  if (!bus_opened) return Verdict::kNoBus;
  if (corrupt) return Verdict::kCorrupt;
  const bool failed = std::any_of(lines.begin(), lines.end(), [](const DiagnoseLine& l) {
    return l.mark == DiagnoseLine::kFail;
  });
  return failed ? Verdict::kFailed : Verdict::kPassed;
}

}  // namespace varnock::diagnose
