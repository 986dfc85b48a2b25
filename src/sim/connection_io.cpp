#include "sim/connection_io.h"

#if !defined(_WIN32)
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <vector>

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

ConnectionEnd serve_connection(int fd, int idle_ms, std::size_t read_bytes,
                               const Protocol& protocol) {
  std::vector<char> buffer(read_bytes);
  std::string input;
  std::string answers;
  ConnectionEnd end;
  for (;;) {
    if (!wait_ready(fd, POLLIN, idle_ms)) {
      end.idle = true;
      return end;
    }
    const ssize_t got = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      end.error = errno;
      return end;
    }
    if (got == 0) return end;
    input.append(buffer.data(), static_cast<std::size_t>(got));
    answers.clear();
    const Served served = protocol(input, answers);
    input.erase(0, served.consumed);
    const Sent sent = send_answers(fd, answers, idle_ms);
    if (sent != Sent::kAll) {
      end.idle = sent == Sent::kIdle;
      end.error = sent == Sent::kError ? errno : 0;
      return end;
    }
    if (served.stop) {
      end.stopped = true;
      return end;
    }
  }
}

}  // namespace jtagnand::sim
#endif
