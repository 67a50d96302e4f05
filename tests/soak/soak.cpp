// Soak: runs varnock at a pseudo-terminal inside a network namespace with
// varnock-check subscribed, samples varnock's resident memory and open file
// descriptors at intervals, and fails on memory growth beyond 256 KiB over the
// first sample, on any new descriptor, or on any corrupt message.
//
//   soak [--minutes M (10)] [--interval S (10)]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/netns.h"
#include "tests/support/pty_process.h"

namespace {

constexpr long kMaxGrowthKib = 256;
constexpr char kUrl[] = "udpm://239.255.76.67:7667?ttl=0&recv_buf_size=4194304";

int open_descriptors(pid_t pid) {
  const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code ec;
  return static_cast<int>(std::distance(std::filesystem::directory_iterator(fds, ec),
                                        std::filesystem::directory_iterator()));
}

// The integer after "key": in a JSON line, or -1.
long long json_int(const std::string& text, const std::string& key) {
  const std::string needle = "\"" + key + "\":";
  const size_t at = text.rfind(needle);
  return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + needle.size());
}

}  // namespace

int main(int argc, char** argv) {
  int minutes = 10;
  int interval = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    (arg == "--minutes" ? minutes : interval) = std::atoi(argv[i + 1]);
  }
  if (argc % 2 == 0 || minutes < 1 || interval < 1) {
    std::fprintf(stderr, "usage: soak [--minutes M] [--interval S]\n");
    return 2;
  }
  if (const std::string why = varnock::testing::enter_multicast_namespace(); !why.empty()) {
    std::fprintf(stderr, "soak: %s\n", why.c_str());
    return 1;
  }
  std::string dir = (std::filesystem::temp_directory_path() / "varnock-soak-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) return 1;
  const std::string out = dir + "/check.out";
  varnock::testing::ChildProcess check({CHECK_BINARY, "--json", "--url", kUrl}, out,
                                       dir + "/check.err");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  varnock::testing::PtyOptions options;
  options.env.emplace_back("LCM_DEFAULT_URL", std::nullopt);
  varnock::testing::PtyProcess varnock(VARNOCK_BINARY, options);
  const auto never = [](const std::string&) { return false; };

  std::printf("| t (s) | VmRSS (KiB) | open fds |\n|---|---|---|\n");
  long first_rss = -1;
  long max_rss = -1;
  int first_fds = -1;
  int max_fds = -1;
  for (int t = interval; t <= minutes * 60; t += interval) {
    varnock.wait_for_output(never, std::chrono::seconds(interval));
    const long rss = varnock::testing::proc_status_kib(varnock.pid(), "VmRSS");
    const int fds = open_descriptors(varnock.pid());
    if (first_rss < 0) {
      first_rss = rss;
      first_fds = fds;
    }
    max_rss = std::max(max_rss, rss);
    max_fds = std::max(max_fds, fds);
    std::printf("| %d | %ld | %d |\n", t, rss, fds);
    std::fflush(stdout);
  }
  varnock.type("q");
  const auto varnock_status = varnock.wait_exit(std::chrono::seconds(15));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  check.signal(SIGTERM);
  const auto check_status = check.wait_exit(std::chrono::seconds(15));
  const std::string report = varnock::testing::read_file(out);
  const size_t at = report.rfind("{\"type\":\"summary\"");
  const std::string summary = at == std::string::npos ? "" : report.substr(at);
  std::filesystem::remove_all(dir);

  const long long frames = json_int(summary, "frames");
  const long long corrupt = json_int(summary, "corrupt");
  std::printf(
      "\nvarnock: exit %d, VmRSS first %ld KiB, max %ld KiB (growth %ld KiB, limit %ld);"
      " fds first %d, max %d\n",
      varnock_status.value_or(-1), first_rss, max_rss, max_rss - first_rss, kMaxGrowthKib,
      first_fds, max_fds);
  std::printf("varnock-check: exit %d, frames %lld, lost %lld, status records %lld, corrupt %lld\n",
              check_status.value_or(-1), frames, json_int(summary, "lost"),
              json_int(summary, "status_records"), corrupt);
  const bool ok = varnock_status == 0 && check_status == 0 &&
                  max_rss - first_rss <= kMaxGrowthKib && max_fds <= first_fds && corrupt == 0 &&
                  frames > 0;
  std::printf("soak: %s\n", ok ? "passed" : "FAILED");
  return ok ? 0 : 1;
}
