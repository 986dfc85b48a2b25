#pragma once

// What the simulator's servers (remote_bitbang, XVC) share in serving one
// connected socket: waiting with an idle limit, and writing answers to a
// master that may have stopped reading. POSIX only.

#if !defined(_WIN32)
#include <cstdint>
#include <string_view>

namespace jtagnand::sim {

// Waits until `fd` is ready for `events`; false when `idle_ms` (above 0) pass
// first. An error or a hang-up counts as ready: the next recv or send tells it.
[[nodiscard]] bool wait_ready(int fd, short events, int idle_ms);

enum class Sent : uint8_t { kAll, kError, kIdle };

// Writes all of `bytes`, never blocking on a master that has stopped reading
// for longer than `idle_ms`; kError with errno set when the peer is gone.
[[nodiscard]] Sent send_answers(int fd, std::string_view bytes, int idle_ms);

}  // namespace jtagnand::sim
#endif
