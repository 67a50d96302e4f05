// Checks a whole recorded run: every message in an LCM log, and the rate
// lines the program printed against the cycles the log shows.
#ifndef VARNOCK_TESTS_SUPPORT_RUN_CHECK_H_
#define VARNOCK_TESTS_SUPPORT_RUN_CHECK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "messages/tfimage_t.h"

namespace varnock::testing {

// Reads the LCM log at `path`: the events must be cycles of one "RECSTAT"
// status record then one "TFIMAGE" frame of `width` x `height`, the frames'
// periods 60, 61, ... in order. Fills `cycle_seconds` with each cycle's
// status timestamp. Returns "" or the first thing wrong.
std::string check_log(const std::string& path, std::vector<int64_t>* cycle_seconds,
                      int32_t width = kFrameWidth, int32_t height = kFrameHeight);

// Empty when `lines` (the program's output after its banner) are exactly the
// rate lines that cycles started in `cycle_seconds` produce; otherwise says
// what differs.
std::string check_rate_lines(const std::vector<int64_t>& cycle_seconds, const std::string& lines);

// The program's output after its banner; empty when the banner is missing.
std::string after_banner(const std::string& output);

}  // namespace varnock::testing

#endif  // VARNOCK_TESTS_SUPPORT_RUN_CHECK_H_
