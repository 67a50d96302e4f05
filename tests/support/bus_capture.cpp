#include "tests/support/bus_capture.h"

#include <stdexcept>

namespace varnock::testing {

BusCapture::BusCapture() : bus_(lcm_create("memq://")) {
  if (bus_ == nullptr) throw std::runtime_error("memq:// bus could not be created");
  lcm_subscribe(bus_, ".*", &BusCapture::on_message, this);
}

BusCapture::~BusCapture() { lcm_destroy(bus_); }

void BusCapture::drain() {
  while (lcm_handle_timeout(bus_, 0) > 0) {
  }
}

void BusCapture::on_message(const lcm_recv_buf_t* rbuf, const char* channel, void* self) {
  const auto* data = static_cast<const uint8_t*>(rbuf->data);
  static_cast<BusCapture*>(self)->messages_.push_back(
      {channel, std::vector<uint8_t>(data, data + rbuf->data_size)});
}

}  // namespace varnock::testing
