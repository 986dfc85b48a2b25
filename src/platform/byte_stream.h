#pragma once

// A connected byte stream to a server: TCP (HOST:PORT, [IPv6]:PORT) or, on
// POSIX systems, a Unix socket (a path). What a network cable talks over.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/opened.h"

namespace jtagnand {

class ByteStream {
 public:
  virtual ~ByteStream() = default;
  // Sends every byte, waiting at most `timeout_ms` (< 0: for ever) each time the
  // peer takes nothing; false when the connection is gone or the peer stopped
  // taking bytes (`error()` says why).
  [[nodiscard]] virtual bool send_all(std::string_view bytes, int timeout_ms) = 0;
  // Waits up to `timeout_ms` (< 0: for ever, 0: not at all) for bytes and
  // takes what has arrived, at most `size`. Returns the count, 0 when nothing
  // came in time, -1 when the connection is gone (`error()` says why).
  [[nodiscard]] virtual long receive(char* data, std::size_t size, int timeout_ms) = 0;
  [[nodiscard]] virtual const std::string& error() const = 0;
};

// Refused: nothing answered there, or not in time. Bad setting: the address
// itself is not understood. The message says which.
using StreamOpening = Opened<std::unique_ptr<ByteStream>>;

// Connects to `address` (HOST:PORT, or a path with a slash for a Unix socket),
// giving up after `timeout_ms`. Small writes leave at once (no Nagle delay).
[[nodiscard]] StreamOpening open_byte_stream(std::string_view address, int timeout_ms);

}  // namespace jtagnand
