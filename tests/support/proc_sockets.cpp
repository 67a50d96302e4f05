#include "tests/support/proc_sockets.h"

#include <filesystem>
#include <sstream>
#include <system_error>

#include "tests/support/child_process.h"

namespace varnock::testing {

std::vector<SocketRow> socket_rows(const std::string& path) {
  std::vector<SocketRow> rows;
  std::istringstream lines(read_file(path));
  std::string line;
  std::getline(lines, line);  // the heading
  // "sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode"
  const auto after_colon = [](const std::string& field) {
    const size_t colon = field.rfind(':');
    return colon == std::string::npos ? 0 : std::stoull(field.substr(colon + 1), nullptr, 16);
  };
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string f[10];
    for (std::string& field : f) fields >> field;
    if (f[9].empty()) continue;
    rows.push_back({static_cast<uint16_t>(after_colon(f[1])),
                    static_cast<uint16_t>(after_colon(f[2])), after_colon(f[4]), f[9]});
  }
  return rows;
}

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

}  // namespace varnock::testing
