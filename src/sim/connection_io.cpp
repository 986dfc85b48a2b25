#include "sim/connection_io.h"

#if !defined(_WIN32)
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace jtagnand::sim {

bool wait_ready(int fd, short events, int idle_ms) {
  pollfd ready{fd, events, 0};
  for (;;) {
    const int n = poll(&ready, 1, idle_ms > 0 ? idle_ms : -1);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return true;
  }
}

Sent send_answers(int fd, std::string_view bytes, int idle_ms) {
  while (!bytes.empty()) {
    if (!wait_ready(fd, POLLOUT, idle_ms)) return Sent::kIdle;
    const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return Sent::kError;
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return Sent::kAll;
}

}  // namespace jtagnand::sim
#endif
