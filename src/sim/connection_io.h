#pragma once

// What the simulator's servers (remote_bitbang, XVC) share in serving one
// connected socket: waiting with an idle limit, and writing answers to a
// master that may have stopped reading. POSIX only.

#if !defined(_WIN32)
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace jtagnand::sim {

// Waits until `fd` is ready for `events`; false when `idle_ms` (above 0) pass
// first. An error or a hang-up counts as ready: the next recv or send tells it.
[[nodiscard]] bool wait_ready(int fd, short events, int idle_ms);

enum class Sent : uint8_t { kAll, kError, kIdle };

// Writes all of `bytes`, never blocking on a master that has stopped reading
// for longer than `idle_ms`; kError with errno set when the peer is gone.
[[nodiscard]] Sent send_answers(int fd, std::string_view bytes, int idle_ms);

// What a protocol makes of the bytes a master has sent: it carries out the
// complete commands at the start of `input`, appends their answers to
// `answers`, and says how many bytes it took (a command not yet complete waits
// for more) and whether the connection ends after these answers.
struct Served {
  std::size_t consumed = 0;
  bool stop = false;
};
using Protocol = std::function<Served(std::string_view input, std::string& answers)>;

// How a connection ended: the protocol stopped it, the master hung up (none of
// the three), an I/O error, or the idle limit.
struct ConnectionEnd {
  bool stopped = false;
  int error = 0;      // errno of a failed read or write, else 0
  bool idle = false;  // the master neither sent nor took anything for the idle time
};

// Serves the connected socket `fd` until the protocol stops, the master hangs
// up, an I/O error or, when `idle_ms` is above 0, a master that for that long
// sends nothing or takes none of the answers owed. Reads up to `read_bytes` of
// what the master has sent at a time, hands it with what is left of earlier
// reads to `protocol` and writes all answers of that batch in one go, those to
// the commands before a stop included. Does not close `fd`.
[[nodiscard]] ConnectionEnd serve_connection(int fd, int idle_ms, std::size_t read_bytes,
                                             const Protocol& protocol);

// How a connection to a protocol server (RbbServer, XvcServer) ended: as
// ConnectionEnd says, and when the server stopped it (`stopped`), the stop and
// what was bad as its last FeedResult had them (else a FeedResult as made).
template <class Server>
struct SessionEnd : Server::FeedResult, ConnectionEnd {};

// Serves the connected socket `fd` with `server`'s feed as the protocol, as
// serve_connection does, reading up to Server::kReadBytes at a time.
template <class Server>
[[nodiscard]] SessionEnd<Server> serve_session(Server& server, int fd, int idle_ms = 0) {
  typename Server::FeedResult fed;
  SessionEnd<Server> end;
  static_cast<ConnectionEnd&>(end) = serve_connection(
      fd, idle_ms, Server::kReadBytes, [&](std::string_view input, std::string& answers) {
        fed = server.feed(input, answers);
        return Served{fed.consumed, fed.stop != Server::Stop::kNone};
      });
  if (end.stopped) static_cast<typename Server::FeedResult&>(end) = std::move(fed);
  return end;
}

}  // namespace jtagnand::sim
#endif
