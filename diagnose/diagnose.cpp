#include "diagnose/diagnose.h"

#include <lcm/lcm.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "account/account.h"
#include "host/receive_buffer.h"
#include "messages/cycle.h"
#include "messages/tfimage_t.h"
#include "receive/loop.h"
#include "receive/subscription.h"

namespace varnock::diagnose {
namespace {

class Printer {
 public:
  Printer(std::FILE* out, ExitStatusOf exit_status) : out_(out), exit_status_(exit_status) {}

  void print(const DiagnoseLine& line) {
    std::fputs(format_line(line).c_str(), out_);
    std::fflush(out_);
    lines_.push_back(line);
  }

  Verdict finish(bool bus_opened, bool corrupt) {
    const auto failed = std::count_if(lines_.begin(), lines_.end(), [](const DiagnoseLine& l) {
      return l.mark == DiagnoseLine::kFail;
    });
    const Verdict verdict = verdict_of(lines_, bus_opened, corrupt);
    if (failed == 0) {
      std::fputs("verdict: all well, and traffic arrived whole\n", out_);
    } else {
      std::fprintf(out_, "verdict: %ld of %zu checks failed (exit status %d)\n",
                   static_cast<long>(failed), lines_.size(), exit_status_(verdict));
    }
    std::fflush(out_);
    return verdict;
  }

 private:
  std::FILE* out_;
  ExitStatusOf exit_status_;
  std::vector<DiagnoseLine> lines_;
};

// Corrupt messages by channel, and the first one's problem.
struct Problems {
  int64_t status = 0;
  int64_t frames = 0;
  std::string first;
};

DiagnoseLine url_line(const std::string& url_text, const bus::LcmUrl& url) {
  if (!url.udpm()) {
    return {DiagnoseLine::kOk, "url",
            url_text + ": provider " + url.provider + ", no network to check", ""};
  }
  std::string text = url_text + ": group " + url.group_text + ", port " + std::to_string(url.port) +
                     ", ttl " + std::to_string(url.ttl);
  if (url.unknown_options.empty()) return {DiagnoseLine::kOk, "url", text, ""};
  text += "; LCM ignores the option";
  for (const std::string& o : url.unknown_options) text += " '" + o + "'";
  return {DiagnoseLine::kWarn, "url", text, ""};
}

}  // namespace

SetupFacts read_setup_facts(const bus::LcmUrl& url, const host::Host& host) {
  SetupFacts facts;
  facts.route_error = host.lookup_route(url.group, &facts.route);
  if (facts.route_error.empty()) facts.interface = host.interface_state(facts.route.interface);
  facts.rmem_max = host.setting("net.core.rmem_max");
  facts.rmem_default = host.setting("net.core.rmem_default");
  facts.ipfrag_high_thresh = host.setting("net.ipv4.ipfrag_high_thresh");
  facts.ipfrag_time = host.setting("net.ipv4.ipfrag_time");
  facts.ipfrag_max_dist = host.setting("net.ipv4.ipfrag_max_dist");
  return facts;
}

Verdict run_diagnose(const std::string& url_text, int64_t seconds, const host::Host& host,
                     Clock& clock, std::FILE* out, ExitStatusOf exit_status) {
  Printer printer(out, exit_status);
  bus::LcmUrl url;
  if (const std::string error = bus::parse_lcm_url(url_text, &url); !error.empty()) {
    printer.print({DiagnoseLine::kFail, "url", url_text + ": " + error, ""});
    return printer.finish(true, false);
  }
  printer.print(url_line(url_text, url));
  printer.print(lcm_line(bus::loaded_lcm_version()));
  SetupFacts facts;
  if (url.udpm()) {
    facts = read_setup_facts(url, host);
    for (const DiagnoseLine& line : setup_lines(url, facts)) printer.print(line);
  }

  const std::unique_ptr<lcm_t, void (*)(lcm_t*)> bus(lcm_create(url_text.c_str()), lcm_destroy);
  if (!bus) {
    printer.print({DiagnoseLine::kFail, "bus",
                   "LCM cannot open " + url_text + " (its reason is on standard error)", ""});
    return printer.finish(false, false);
  }
  const int64_t now_ms = clock.wall_milliseconds();
  account::Account account(now_ms, clock.monotonic_nanoseconds() / 1'000'000);
  Problems problems;
  const receive::Subscription subscription(
      bus.get(), account, clock, [&problems](std::string_view channel, std::string_view problem) {
        ++(channel == kStatusChannel ? problems.status : problems.frames);
        if (problems.first.empty()) problems.first = std::string(problem);
      });
  // A subscription that cannot set up receiving is refused; after that LCM
  // 1.3.1 may hand out no descriptor, on which lcm_handle_timeout aborts.
  if (!subscription.subscribed() || lcm_get_fileno(bus.get()) < 0) {
    printer.print(
        {DiagnoseLine::kFail, "bus",
         "LCM opened " + url_text + " but cannot receive on it (its reason is on standard error)",
         ""});
    return printer.finish(false, false);
  }
  printer.print(
      {DiagnoseLine::kOk, "bus", "LCM opened it and subscribed to RECSTAT and TFIMAGE", ""});

  std::unique_ptr<host::ReceiveCounters> socket;
  if (url.udpm()) socket = host.find_receive_socket(url.port);

  const int64_t start_ns = clock.monotonic_nanoseconds();
  receive::receive(
      bus.get(), seconds > 0 ? seconds : kDefaultSeconds, clock, account,
      [](const account::SecondReport&) { return true; }, socket.get(),
      url.udpm() ? &host : nullptr);
  account.finish(clock.wall_milliseconds());
  const account::Summary summary =
      account.summary(static_cast<double>(clock.monotonic_nanoseconds() - start_ns) / 1e9);

  // The receive buffer is judged by the frames that arrived (varnock-pace
  // sends any size), or varnock's when none did.
  const FrameFacts frame{
      summary.largest_frame_bytes > 0 ? summary.largest_frame_bytes : kFrameBytes,
      summary.largest_frame_bytes > 0};
  if (url.udpm()) {
    for (const DiagnoseLine& line : buffer_lines(url, facts, frame)) printer.print(line);
    const int64_t cycles =
        std::max(summary.totals.status_records,
                 summary.totals.frames - summary.totals.duplicates + summary.totals.lost);
    const double cycles_per_second =
        summary.seconds > 0 ? static_cast<double>(cycles) / summary.seconds : 0;
    for (const DiagnoseLine& line : fragment_lines(facts, frame, cycles_per_second)) {
      printer.print(line);
    }
    if (socket) {
      printer.print(granted_buffer_line(socket->receive_buffer_bytes(), frame));
    } else {
      printer.print(
          {DiagnoseLine::kWarn, "receive buffer",
           "LCM's receiving socket on port " + std::to_string(url.port) + " was not found", ""});
    }
  }
  TrafficFacts traffic;
  traffic.seconds = summary.seconds;
  traffic.status_records = summary.totals.status_records;
  traffic.status_corrupt = problems.status;
  traffic.frames = summary.totals.frames - summary.totals.duplicates;
  traffic.frames_corrupt = problems.frames;
  traffic.frames_lost = summary.totals.lost;
  traffic.first_problem = problems.first;
  traffic.udpm = url.udpm();
  if (summary.kernel_drops_known) traffic.kernel_drops = summary.totals.kernel_drops;
  traffic.frame_bytes = frame.bytes;
  for (const DiagnoseLine& line : traffic_lines(traffic)) printer.print(line);
  return printer.finish(true, problems.status + problems.frames > 0);
}

}  // namespace varnock::diagnose
