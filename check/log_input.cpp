#include "check/log_input.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "bus/lcm_url.h"
#include "cli/exit_status.h"
#include "platform/signals.h"

namespace varnock::check {
namespace {

namespace fs = std::filesystem;

const char* kind_of(fs::file_type type) {
  switch (type) {
    case fs::file_type::fifo:
      return "a pipe (FIFO)";
    case fs::file_type::character:
      return "a character device";
    case fs::file_type::block:
      return "a block device";
    case fs::file_type::directory:
      return "a directory";
    case fs::file_type::socket:
      return "a socket";
    default:
      return "not a regular file";
  }
}

// Why the log of `url` cannot be checked as it stands; "" when it can.
std::string refusal(const std::string& url, const bus::LcmUrl& log) {
  if (log.mode != 'r') {
    return std::string("cannot check ") + url + ": mode=" + log.mode + " makes LCM " +
           (log.mode == 'w' ? "write the log (emptying it first)" : "append to the log") +
           ", not read it; leave mode out to check the log";
  }
  if (log.start_timestamp) {
    return "cannot check " + url +
           ": start_timestamp makes LCM seek into the log, and varnock-check reads a log from "
           "its start; leave start_timestamp out";
  }
  std::error_code error;
  const fs::file_type type = fs::status(log.path, error).type();
  // A path that is missing or unreadable is left to LCM, which says why.
  if (error || type == fs::file_type::regular) return "";
  return "cannot check the log " + log.path + ": it is " + kind_of(type) +
         ", not a regular file, and LCM's file reader delivers only every other event of a "
         "stream it cannot seek in; copy it to a regular file first (zcat run.lcm.gz > "
         "run.lcm, say)";
}

// Takes a held stop signal, if one is pending; whether one has been taken.
bool stop_taken() {
  wait_taking_signals(-1, 0);
  return received_stop_signal() != 0;
}

// "after N events (the last numbered E, logged at T)", or "before its
// first event".
std::string after_events(const bus::LogWalk& walk) {
  if (!walk.last) return "before its first event";
  char text[160];
  std::snprintf(text, sizeof text, "after %lld events (the last numbered %lld, logged at %.6f)",
                static_cast<long long>(walk.events), static_cast<long long>(walk.last->number),
                static_cast<double>(walk.last->timestamp_us) / 1e6);
  return text;
}

void tell_damage(const std::string& path, const bus::LogWalk& walk) {
  std::fprintf(stderr, "varnock-check: the log %s is damaged at byte %lld of %lld: %s\n",
               path.c_str(), static_cast<long long>(walk.at), static_cast<long long>(walk.size),
               walk.why.c_str());
  std::fprintf(stderr, "varnock-check: reading stopped at byte %lld, %s%s\n",
               static_cast<long long>(walk.read_to), after_events(walk).c_str(),
               walk.whole_event_unread
                   ? "; the whole event that follows is left unread with the damage after it"
                   : "");
  if (walk.next_header >= 0) {
    std::fprintf(stderr,
                 "varnock-check: an event header follows at byte %lld: %lld bytes of the log "
                 "are unread\n",
                 static_cast<long long>(walk.next_header),
                 static_cast<long long>(walk.size - walk.read_to));
  } else {
    std::fprintf(stderr, "varnock-check: no event header follows; %lld bytes are unread\n",
                 static_cast<long long>(walk.size - walk.read_to));
  }
}

}  // namespace

std::optional<int> prepare_log(const std::string& url, std::optional<LogPlan>* plan) {
  plan->reset();
  bus::LcmUrl log;
  if (!bus::parse_lcm_url(url, &log).empty() || !log.file() || log.path.empty()) {
    return std::nullopt;
  }
  if (const std::string why = refusal(url, log); !why.empty()) {
    std::fprintf(stderr, "varnock-check: %s\n", why.c_str());
    return kExitUsage;
  }
  std::ifstream in(log.path, std::ios::binary);
  if (!in) return std::nullopt;
  LogPlan walked{log.path, bus::walk_lcm_log(in, stop_taken)};
  const bus::LogWalk& walk = walked.walk;
  if (walk.end == bus::LogEnd::kStopped) end_by_signal(received_stop_signal());
  if (walk.events == 0) {
    if (walk.end == bus::LogEnd::kDamaged) {
      tell_damage(log.path, walk);
      return kExitDamagedLog;
    }
    if (walk.end == bus::LogEnd::kWhole) {
      std::fprintf(stderr, "varnock-check: the log %s is empty\n", log.path.c_str());
    } else {
      std::fprintf(stderr, "varnock-check: the log %s holds no whole event: %s, at byte %lld\n",
                   log.path.c_str(), walk.why.c_str(), static_cast<long long>(walk.at));
    }
    return kExitShortfall;
  }
  *plan = std::move(walked);
  return std::nullopt;
}

int judge_log(const LogPlan& plan, int64_t handled, account::Account& account) {
  const bus::LogWalk& walk = plan.walk;
  if (handled < walk.events) {
    std::fprintf(stderr,
                 "varnock-check: LCM stopped reading the log %s after %lld of its %lld events "
                 "(its message above may say why; was the log changed meanwhile?)\n",
                 plan.path.c_str(), static_cast<long long>(handled),
                 static_cast<long long>(walk.events));
    return kExitDamagedLog;
  }
  if (walk.end == bus::LogEnd::kDamaged) {
    tell_damage(plan.path, walk);
    return kExitDamagedLog;
  }
  // Read to its end, the log has nothing more on its way: a status record
  // that no frame followed there has lost its frame.
  account.end_of_input();
  if (walk.end == bus::LogEnd::kCutShort) {
    std::fprintf(stderr,
                 "varnock-check: the end of the log %s: %lld events read; then %s, at byte %lld "
                 "(a recording cut off)\n",
                 plan.path.c_str(), static_cast<long long>(handled), walk.why.c_str(),
                 static_cast<long long>(walk.at));
  } else {
    std::fprintf(stderr, "varnock-check: the end of the log %s: all %lld events read\n",
                 plan.path.c_str(), static_cast<long long>(handled));
  }
  return kExitOk;
}

}  // namespace varnock::check
