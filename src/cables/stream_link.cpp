#include "cables/stream_link.h"

namespace jtagnand {

StreamLink::StreamLink(std::unique_ptr<ByteStream> stream, int timeout_ms)
    : stream_(std::move(stream)), timeout_ms_(timeout_ms) {}

bool StreamLink::send_only() {
  if (!stream_->send_all(out, timeout_ms_)) return lost(stream_->error());
  bytes_sent_ += out.size();
  out.clear();
  return true;
}

bool StreamLink::lost(std::string why) {
  error_ = std::move(why);
  return false;
}

}  // namespace jtagnand
