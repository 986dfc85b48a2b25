// Sockets for the byte stream, over Winsock or POSIX sockets.

#include "platform/byte_stream.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>

namespace jtagnand {

namespace {

#if defined(_WIN32)
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
int socket_error() {
  return WSAGetLastError();
}
bool interrupted(int error) {
  return error == WSAEINTR;
}
bool in_progress(int error) {
  return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}
bool would_block(int error) {
  return error == WSAEWOULDBLOCK;
}
void close_socket(Socket s) {
  closesocket(s);
}
std::string error_text(int error) {
  if (error == WSAECONNREFUSED) return "connection refused";
  if (error == WSAECONNRESET) return "connection reset";
  if (error == WSAETIMEDOUT) return "timed out";
  return "Winsock error " + std::to_string(error);
}
constexpr int kConnectionRefused = WSAECONNREFUSED;
constexpr int kTimedOut = WSAETIMEDOUT;
long send_some(Socket s, const char* data, std::size_t size) {
  return send(s, data, static_cast<int>(std::min<std::size_t>(size, 1U << 20)), 0);
}
long receive_some(Socket s, char* data, std::size_t size) {
  return recv(s, data, static_cast<int>(std::min<std::size_t>(size, 1U << 20)), 0);
}
int poll_one(Socket s, short events, int timeout_ms) {
  WSAPOLLFD p{};
  p.fd = s;
  p.events = events;
  return WSAPoll(&p, 1, timeout_ms);
}
void set_blocking(Socket s, bool blocking) {
  u_long mode = blocking ? 0 : 1;
  ioctlsocket(s, FIONBIO, &mode);
}
// Winsock counts its users; each open stream holds one start-up.
class SocketLibrary {
 public:
  SocketLibrary() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~SocketLibrary() {
    if (started_) WSACleanup();
  }
  SocketLibrary(const SocketLibrary&) = delete;
  SocketLibrary& operator=(const SocketLibrary&) = delete;
  [[nodiscard]] bool started() const { return started_; }

 private:
  bool started_ = false;
};
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
int socket_error() {
  return errno;
}
bool interrupted(int error) {
  return error == EINTR;
}
bool in_progress(int error) {
  return error == EINPROGRESS;
}
bool would_block(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}
void close_socket(Socket s) {
  close(s);
}
std::string error_text(int error) {
  return std::strerror(error);
}
constexpr int kConnectionRefused = ECONNREFUSED;
constexpr int kTimedOut = ETIMEDOUT;
// MSG_NOSIGNAL: a server that went away is an error to report, not SIGPIPE.
long send_some(Socket s, const char* data, std::size_t size) {
  return send(s, data, size, MSG_NOSIGNAL);
}
long receive_some(Socket s, char* data, std::size_t size) {
  return recv(s, data, size, 0);
}
int poll_one(Socket s, short events, int timeout_ms) {
  pollfd p{s, events, 0};
  return poll(&p, 1, timeout_ms);
}
void set_blocking(Socket s, bool blocking) {
  const int flags = fcntl(s, F_GETFL);
  fcntl(s, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}
class SocketLibrary {
 public:
  [[nodiscard]] bool started() const { return true; }
};
#endif

// Waits for `events` on `s`, restarting after signals, for at most `timeout_ms`
// in all (< 0: for ever). Returns poll's result: > 0 ready, 0 time out, < 0 error.
int wait_for(Socket s, short events, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
  for (;;) {
    int left = timeout_ms;
    if (timeout_ms > 0) {
      left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
      left = std::max(left, 0);
    }
    const int ready = poll_one(s, events, left);
    if (ready >= 0 || !interrupted(socket_error())) return ready;
  }
}

// The socket is non-blocking: every wait is a poll with the caller's time-out.
class SocketStream final : public ByteStream {
 public:
  SocketStream(std::unique_ptr<SocketLibrary> library, Socket fd)
      : library_(std::move(library)), fd_(fd) {
    set_blocking(fd_, false);
  }
  ~SocketStream() override { close_socket(fd_); }
  SocketStream(const SocketStream&) = delete;
  SocketStream& operator=(const SocketStream&) = delete;

  [[nodiscard]] bool send_all(std::string_view bytes, int timeout_ms) override {
    while (!bytes.empty() && error_.empty()) {
      const long sent = send_some(fd_, bytes.data(), bytes.size());
      if (sent >= 0) {
        bytes.remove_prefix(static_cast<std::size_t>(sent));
        continue;
      }
      if (await(POLLOUT, timeout_ms) == 0)
        error_ = "the server took nothing for " + std::to_string(timeout_ms) + " ms";
    }
    return error_.empty();
  }

  [[nodiscard]] long receive(char* data, std::size_t size, int timeout_ms) override {
    while (error_.empty()) {
      const long got = receive_some(fd_, data, size);
      if (got > 0) return got;
      if (got == 0) {
        error_ = "the server closed the connection";
        break;
      }
      if (await(POLLIN, timeout_ms) == 0) return 0;
    }
    return -1;
  }

  [[nodiscard]] const std::string& error() const override { return error_; }

 private:
  // After a send or receive that moved nothing: > 0 to try again (the call was
  // interrupted, or the socket became ready for `events`), 0 when it stayed
  // unready for `timeout_ms` (0: no wait), < 0 with error_ set when the
  // connection failed.
  int await(short events, int timeout_ms) {
    const int error = socket_error();
    if (interrupted(error)) return 1;
    if (!would_block(error)) {
      error_ = error_text(error);
      return -1;
    }
    if (timeout_ms == 0) return 0;
    const int ready = wait_for(fd_, events, timeout_ms);
    if (ready < 0) error_ = error_text(socket_error());
    return ready;
  }

  std::unique_ptr<SocketLibrary> library_;  // outlives the socket
  Socket fd_;
  std::string error_;
};

StreamOpening refused(std::string why) {
  return StreamOpening::refused(Refusal::kRefused, std::move(why));
}

StreamOpening bad_address(std::string why) {
  return StreamOpening::refused(Refusal::kBadSetting, std::move(why));
}

// connect() that gives up after `timeout_ms`: the socket is non-blocking while
// it connects, then blocking again. Returns 0 or the error.
int connect_within(Socket fd, const sockaddr* address, std::size_t length, int timeout_ms) {
  set_blocking(fd, false);
  int error = 0;
#if defined(_WIN32)
  if (connect(fd, address, static_cast<int>(length)) != 0) error = socket_error();
#else
  if (connect(fd, address, static_cast<socklen_t>(length)) != 0) error = socket_error();
#endif
  if (error != 0 && in_progress(error)) {
    const int ready = wait_for(fd, POLLOUT, timeout_ms);
    if (ready == 0) {
      error = kTimedOut;
    } else if (ready < 0) {
      error = socket_error();
    } else {
      int status = 0;
#if defined(_WIN32)
      int size = sizeof status;
#else
      socklen_t size = sizeof status;
#endif
      getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&status), &size);
      error = status;
    }
  }
  set_blocking(fd, true);
  return error;
}

#if defined(_WIN32)
StreamOpening open_unix(std::string_view) {
  return bad_address("Unix sockets are not offered on Windows; use HOST:PORT");
}
#else
StreamOpening open_unix(std::string_view path, int timeout_ms) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return bad_address("socket path too long");
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return refused(std::strerror(errno));
  if (const int error = connect_within(fd, reinterpret_cast<const sockaddr*>(&address),
                                       sizeof address, timeout_ms);
      error != 0) {
    close(fd);
    return refused(error_text(error));
  }
  return StreamOpening::ready(
      std::make_unique<SocketStream>(std::make_unique<SocketLibrary>(), fd));
}
#endif

StreamOpening open_tcp(std::string_view target, int timeout_ms) {
  const std::size_t colon = target.rfind(':');
  if (colon == std::string_view::npos || colon == 0)
    return bad_address("expected HOST:PORT, or a socket path with a slash (./board.sock)");
  std::string host(target.substr(0, colon));
  const std::string_view port_text = target.substr(colon + 1);
  unsigned port = 0;
  const auto [end, ec] =
      std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (port_text.empty() || ec != std::errc() || end != port_text.data() + port_text.size() ||
      port == 0 || port > 65535)
    return bad_address("bad TCP port '" + std::string(port_text) + "'");
  // [::1]:N names an IPv6 address.
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);

  auto library = std::make_unique<SocketLibrary>();
  if (!library->started()) return refused("the socket library did not start");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int error = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); error != 0)
    return refused(gai_strerror(error));
  int last_error = kConnectionRefused;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const Socket fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (fd == kNoSocket) {
      last_error = socket_error();
      continue;
    }
    last_error = connect_within(fd, a->ai_addr, a->ai_addrlen, timeout_ms);
    if (last_error == 0) {
      freeaddrinfo(found);
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
      return StreamOpening::ready(std::make_unique<SocketStream>(std::move(library), fd));
    }
    close_socket(fd);
  }
  freeaddrinfo(found);
  if (last_error == kTimedOut)
    return refused("no answer to the connection within " + std::to_string(timeout_ms) + " ms");
  return refused(error_text(last_error));
}

}  // namespace

StreamOpening open_byte_stream(std::string_view address, int timeout_ms) {
  // A path (anything with a slash) is a Unix socket; otherwise HOST:PORT.
#if defined(_WIN32)
  if (address.find('/') != std::string_view::npos) return open_unix(address);
#else
  if (address.find('/') != std::string_view::npos) return open_unix(address, timeout_ms);
#endif
  return open_tcp(address, timeout_ms);
}

}  // namespace jtagnand
