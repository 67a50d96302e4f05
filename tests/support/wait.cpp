#include "tests/support/wait.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/proc_sockets.h"

namespace varnock::testing {
namespace {

// Whether a UDP socket of `inodes` has datagrams queued, by the rx_queue
// column of a /proc/net/udp table.
bool datagrams_queued(const std::string& table, const std::set<std::string>& inodes) {
  for (const SocketRow& row : socket_rows(table)) {
    if (row.rx_queue != 0 && inodes.count(row.inode) != 0) return true;
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
