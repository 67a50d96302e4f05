// The Linux clocks, the signals a run holds and takes at its waits, and the
// writes of its outputs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/signals.h"
#include "platform/writes.h"

namespace varnock {
namespace {

TEST(SystemClock, SleepUntilNeverEndsBeforeTheDeadline) {
  SystemClock clock;
  // Several sleeps, so that the wake-latency estimate has moved.
  for (const int64_t ahead_ns : {2'000'000, 2'000'000, 500'000, 0, -1'000'000, 2'000'000}) {
    const int64_t deadline = clock.monotonic_nanoseconds() + ahead_ns;
    clock.sleep_until(deadline);
    EXPECT_GE(clock.monotonic_nanoseconds(), deadline) << "sleep of " << ahead_ns << " ns";
  }
}

TEST(SystemClock, CalendarAndWallClockAgree) {
  SystemClock clock;
  const int64_t before = clock.calendar_seconds();
  const int64_t ms = clock.wall_milliseconds();
  const int64_t after = clock.calendar_seconds();
  // time() may trail the precise clock by a tick, never lead it.
  EXPECT_GE(ms / 1000, before);
  EXPECT_LE(ms / 1000, after + 1);
  EXPECT_GT(before, 1'600'000'000);
}

// What failed in a child process, one line a failure.
class Failures {
 public:
  void check(bool ok, const std::string& what) {
    if (!ok) text_ += what + "\n";
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// Runs `body` in a process of its own, since the signals it holds and takes
// stay with the process; a failure it notes fails the test, with its text.
void in_child(const std::function<void(Failures&)>& body) {
  EXPECT_EXIT(
      {
        Failures f;
        body(f);
        std::fputs(f.text().c_str(), stderr);
        std::fflush(stderr);
        std::_Exit(f.text().empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

constexpr int64_t kLongWaitNs = 10'000'000'000;

int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

std::string name(Wake w) {
  switch (w) {
    case Wake::kTimeout:
      return "timeout";
    case Wake::kReadable:
      return "readable";
    case Wake::kSignal:
      return "signal";
  }
  return "?";
}

// Held signals neither kill nor stop the process; a wait takes them, one a
// wait, each cutting it short, however long it was to be.
TEST(HeldSignals, WaitForAWaitToTakeThemOneAtATime) {
  in_child([](Failures& f) {
    std::signal(SIGHUP, SIG_IGN);  // as nohup leaves it
    hold_run_signals(RunSignals::kStopAndSuspend);
    std::raise(SIGTERM);
    std::raise(SIGTSTP);
    std::raise(SIGHUP);
    f.check(received_stop_signal() == 0, "a stop signal was taken before a wait");
    f.check(!take_suspend_request(), "a suspend was taken before a wait");

    const int64_t start = now_ns();
    for (int i = 0; i < 2; ++i) {
      const Wake w = wait_taking_signals(-1, kLongWaitNs);
      f.check(w == Wake::kSignal, "wait " + std::to_string(i) + ": " + name(w));
    }
    f.check(received_stop_signal() == SIGTERM, "SIGTERM was not taken");
    f.check(take_suspend_request(), "SIGTSTP was not taken");
    f.check(!take_suspend_request(), "one SIGTSTP taken twice");
    // SIGCONT clears a pending stop signal, so it comes on its own.
    std::raise(SIGCONT);
    f.check(!take_resume_notice(), "SIGCONT was taken before a wait");
    f.check(wait_taking_signals(-1, kLongWaitNs) == Wake::kSignal, "SIGCONT did not end a wait");
    f.check(take_resume_notice(), "SIGCONT was not taken");
    f.check(!take_resume_notice(), "one SIGCONT taken twice");
    f.check(now_ns() - start < kLongWaitNs / 2, "a wait ran its time");
    // SIGHUP, ignored at the start, stayed ignored: nothing is left to take.
    f.check(wait_taking_signals(-1, 1'000'000) == Wake::kTimeout, "a wait took a signal too many");
    f.check(wait_taking_signals(-1, 0) == Wake::kTimeout, "a wait took a signal too many");
  });
}

// SIGWINCH, held for a program that draws to its terminal's size, ends a
// wait as a resize notice and stops nothing; a stop after it is still one.
TEST(HeldSignals, AResizeEndsAWaitAndStopsNothing) {
  in_child([](Failures& f) {
    hold_run_signals(RunSignals::kStopAndResize);
    std::raise(SIGWINCH);
    f.check(!take_resize_notice(), "SIGWINCH was taken before a wait");
    const int64_t start = now_ns();
    f.check(wait_taking_signals(-1, kLongWaitNs) == Wake::kSignal, "SIGWINCH did not end a wait");
    f.check(now_ns() - start < kLongWaitNs / 2, "the wait ran its time");
    f.check(take_resize_notice(), "SIGWINCH was not taken");
    f.check(!take_resize_notice(), "one SIGWINCH taken twice");
    f.check(received_stop_signal() == 0, "SIGWINCH was taken as a stop");
    std::raise(SIGTERM);
    f.check(wait_taking_signals(-1, kLongWaitNs) == Wake::kSignal, "SIGTERM did not end a wait");
    f.check(received_stop_signal() == SIGTERM, "SIGTERM was not taken");
    f.check(!take_resize_notice(), "SIGTERM was taken as a resize");
  });
}

// The race a wait closes: a stop signal that comes after a loop has looked
// for one and before it waits is taken by that wait at once, on a descriptor
// that stays quiet and on one that is readable (a log replayed at full
// speed, always readable, would otherwise hold it off for good).
TEST(HeldSignals, AStopBeforeTheWaitIsTakenByIt) {
  for (const bool readable : {false, true}) {
    SCOPED_TRACE(readable ? "readable descriptor" : "quiet descriptor");
    in_child([readable](Failures& f) {
      hold_run_signals(RunSignals::kStop);
      int fds[2];
      if (pipe(fds) != 0) return f.check(false, "no pipe");
      if (readable) f.check(write(fds[1], "+", 1) == 1, "cannot write the pipe");
      f.check(received_stop_signal() == 0, "a stop before any signal");
      std::raise(SIGINT);
      const int64_t start = now_ns();
      const Wake w = wait_taking_signals(fds[0], kLongWaitNs);
      f.check(w == Wake::kSignal, "the wait ended by " + name(w));
      f.check(now_ns() - start < kLongWaitNs / 2, "the wait ran its time");
      f.check(received_stop_signal() == SIGINT, "SIGINT was not taken");
      if (readable) {
        f.check(wait_taking_signals(fds[0], kLongWaitNs) == Wake::kReadable,
                "the descriptor was lost to the signal");
      }
    });
  }
}

// Without a signal, a wait ends when the descriptor is readable or at its
// time, never before.
TEST(HeldSignals, AWaitEndsWhenReadableOrAtItsTime) {
  in_child([](Failures& f) {
    hold_run_signals(RunSignals::kStop);
    int fds[2];
    if (pipe(fds) != 0) return f.check(false, "no pipe");
    const int64_t start = now_ns();
    f.check(wait_taking_signals(fds[0], 20'000'000) == Wake::kTimeout, "a quiet pipe woke");
    f.check(now_ns() - start >= 20'000'000, "the wait ended early");
    f.check(wait_taking_signals(fds[0], 0) == Wake::kTimeout, "a quiet pipe woke");
    f.check(write(fds[1], "+", 1) == 1, "cannot write the pipe");
    f.check(wait_taking_signals(fds[0], kLongWaitNs) == Wake::kReadable, "a byte went unseen");
    f.check(received_stop_signal() == 0, "a stop without a signal");
  });
}

// Held before LCM starts its threads, the signals are blocked in them too,
// so that none can take a signal in place of the wait.
TEST(HeldSignals, ThreadsStartedLaterNeverTakeThem) {
  in_child([](Failures& f) {
    hold_run_signals(RunSignals::kStop);
    bool all_blocked = false;
    std::thread([&all_blocked] {
      sigset_t mask;
      pthread_sigmask(SIG_BLOCK, nullptr, &mask);
      all_blocked = sigismember(&mask, SIGINT) == 1 && sigismember(&mask, SIGTERM) == 1 &&
                    sigismember(&mask, SIGHUP) == 1;
    }).join();
    f.check(all_blocked, "a later thread could take a stop signal");
  });
}

// A reader gone away ends the process by SIGPIPE, as it ends any filter,
// though the run ignored SIGPIPE to see the write fail.
TEST(LostReader, EndsTheProcessBySigpipe) {
  EXPECT_EXIT(
      {
        hold_run_signals(RunSignals::kStop);
        end_for_lost_reader();
      },
      ::testing::KilledBySignal(SIGPIPE), "");
}

std::string read_all(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class Writes : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("varnock-writes-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const char* name) const { return (dir_ / name).string(); }

  std::filesystem::path dir_;
};

// The first failure is kept, and what comes after it is not written, not
// even to an output that works.
TEST_F(Writes, TheFirstErrorIsKeptAndEndsTheWrites) {
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  std::FILE* file = std::fopen(path("out").c_str(), "w");
  ASSERT_NE(file, nullptr);
  FirstWriteError writes;
  EXPECT_TRUE(writes.write(file, "first\n"));
  EXPECT_EQ(read_all(path("out")), "first\n") << "not flushed";
  EXPECT_FALSE(writes.write(full, "row\n"));
  EXPECT_EQ(writes.error(), ENOSPC);
  EXPECT_FALSE(writes.write(file, "after\n"));
  EXPECT_EQ(writes.error(), ENOSPC);
  std::fclose(file);
  std::fclose(full);
  EXPECT_EQ(read_all(path("out")), "first\n");
  EXPECT_EQ(write_flushed(stdout, ""), 0);
}

TEST_F(Writes, OpenForWritingTruncatesAndNamesWhatFailed) {
  { std::ofstream(path("kept")) << "old text\n"; }
  std::FILE* f = open_for_writing(path("kept"));
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(write_flushed(f, "new\n"), 0);
  std::fclose(f);
  EXPECT_EQ(read_all(path("kept")), "new\n");

  errno = 0;
  EXPECT_EQ(open_for_writing(path("no/such/dir")), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

// A FIFO opens once it has a reader; before one comes, a stop signal ends
// the wait for it.
TEST_F(Writes, AFifoOpensForItsReaderOrEndsByAStop) {
  const std::string fifo = path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  std::FILE* f = open_for_writing(fifo);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(write_flushed(f, "row\n"), 0);
  char got[8] = {};
  EXPECT_EQ(read(reader, got, sizeof got), 4);
  EXPECT_EQ(std::string(got), "row\n");
  std::fclose(f);
  close(reader);

  in_child([&fifo](Failures& f) {
    hold_run_signals(RunSignals::kStop);
    std::raise(SIGTERM);
    errno = 0;
    f.check(open_for_writing(fifo) == nullptr, "opened a FIFO nobody reads");
    f.check(errno == EINTR, std::string("errno ") + std::strerror(errno));
    f.check(received_stop_signal() == SIGTERM, "SIGTERM was not taken");
  });
}

}  // namespace
}  // namespace varnock
