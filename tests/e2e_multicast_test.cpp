// The real program on LCM's default provider (UDP multicast), inside a
// network namespace of its own with multicast routed over loopback, received
// by a subscriber in this process.
#include <gtest/gtest.h>
#include <lcm/lcm.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/netns.h"
#include "tests/support/pty_process.h"
#include "tests/support/wait.h"
#include "tests/support/wire_check.h"

namespace varnock {
namespace {

// Collects every message of both channels and checks it as it arrives.
class Subscriber {
 public:
  explicit Subscriber(const char* url) : bus_(lcm_create(url)) {
    if (bus_ == nullptr) return;
    lcm_subscribe(bus_, "RECSTAT", &Subscriber::on_message, this);
    lcm_subscribe(bus_, "TFIMAGE", &Subscriber::on_message, this);
    thread_ = std::thread([this] {
      while (!done_) {
        if (lcm_handle_timeout(bus_, 50) == 0) ++quiet_waits_;
      }
    });
  }
  ~Subscriber() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
    if (bus_ != nullptr) lcm_destroy(bus_);
  }

  bool ok() const { return bus_ != nullptr; }
  // Waits of 50 ms in which no message came; one that ends after the
  // publisher has gone means everything it sent has been handled.
  int quiet_waits() const { return quiet_waits_; }

  struct Tally {
    int status = 0;
    int frames = 0;
    std::vector<std::string> errors;
    std::vector<int32_t> periods;
  };
  Tally tally() {
    std::lock_guard<std::mutex> lock(mu_);
    return tally_;
  }

 private:
  static void on_message(const lcm_recv_buf_t* rbuf, const char* channel, void* self) {
    auto* s = static_cast<Subscriber*>(self);
    const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(rbuf->data), rbuf->data_size);
    std::string error;
    int64_t stamp = 0;
    int32_t period = 0;
    if (std::string(channel) == "RECSTAT") {
      error = testing::check_status(bytes, &stamp);
    } else {
      period = testing::frame_period(bytes);
      error = period < 60 ? "frame with no period" : testing::check_frame(bytes, period, &stamp);
    }
    std::lock_guard<std::mutex> lock(s->mu_);
    if (!error.empty()) {
      s->tally_.errors.push_back(std::string(channel) + ": " + error);
    } else if (period == 0) {
      ++s->tally_.status;
    } else {
      ++s->tally_.frames;
      s->tally_.periods.push_back(period);
    }
  }

  lcm_t* bus_;
  std::atomic<bool> done_{false};
  std::atomic<int> quiet_waits_{0};
  std::thread thread_;
  std::mutex mu_;
  Tally tally_;
};

class MulticastRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    skip_reason_ = testing::enter_multicast_namespace();
    if (!skip_reason_.empty()) skip_reason_ += ": multicast test skipped";
  }
  void SetUp() override {
    if (!skip_reason_.empty()) GTEST_SKIP() << skip_reason_;
  }
  static std::string skip_reason_;
};
std::string MulticastRun::skip_reason_;

TEST_F(MulticastRun, SubscriberReceivesBothChannelsExactly) {
  // The default provider's group and port, with a receive buffer that holds
  // whole 1.6 MB frames.
  Subscriber subscriber("udpm://239.255.76.67:7667?ttl=0&recv_buf_size=4194304");
  ASSERT_TRUE(subscriber.ok());
  testing::PtyOptions options;
  options.env.emplace_back("LCM_DEFAULT_URL", std::nullopt);
  testing::PtyProcess varnock(VARNOCK_BINARY, options);

  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < end) {
    const auto t = subscriber.tally();
    if (t.status >= 50 && t.frames >= 20) break;
    varnock.wait_for_output([](const std::string&) { return false; },
                            std::chrono::milliseconds(100));
  }
  varnock.type("q");
  EXPECT_EQ(varnock.wait_exit(std::chrono::seconds(15)), 0);
  // Its last messages are checked too: two whole quiet waits after it ended.
  const int quiet = subscriber.quiet_waits();
  EXPECT_TRUE(testing::wait_until([&] { return subscriber.quiet_waits() >= quiet + 2; },
                                  std::chrono::seconds(10)))
      << "the subscriber was still receiving 10 s after varnock ended";

  const auto t = subscriber.tally();
  EXPECT_TRUE(t.errors.empty()) << t.errors.front();
  EXPECT_GE(t.status, 50);
  EXPECT_GE(t.frames, 20);
  for (size_t i = 1; i < t.periods.size(); ++i) {
    EXPECT_LT(t.periods[i - 1], t.periods[i]) << "frames out of order at " << i;
  }
}

}  // namespace
}  // namespace varnock
