#include "diagnose/verdicts.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "host/fragmentation.h"
#include "host/receive_buffer.h"

namespace varnock::diagnose {
namespace {

using bus::LcmUrl;
using host::BufferNeed;
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

// The fragment loss the reassembly settings are judged against: one in ten
// thousand, which a LAN with a busy switch easily has.
constexpr double kSmallFragmentLoss = 1e-4;

// An ipfrag_time the kernel keeps incomplete queues for at most, in seconds,
// in the fixes: long enough for a datagram's fragments to arrive, short
// enough that a lost fragment does not hold its queue for long.
constexpr int64_t kShortReassemblyTime = 1;

std::string percent(double share) {
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%.1f%%", 100 * share);
  return text.data();
}

// The kernel memory that incomplete reassembly queues hold when a stream of
// `cycles_per_second` loses kSmallFragmentLoss of its fragments and each
// lost one strands half a datagram for `seconds`, plus one datagram being
// reassembled.
int64_t stranded_bytes(const host::OnTheWire& w, double cycles_per_second, int64_t seconds) {
  const double lost_per_second =
      cycles_per_second * static_cast<double>(w.packets) * kSmallFragmentLoss;
  const double stranded =
      lost_per_second * static_cast<double>(seconds) * static_cast<double>(w.reassembly_bytes) / 2;
  return static_cast<int64_t>(std::min(stranded, 1e15)) + w.reassembly_bytes;
}

// A threshold with room to spare over `need`, rounded up to a MiB.
int64_t threshold_for(int64_t need) {
  constexpr int64_t kMiB = 1 << 20;
  return (2 * need + kMiB - 1) / kMiB * kMiB;
}

void add_reassembly_lines(const SetupFacts& f, const host::OnTheWire& w, double cycles_per_second,
                          std::vector<DiagnoseLine>* lines) {
  const std::string datagram = "a datagram of a frame holds about " + bytes(w.reassembly_bytes) +
                               " bytes while it is reassembled (" +
                               std::to_string(w.fragments_per_datagram) + " fragments)";
  if (f.ipfrag_high_thresh < 0 || f.ipfrag_time < 0) {
    lines->push_back(warn("reassembly", "cannot read net.ipv4.ipfrag_high_thresh and ipfrag_time"));
  } else if (f.ipfrag_high_thresh < w.reassembly_bytes) {
    lines->push_back(fail("ipfrag_high_thresh",
                          "net.ipv4.ipfrag_high_thresh is " + bytes(f.ipfrag_high_thresh) +
                              " bytes, but " + datagram + ": no frame can arrive",
                          "sysctl -w net.ipv4.ipfrag_high_thresh=" +
                              std::to_string(threshold_for(
                                  stranded_bytes(w, cycles_per_second, kShortReassemblyTime))) +
                              " net.ipv4.ipfrag_time=" + std::to_string(kShortReassemblyTime)));
  } else if (cycles_per_second <= 0) {
    const std::string text =
        "net.ipv4.ipfrag_high_thresh is " + bytes(f.ipfrag_high_thresh) + " bytes, " + datagram;
    if (f.ipfrag_time > 2) {
      lines->push_back(
          warn("ipfrag_time",
               text + "; a lost fragment holds its queue for ipfrag_time, " +
                   std::to_string(f.ipfrag_time) + " s",
               "sysctl -w net.ipv4.ipfrag_time=" + std::to_string(kShortReassemblyTime)));
    } else {
      lines->push_back(ok("ipfrag_high_thresh", text));
    }
  } else {
    const int64_t now = stranded_bytes(w, cycles_per_second, f.ipfrag_time);
    const int64_t at_short = stranded_bytes(w, cycles_per_second, kShortReassemblyTime);
    const std::string loss = "at " + std::to_string(std::llround(cycles_per_second)) +
                             " frames/s, losing 0.01% of fragments strands about " + bytes(now) +
                             " bytes of incomplete datagrams for ipfrag_time, " +
                             std::to_string(f.ipfrag_time) + " s";
    const std::string limit =
        "net.ipv4.ipfrag_high_thresh, " + bytes(f.ipfrag_high_thresh) + " bytes";
    if (now <= f.ipfrag_high_thresh) {
      lines->push_back(ok("reassembly", loss + ", within " + limit));
    } else {
      std::string fix;
      if (f.ipfrag_time > kShortReassemblyTime) {
        fix = "sysctl -w net.ipv4.ipfrag_time=" + std::to_string(kShortReassemblyTime);
      }
      if (at_short > f.ipfrag_high_thresh || fix.empty()) {
        fix += (fix.empty() ? "sysctl -w" : "") + std::string(" net.ipv4.ipfrag_high_thresh=") +
               std::to_string(threshold_for(at_short));
      }
      lines->push_back(warn("reassembly",
                            loss + ", more than " + limit +
                                ": once it is full the kernel refuses every fragment and "
                                "nearly every frame is lost until the queues time out",
                            fix));
    }
  }
  if (f.ipfrag_max_dist == 0) {
    lines->push_back(warn("ipfrag_max_dist",
                          "net.ipv4.ipfrag_max_dist is 0: fragments of two datagrams with the "
                          "same IP ID can be joined, and the result fails the UDP checksum",
                          "sysctl -w net.ipv4.ipfrag_max_dist=64"));
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

DiagnoseLine lcm_line(const std::optional<bus::LcmVersion>& lcm) {
  if (!lcm) {
    return {DiagnoseLine::kOk, "lcm",
            "the release of the LCM library loaded now cannot be told (linked statically?)", ""};
  }
  // Both keep 30 messages a subscription and drop the rest uncounted.
  std::string text = lcm->text() + ", the library loaded now: it keeps 30 messages a subscription";
  text += bus::lcm_reassembles_reordered_fragments(lcm)
              ? " and reassembles a message whose fragments arrive out of order"
              : " and discards a message whose fragments arrive out of order";
  return {DiagnoseLine::kOk, "lcm", text, ""};
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

std::vector<DiagnoseLine> fragment_lines(const SetupFacts& facts, const FrameFacts& frame,
                                         double cycles_per_second) {
  std::vector<DiagnoseLine> lines;
  const std::string& name = facts.route.interface;
  if (name.empty()) return lines;
  if (facts.interface.mtu <= 0) {
    lines.push_back(warn("mtu", "cannot read the MTU of " + name));
    return lines;
  }
  const int64_t mtu = facts.interface.mtu;
  const host::OnTheWire w = host::on_the_wire(frame.bytes, 7, mtu);
  std::string text = name + " has MTU " + bytes(mtu) + ": a frame of " + bytes(frame.bytes) +
                     " bytes is " + bytes(w.datagrams) +
                     (w.datagrams == 1 ? " datagram" : " datagrams");
  if (w.fragments_per_datagram <= 1) {
    lines.push_back(ok("mtu", text + ", none fragmented"));
    return lines;
  }
  text += " of up to " + bytes(w.fragments_per_datagram) + " IP fragments, " + bytes(w.packets) +
          " packets: losing 0.01% of packets loses " +
          percent(host::message_loss(kSmallFragmentLoss, w.packets)) + " of frames, 0.1% " +
          percent(host::message_loss(10 * kSmallFragmentLoss, w.packets));
  // A frame of more than a hundred packets pays for every packet lost.
  if (w.packets > 100 && mtu < 9000) {
    lines.push_back(warn("mtu", text,
                         "jumbo frames where every host and switch on the path carries them: ip "
                         "link set " +
                             name + " mtu 9000"));
  } else {
    lines.push_back(ok("mtu", text));
  }
  add_reassembly_lines(facts, w, cycles_per_second, &lines);
  return lines;
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
