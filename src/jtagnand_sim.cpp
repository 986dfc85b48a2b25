// jtagnand-sim: one simulated board served as a remote_bitbang JTAG target, or
// as a Xilinx Virtual Cable server, so that any JTAG master speaking one of
// those protocols (OpenOCD, openFPGALoader, or jtagnand itself with
// JTAGNAND_PORT=rbb:... or xvc:...) can drive it over a socket.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "sim/rbb_server.h"
#include "sim/sim_board.h"
#include "sim/xvc_server.h"

namespace {

using jtagnand::sim::RbbServer;
using jtagnand::sim::XvcServer;

constexpr const char* kHelp =
    "usage: jtagnand-sim [--port N | --socket PATH | --xvc N] [--once] [--idle-timeout S]\n"
    "                    [OPTION,OPTION,...]\n"
    "\n"
    "Serves one simulated board (parallel-port JTAG cable, CPU, NAND flash) as a\n"
    "remote_bitbang JTAG target. Point OpenOCD at it with\n"
    "  adapter driver remote_bitbang; remote_bitbang host 127.0.0.1; remote_bitbang port N\n"
    "or jtagnand with JTAGNAND_PORT=rbb:127.0.0.1:N (rbb:PATH for a Unix socket).\n"
    "\n"
    "  --port N       listen on TCP 127.0.0.1:N; 0 (the default) picks a free port\n"
    "  --socket PATH  listen on a Unix socket at PATH instead\n"
    "  --xvc N        serve Xilinx Virtual Cable 1.0 instead, on TCP 127.0.0.1:N\n"
    "                 (0 picks a free port; XVC's usual one is 2542): getinfo:,\n"
    "                 settck: (any period is taken) and shift:; reach it with\n"
    "                 JTAGNAND_PORT=xvc:127.0.0.1:N or openFPGALoader -c xvc-client\n"
    "  --once         exit when the first connection ends\n"
    "  --idle-timeout S\n"
    "                 close a connection whose master has sent no command, or\n"
    "                 taken none of the answers it is owed, for S seconds, so\n"
    "                 that it cannot lock the next master out (default 60;\n"
    "                 0 = never)\n"
    "  --help         this text\n"
    "\n"
    "The first line on standard output is \"listening on 127.0.0.1:PORT\" (or\n"
    "\"listening on PATH\"). One connection is served at a time; the board, its TAP\n"
    "state and its flash survive from one connection to the next.\n"
    "\n"
    "Board options, comma-separated as for JTAGNAND_PORT=sim:... (several\n"
    "arguments are joined):\n"
    "  cpu=RQ7220|ZELT|KELDA|TOMUX   the CPU on the board (default RQ7220)\n"
    "  board=FILE                    instead a CPU from a board description and its\n"
    "                                BSDL file, with the other TAPs of its chain\n"
    "  nand=CODE, maker=CODE         Read ID answer (default maker 0xEC, device 0xDA)\n"
    "  id=B0:B1:B2:B3:B4             every Read ID byte, in hex (maker and device\n"
    "                                first; overrides nand= and maker=)\n"
    "  onfi=FILE                     an ONFI chip: Read ID at 0x20 gives \"ONFI\", 0xEC the\n"
    "                                parameter page of FILE (one 256-byte page is served\n"
    "                                three times, several copies as given); the\n"
    "                                organisation comes from it, else from id='s fourth\n"
    "                                byte, else from the device code\n"
    "  flash=FILE                    keep the flash's main area in FILE and the spare\n"
    "                                area of every page in FILE.oob (0xFF = erased);\n"
    "                                created when missing, held by one board at a time\n"
    "  bad=BLOCK                     erase of this block fails (repeatable)\n"
    "  marked=BLOCK                  factory bad-block mark (0x00) in the spare area of\n"
    "                                the block's first page; an erase wipes it\n"
    "                                (repeatable)\n"
    "  progfail=PAGE                 program of this page fails (repeatable)\n"
    "  flip=OFFSET                   this byte reads back with bit 0 inverted (repeatable)\n"
    "  busy=N|never                  R/nB stays low for N captures after an operation\n"
    "                                (default 2), or never rises again\n"
    "  hang=reset|read|program|erase R/nB never rises after this operation\n"
    "  target=on|off                 off: a cable with nothing behind it (TDO high)\n"
    "  stats                         print \"sim: writes=... reads=... ir_scans=...\n"
    "                                dr_scans=... violations=...\" on stderr after each\n"
    "                                connection (writes = line commands, reads = 'R');\n"
    "                                with --xvc \"sim: shifts=... tck=... ir_scans=...\"\n"
    "  strict                        first bus-protocol violation: message, exit 3\n"
    "  port=...                      accepted and ignored: there is no port address here\n"
    "\n"
    "Protocol: '0'..'7' set TCK, TMS, TDI ('0' + (tck<<2 | tms<<1 | tdi)); 'R' answers\n"
    "'0'/'1' with TDO; 'r'..'u' set the resets ('r' + (trst<<1 | srst), 1 = asserted;\n"
    "TRST drives nTRST low, SRST is not wired); 'B'/'b' ignored; 'Q' ends the\n"
    "connection; newline and carriage return are ignored. Any other character is\n"
    "reported on stderr and the connection is closed.\n"
    "\n"
    "Exit status: 0 after --once ended normally, 1 when that connection sent an\n"
    "unknown command or went idle, 2 for a bad argument or a socket that cannot be set up,\n"
    "3 for a violation under strict, 4 when the flash file cannot be read or\n"
    "written (a full disk).\n";

// How long a master may stay idle before its connection is closed: long
// enough for a person to answer the program's erase question, short enough
// that a vanished master does not hold the board for good.
constexpr unsigned kDefaultIdleSeconds = 60;
// A day: more is taken for a typing error.
constexpr unsigned kMaxIdleSeconds = 86400;

struct Settings {
  bool use_socket = false;
  bool xvc = false;
  std::string socket_path;
  uint16_t port = 0;
  bool once = false;
  unsigned idle_seconds = kDefaultIdleSeconds;
  std::string board_options;
};

int usage_error(const std::string& message) {
  std::fprintf(stderr, "jtagnand-sim: %s (try --help)\n", message.c_str());
  return 2;
}

// 0 on success, else the exit status.
int parse_arguments(int argc, char** argv, Settings& settings, bool& help) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      help = true;
      return 0;
    }
    if (arg == "--once") {
      settings.once = true;
    } else if (arg == "--idle-timeout") {
      if (i + 1 >= argc) return usage_error("--idle-timeout needs a number of seconds");
      const std::string_view value = argv[++i];
      unsigned number = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
      if (value.empty() || ec != std::errc() || end != value.data() + value.size() ||
          number > kMaxIdleSeconds)
        return usage_error("bad idle time-out '" + std::string(value) + "' (seconds, 0 to " +
                           std::to_string(kMaxIdleSeconds) + ")");
      settings.idle_seconds = number;
    } else if (arg == "--port" || arg == "--socket" || arg == "--xvc") {
      if (i + 1 >= argc) return usage_error(std::string(arg) + " needs a value");
      const std::string_view value = argv[++i];
      if (arg == "--socket") {
        if (value.empty()) return usage_error("--socket needs a path");
        settings.use_socket = true;
        settings.socket_path = std::string(value);
      } else {
        unsigned number = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
        if (ec != std::errc() || end != value.data() + value.size() || number > 65535)
          return usage_error("bad port '" + std::string(value) + "'");
        settings.use_socket = false;
        settings.xvc = arg == "--xvc";
        settings.port = static_cast<uint16_t>(number);
      }
    } else if (arg.substr(0, 2) == "--") {
      return usage_error("unknown option " + std::string(arg));
    } else {
      if (!settings.board_options.empty()) settings.board_options += ',';
      settings.board_options += arg;
    }
  }
  return 0;
}

// An open listening socket; closed (and its path removed) when it goes.
class Listener {
 public:
  Listener() = default;
  ~Listener() {
    if (fd_ >= 0) close(fd_);
    if (!path_.empty()) unlink(path_.c_str());
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Empty string on success, else what failed.
  [[nodiscard]] std::string open_tcp(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) return std::string("socket: ") + std::strerror(errno);
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never reachable from outside
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
      return "bind 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
    if (listen(fd_, 1) != 0) return std::string("listen: ") + std::strerror(errno);
    socklen_t length = sizeof address;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return std::string("getsockname: ") + std::strerror(errno);
    name_ = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    tcp_ = true;
    return {};
  }

  [[nodiscard]] std::string open_unix(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return "socket path too long: " + path;
    // A socket file left behind by an earlier server would make bind fail;
    // anything else at that path is not ours to remove.
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) unlink(path.c_str());
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd_ < 0) return std::string("socket: ") + std::strerror(errno);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
      return "bind " + path + ": " + std::strerror(errno);
    path_ = path;
    if (listen(fd_, 1) != 0) return std::string("listen: ") + std::strerror(errno);
    name_ = path;
    return {};
  }

  // The next connection, or -1 with errno set.
  [[nodiscard]] int accept_one() const {
    for (;;) {
      const int fd = accept(fd_, nullptr, nullptr);
      if (fd >= 0 || errno != EINTR) {
        if (fd >= 0 && tcp_) {
          // Every answer to an 'R' is awaited by the master: send it at once.
          const int on = 1;
          setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
        return fd;
      }
    }
  }

  [[nodiscard]] const std::string& name() const { return name_; }

 private:
  int fd_ = -1;
  bool tcp_ = false;
  std::string path_;
  std::string name_;
};

// Serves one remote_bitbang connection; the exit status it leaves for --once.
int serve_rbb(RbbServer& server, int connection, unsigned idle_seconds) {
  const jtagnand::sim::SessionEnd<RbbServer> end =
      jtagnand::sim::serve_session(server, connection, static_cast<int>(idle_seconds * 1000));
  int status = 0;
  if (end.stop == RbbServer::Stop::kBadCommand) {
    const auto code = static_cast<unsigned>(static_cast<unsigned char>(end.bad));
    std::fprintf(stderr,
                 "jtagnand-sim: unknown remote_bitbang command 0x%02X ('%c'); connection "
                 "closed\n",
                 code, code >= 0x20 && code < 0x7F ? end.bad : '?');
    status = 1;
  } else if (end.idle) {
    std::fprintf(stderr,
                 "jtagnand-sim: connection idle for %u s (no command, or answers not taken); "
                 "closed\n",
                 idle_seconds);
    status = 1;
  } else if (end.error != 0) {
    std::fprintf(stderr, "jtagnand-sim: connection lost: %s\n", std::strerror(end.error));
  }
  return status;
}

// Serves one XVC connection; the exit status it leaves for --once.
int serve_xvc(XvcServer& server, int connection, unsigned idle_seconds) {
  const jtagnand::sim::SessionEnd<XvcServer> end =
      jtagnand::sim::serve_session(server, connection, static_cast<int>(idle_seconds * 1000));
  if (end.stop == XvcServer::Stop::kBadMessage) {
    std::fprintf(stderr, "jtagnand-sim: not an XVC message: %s; connection closed\n",
                 end.bad.c_str());
    return 1;
  }
  if (end.idle) {
    std::fprintf(stderr,
                 "jtagnand-sim: connection idle for %u s (no message, or answers not taken); "
                 "closed\n",
                 idle_seconds);
    return 1;
  }
  if (end.error != 0)
    std::fprintf(stderr, "jtagnand-sim: connection lost: %s\n", std::strerror(end.error));
  return 0;
}

int run(int argc, char** argv) {
  Settings settings;
  bool help = false;
  if (const int status = parse_arguments(argc, argv, settings, help); status != 0) return status;
  if (help) {
    std::fputs(kHelp, stdout);
    return 0;
  }

  jtagnand::sim::SimOptions options;
  std::string error;
  if (!jtagnand::sim::parse_sim_options(settings.board_options, {}, options, error))
    return usage_error(error);
  std::unique_ptr<jtagnand::sim::SimBoard> board = jtagnand::sim::SimBoard::create(options, error);
  if (!board) {
    std::fprintf(stderr, "jtagnand-sim: simulated board: %s\n", error.c_str());
    return 2;
  }
  RbbServer server(*board, !options.target_off);
  XvcServer xvc_server(*board, !options.target_off);

  // A master that vanishes mid-answer must not take the server with it.
  signal(SIGPIPE, SIG_IGN);
  Listener listener;
  error = settings.use_socket ? listener.open_unix(settings.socket_path)
                              : listener.open_tcp(settings.port);
  if (!error.empty()) {
    std::fprintf(stderr, "jtagnand-sim: %s\n", error.c_str());
    return 2;
  }
  std::printf("listening on %s\n", listener.name().c_str());
  std::fflush(stdout);

  for (;;) {
    const int connection = listener.accept_one();
    if (connection < 0) {
      std::fprintf(stderr, "jtagnand-sim: accept: %s\n", std::strerror(errno));
      return 2;
    }
    const int status = settings.xvc ? serve_xvc(xvc_server, connection, settings.idle_seconds)
                                    : serve_rbb(server, connection, settings.idle_seconds);
    close(connection);
    if (options.stats) {
      std::fprintf(stderr, "%s\n",
                   (settings.xvc ? xvc_server.stats_line() : server.stats_line()).c_str());
    }
    if (settings.once) return status;
  }
}

}  // namespace

int main(int argc, char** argv) {
  return run(argc, argv);
}
