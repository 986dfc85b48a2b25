// A parallel-port cable reached through a remote_bitbang JTAG server (a
// simulator, or an adapter bridge) over TCP, or over a Unix socket on POSIX
// systems. The server knows JTAG lines, not port registers, so this backend
// plays the port: it answers at one base, 0x378, turns each data-register
// write into the line commands of the cable bits it carries and each
// status-register read into a TDO query.
//
// Line commands are only collected; they go out together when an answer is
// needed (a status read) or when the port is closed, so a scan costs one round
// trip per TDO sample and nothing per clock.

#include "platform/backends.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace jtagnand {

namespace {

// The few socket calls this backend makes, over Winsock or POSIX sockets.
#if defined(_WIN32)
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
int socket_error() {
  return WSAGetLastError();
}
bool interrupted(int error) {
  return error == WSAEINTR;
}
void close_socket(Socket s) {
  closesocket(s);
}
std::string error_text(int error) {
  if (error == WSAECONNREFUSED) return "connection refused";
  if (error == WSAECONNRESET) return "connection reset";
  return "Winsock error " + std::to_string(error);
}
constexpr int kConnectionReset = WSAECONNRESET;
constexpr int kConnectionRefused = WSAECONNREFUSED;
long send_some(Socket s, const char* data, std::size_t size) {
  return send(s, data, static_cast<int>(std::min<std::size_t>(size, 1U << 20)), 0);
}
long receive_some(Socket s, char* data, std::size_t size) {
  return recv(s, data, static_cast<int>(size), 0);
}
bool connect_to(Socket s, const addrinfo& a) {
  return connect(s, a.ai_addr, static_cast<int>(a.ai_addrlen)) == 0;
}
// Winsock counts its users; each open port holds one start-up.
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
void close_socket(Socket s) {
  close(s);
}
std::string error_text(int error) {
  return std::strerror(error);
}
constexpr int kConnectionReset = ECONNRESET;
constexpr int kConnectionRefused = ECONNREFUSED;
// MSG_NOSIGNAL: a server that went away is an error to report, not SIGPIPE.
long send_some(Socket s, const char* data, std::size_t size) {
  return send(s, data, size, MSG_NOSIGNAL);
}
long receive_some(Socket s, char* data, std::size_t size) {
  return recv(s, data, size, 0);
}
bool connect_to(Socket s, const addrinfo& a) {
  return connect(s, a.ai_addr, a.ai_addrlen) == 0;
}
class SocketLibrary {
 public:
  [[nodiscard]] bool started() const { return true; }
};
#endif

constexpr uint16_t kBase = 0x378;
// Cable bits of the data register.
constexpr uint8_t kTdi = 0x01;
constexpr uint8_t kTms = 0x02;
constexpr uint8_t kTck = 0x04;
constexpr uint8_t kTrstN = 0x08;
// Status inputs other than nAck (TDO, bit 6) idle high through their pull-ups;
// BUSY (bit 7) is inverted by the port hardware and so reads 0.
constexpr uint8_t kStatusIdle = 0x3F;
constexpr uint8_t kStatusTdo = 0x40;
// Enough commands for a few boundary scans before a write is forced.
constexpr std::size_t kFlushAt = 64 * 1024;

class RbbPort final : public PortIo {
 public:
  RbbPort(std::unique_ptr<SocketLibrary> library, Socket fd)
      : library_(std::move(library)), fd_(fd) {
    pending_.reserve(kFlushAt + 16);
  }

  ~RbbPort() override {
    // 'Q' tells the server this master is done; the lines keep their levels.
    pending_.push_back('Q');
    static_cast<void>(flush());
    close_socket(fd_);
  }

  RbbPort(const RbbPort&) = delete;
  RbbPort& operator=(const RbbPort&) = delete;

  void write_byte(uint16_t address, uint8_t value) override {
    if (address != kBase) return;  // no port answers there
    const bool trst_n = (value & kTrstN) != 0;
    if (!reset_known_ || trst_n != trst_n_) {
      // 'r' + (trst << 1 | srst): TRST asserted means nTRST low; SRST is not
      // part of this cable and stays released.
      pending_.push_back(trst_n ? 'r' : 't');
      trst_n_ = trst_n;
      reset_known_ = true;
    }
    const int lines = ((value & kTck) != 0 ? 4 : 0) | ((value & kTms) != 0 ? 2 : 0) |
                      ((value & kTdi) != 0 ? 1 : 0);
    pending_.push_back(static_cast<char>('0' + lines));
    data_ = value;
    if (pending_.size() >= kFlushAt) static_cast<void>(flush());
  }

  [[nodiscard]] uint8_t read_byte(uint16_t address) override {
    if (address == kBase) return data_;  // the data register reads back
    if (address != kBase + 1) return 0xFF;
    pending_.push_back('R');
    const bool tdo = !flush() || receive_tdo();
    return static_cast<uint8_t>(kStatusIdle | (tdo ? kStatusTdo : 0));
  }

 private:
  // Sends every pending command; false once the connection is gone.
  [[nodiscard]] bool flush() {
    std::string_view rest(pending_);
    while (!rest.empty() && !lost_) {
      const long sent = send_some(fd_, rest.data(), rest.size());
      if (sent < 0) {
        const int error = socket_error();
        if (interrupted(error)) continue;
        lose(error);
        break;
      }
      rest.remove_prefix(static_cast<std::size_t>(sent));
    }
    pending_.clear();
    return !lost_;
  }

  // The server's answer to one 'R'; a lost connection reads as TDO high, like
  // a cable with nothing behind it.
  [[nodiscard]] bool receive_tdo() {
    char answer = '1';
    for (;;) {
      const long got = receive_some(fd_, &answer, 1);
      if (got == 1) break;
      const int error = got == 0 ? kConnectionReset : socket_error();
      if (got < 0 && interrupted(error)) continue;
      lose(error);
      return true;
    }
    if (answer != '0' && answer != '1' && !lost_) {
      std::fprintf(stderr, "jtagnand: remote_bitbang server answered 0x%02X to a TDO read\n",
                   static_cast<unsigned>(static_cast<unsigned char>(answer)));
    }
    return answer != '0';
  }

  void lose(int error) {
    if (!lost_) {
      std::fprintf(stderr, "jtagnand: remote_bitbang connection lost: %s\n",
                   error_text(error).c_str());
    }
    lost_ = true;
  }

  std::unique_ptr<SocketLibrary> library_;  // outlives the socket
  Socket fd_;
  std::string pending_;
  uint8_t data_ = 0xFF;
  bool trst_n_ = true;
  bool reset_known_ = false;  // nothing sent yet: the first write states nTRST
  bool lost_ = false;
};

PortOpening refused(std::string_view target, const std::string& why) {
  return PortOpening::refused(
      "rbb:" + std::string(target) + ": " + why +
      " (start a remote_bitbang server there first, e.g. jtagnand-sim --port N "
      "or --socket PATH)");
}

PortOpening bad_setting(std::string_view target, const std::string& why) {
  return PortOpening::bad_setting("JTAGNAND_PORT=rbb:" + std::string(target) + ": " + why);
}

PortOpening ready(std::unique_ptr<SocketLibrary> library, Socket fd) {
  return PortOpening::ready(std::make_unique<RbbPort>(std::move(library), fd));
}

#if defined(_WIN32)
PortOpening open_unix(std::string_view path) {
  return bad_setting(path, "Unix sockets are not offered on Windows; use HOST:PORT");
}
#else
PortOpening open_unix(std::string_view path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return bad_setting(path, "socket path too long");
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return refused(path, std::strerror(errno));
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    close(fd);
    return refused(path, std::strerror(error));
  }
  return ready(std::make_unique<SocketLibrary>(), fd);
}
#endif

PortOpening open_tcp(std::string_view target) {
  const std::size_t colon = target.rfind(':');
  if (colon == std::string_view::npos || colon == 0)
    return bad_setting(target, "expected HOST:PORT, or a socket path with a slash (./board.sock)");
  std::string host(target.substr(0, colon));
  const std::string_view port_text = target.substr(colon + 1);
  unsigned port = 0;
  const auto [end, ec] =
      std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (port_text.empty() || ec != std::errc() || end != port_text.data() + port_text.size() ||
      port == 0 || port > 65535)
    return bad_setting(target, "bad TCP port '" + std::string(port_text) + "'");
  // [::1]:N names an IPv6 address.
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);

  auto library = std::make_unique<SocketLibrary>();
  if (!library->started()) return refused(target, "the socket library did not start");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int error = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); error != 0)
    return refused(target, gai_strerror(error));
  int last_error = kConnectionRefused;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const Socket fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (fd == kNoSocket) {
      last_error = socket_error();
      continue;
    }
    if (connect_to(fd, *a)) {
      freeaddrinfo(found);
      // Each TDO read waits for its answer: small writes must leave at once.
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
      return ready(std::move(library), fd);
    }
    last_error = socket_error();
    close_socket(fd);
  }
  freeaddrinfo(found);
  return refused(target, error_text(last_error));
}

}  // namespace

PortOpening open_rbb_port(std::string_view target) {
  // A path (anything with a slash) is a Unix socket; otherwise HOST:PORT.
  if (target.find('/') != std::string_view::npos) return open_unix(target);
  return open_tcp(target);
}

}  // namespace jtagnand
