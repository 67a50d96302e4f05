// An in-process bus (memq://) that records what is published on it.
#ifndef VARNOCK_TESTS_SUPPORT_BUS_CAPTURE_H_
#define VARNOCK_TESTS_SUPPORT_BUS_CAPTURE_H_

#include <lcm/lcm.h>

#include <cstdint>
#include <string>
#include <vector>

namespace varnock::testing {

struct Published {
  std::string channel;
  std::vector<uint8_t> bytes;
};

class BusCapture {
 public:
  // Subscribes to every channel of a fresh memq:// bus.
  BusCapture();
  ~BusCapture();
  BusCapture(const BusCapture&) = delete;
  BusCapture& operator=(const BusCapture&) = delete;

  lcm_t* bus() const { return bus_; }
  // Delivers everything published so far into messages().
  void drain();
  const std::vector<Published>& messages() const { return messages_; }
  void clear() { messages_.clear(); }

 private:
  static void on_message(const lcm_recv_buf_t* rbuf, const char* channel, void* self);

  lcm_t* bus_;
  std::vector<Published> messages_;
};

}  // namespace varnock::testing

#endif  // VARNOCK_TESTS_SUPPORT_BUS_CAPTURE_H_
