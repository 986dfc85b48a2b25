// Fuzz target: the remote_bitbang server's command stream, carried out on a
// simulated board. The first input byte chooses the board (bits 0-1 the CPU,
// bits 2-4 the chip, bit 5 a cable with no target); the rest are the commands.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "../fuzz_check.h"
#include "sim/rbb_server.h"
#include "sim/sim_board.h"

namespace {

using jtagnand::sim::RbbServer;
using jtagnand::sim::SimBoard;

constexpr std::array<uint8_t, 8> kChips{0x76, 0x75, 0x73, 0xE6, 0xF1, 0xDA, 0xDC, 0xD3};

std::unique_ptr<SimBoard> make_board(uint8_t setup) {
  jtagnand::sim::SimOptions options;
  options.cpu = static_cast<jtagnand::sim::Cpu>(setup & 3);
  options.nand_code = kChips[(setup >> 2) & 7];
  std::string error;
  std::unique_ptr<SimBoard> board = SimBoard::create(options, error);
  FUZZ_CHECK(board != nullptr);
  return board;
}

bool is_command(char c) {
  return (c >= '0' && c <= '7') || c == 'R' || (c >= 'r' && c <= 'u') || c == 'B' || c == 'b' ||
         c == 'Q' || c == '\n' || c == '\r';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t setup = data[0];
  const bool target = (setup & 0x20) == 0;
  const std::string_view commands(reinterpret_cast<const char*>(data + 1), size - 1);

  // All commands in one read, as a master that pipelines them sends them.
  const std::unique_ptr<SimBoard> whole_board = make_board(setup);
  RbbServer whole(*whole_board, target);
  std::string answers;
  const RbbServer::FeedResult fed = whole.feed(commands, answers);

  const std::string_view taken = commands.substr(0, fed.consumed);
  size_t reads = 0;
  for (const char c : taken) {
    FUZZ_CHECK(is_command(c));
    if (c == 'R') ++reads;
  }
  FUZZ_CHECK(answers.size() == reads);
  FUZZ_CHECK(answers.find_first_not_of("01") == std::string::npos);
  FUZZ_CHECK(whole.reads() == reads);
  switch (fed.stop) {
    case RbbServer::Stop::kNone:
      FUZZ_CHECK(fed.consumed == commands.size());
      break;
    case RbbServer::Stop::kQuit:
      FUZZ_CHECK(!taken.empty() && taken.back() == 'Q');
      FUZZ_CHECK(taken.find('Q') == taken.size() - 1);
      break;
    case RbbServer::Stop::kBadCommand:
      FUZZ_CHECK(fed.consumed < commands.size() && commands[fed.consumed] == fed.bad);
      FUZZ_CHECK(!is_command(fed.bad) && taken.find('Q') == std::string_view::npos);
      break;
  }
  if (!target) FUZZ_CHECK(answers.find('0') == std::string::npos);  // the pull-up holds TDO high

  // The same commands one character per read: how a stream is cut into reads
  // changes nothing.
  const std::unique_ptr<SimBoard> piece_board = make_board(setup);
  RbbServer pieces(*piece_board, target);
  std::string piece_answers;
  for (size_t i = 0; i < commands.size(); ++i) {
    if (pieces.feed(commands.substr(i, 1), piece_answers).stop != RbbServer::Stop::kNone) break;
  }
  FUZZ_CHECK(piece_answers == answers);
  FUZZ_CHECK(pieces.writes() == whole.writes());
  FUZZ_CHECK(pieces.stats_line() == whole.stats_line());
  return 0;
}
