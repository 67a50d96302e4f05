#include "platform/send_drops.h"

namespace varnock {
namespace {

// Windows counts no send-buffer errors for UDP; until its IP statistics are
// read, every count is unknown and nothing is reported.
class UnknownSendDrops final : public SendDropSource {
 public:
  SendCounters read() override { return {}; }
};

}  // namespace

std::unique_ptr<SendDropSource> make_system_send_drop_source() {
  return std::make_unique<UnknownSendDrops>();
}

}  // namespace varnock
