#include "tests/support/wait.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

#include "tests/support/child_process.h"

namespace varnock::testing {
namespace {

// The inodes of the sockets `pid` has open ("socket:[N]" links in its fd folder).
std::set<std::string> socket_inodes(const std::string& proc) {
  std::set<std::string> inodes;
  std::error_code error;
  for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd", error)) {
    const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
    if (!error && target.rfind("socket:[", 0) == 0 && target.back() == ']') {
      inodes.insert(target.substr(8, target.size() - 9));
    }
  }
  return inodes;
}

// Whether a UDP socket of `inodes` has datagrams queued, by the rx_queue
// column of a /proc/net/udp table.
bool datagrams_queued(const std::string& table, const std::set<std::string>& inodes) {
  std::istringstream lines(read_file(table));
  std::string line;
  std::getline(lines, line);  // the heading
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string f[10];
    for (std::string& field : f) fields >> field;
    const size_t colon = f[4].find(':');
    if (colon == std::string::npos || inodes.count(f[9]) == 0) continue;
    if (std::stoul(f[4].substr(colon + 1), nullptr, 16) != 0) return true;
  }
  return false;
}

}  // namespace

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::vector<std::string> file_lines(const std::string& path) {
  std::vector<std::string> lines;
  const std::string text = read_file(path);
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(text.substr(at, end - at));
  }
  return lines;
}

std::optional<std::string> wait_for_line(const std::string& path,
                                         const std::function<bool(const std::string&)>& match,
                                         std::chrono::milliseconds deadline) {
  std::optional<std::string> found;
  wait_until(
      [&] {
        for (std::string& line : file_lines(path)) {
          if (match(line)) {
            found = std::move(line);
            return true;
          }
        }
        return false;
      },
      deadline);
  return found;
}

std::optional<std::string> wait_for_line(const std::string& path, std::string_view text,
                                         std::chrono::milliseconds deadline) {
  return wait_for_line(
      path, [text](const std::string& line) { return line.find(text) != std::string::npos; },
      deadline);
}

bool udp_receiver_idle(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  const std::set<std::string> inodes = socket_inodes(proc);
  if (datagrams_queued(proc + "/net/udp", inodes) || datagrams_queued(proc + "/net/udp6", inodes)) {
    return false;
  }
  std::error_code error;
  bool main_waits = false;
  for (const auto& task : std::filesystem::directory_iterator(proc + "/task", error)) {
    const pid_t tid = std::stoi(task.path().filename().string());
    if (process_state(tid) != 'S') return false;
    if (tid == pid) {
      const std::string wchan = read_file(task.path().string() + "/wchan");
      main_waits =
          wchan.find("poll") != std::string::npos || wchan.find("select") != std::string::npos;
    }
  }
  return !error && main_waits;
}

bool wait_receiver_idle(pid_t pid, std::chrono::milliseconds deadline) {
  // A thread between two waits also sleeps: idle at one poll alone may be
  // such a moment.
  int idle_polls = 0;
  return wait_until(
      [&] {
        idle_polls = udp_receiver_idle(pid) ? idle_polls + 1 : 0;
        return idle_polls >= 5;
      },
      deadline);
}

}  // namespace varnock::testing
