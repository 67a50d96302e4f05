// Waiting on what a test stands for (a line written, a process idle)
// instead of sleeping for a guessed time.
#ifndef VARNOCK_TESTS_SUPPORT_WAIT_H_
#define VARNOCK_TESTS_SUPPORT_WAIT_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnock::testing {

// Tests `condition` every few milliseconds until it holds (true) or
// `deadline` has passed (false). The deadline only bounds a failure: pass a
// generous one.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds deadline);

// The whole lines of the file at `path` so far, without their newlines; a
// last line still being written is left out.
std::vector<std::string> file_lines(const std::string& path);

// Waits until the file at `path` holds a whole line for which `match`
// holds; returns that line, or nullopt after `deadline`.
std::optional<std::string> wait_for_line(const std::string& path,
                                         const std::function<bool(const std::string&)>& match,
                                         std::chrono::milliseconds deadline);
// The same for a line that contains `text`.
std::optional<std::string> wait_for_line(const std::string& path, std::string_view text,
                                         std::chrono::milliseconds deadline);

// True when process `pid` holds no datagram unread on any of its UDP
// sockets, its main thread waits in poll or select for more, and every other
// thread of it sleeps: it has handled everything that reached it. Read from
// /proc (the process's own network namespace).
bool udp_receiver_idle(pid_t pid);

// Waits until udp_receiver_idle(pid) has held at several polls in a row;
// false after `deadline`.
bool wait_receiver_idle(pid_t pid, std::chrono::milliseconds deadline);

}  // namespace varnock::testing

#endif  // VARNOCK_TESTS_SUPPORT_WAIT_H_
