// The remote_bitbang server handler: command strings in, answers and board
// state out, without sockets; then one connection served over a socketpair.

#include "sim/rbb_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <thread>

#include "sim/sim_board.h"

namespace jtagnand::sim {
namespace {

std::unique_ptr<SimBoard> make_board(Cpu cpu) {
  SimOptions options;
  options.cpu = cpu;
  std::string error;
  auto board = SimBoard::create(options, error);
  EXPECT_TRUE(board) << error;
  return board;
}

// One TCK period the way OpenOCD sends it: TCK low with the new TMS and TDI,
// optionally a TDO read, then TCK high (the rising edge samples TMS and TDI).
std::string clock(int tms, int tdi, bool read = false) {
  std::string out(1, static_cast<char>('0' + (tms << 1 | tdi)));
  if (read) out += 'R';
  out += static_cast<char>('4' + (tms << 1 | tdi));
  return out;
}

std::string tms_path(const std::string& bits) {
  std::string out;
  for (const char b : bits) out += clock(b - '0', 0);
  return out;
}

// Five TMS-high clocks to Test-Logic-Reset, then to Shift-DR.
const std::string kResetToShiftDr = tms_path("11111") + tms_path("0100");
const std::string kResetToShiftIr = tms_path("11111") + tms_path("01100");

// `n` clocks in a shift state, each read before its rising edge, the last one
// leaving with TMS high.
std::string shift_reading(int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += clock(i == n - 1 ? 1 : 0, 0, true);
  return out;
}

uint32_t lsb_first(const std::string& answers) {
  uint32_t value = 0;
  for (std::size_t i = 0; i < answers.size() && i < 32; ++i)
    if (answers[i] == '1') value |= 1U << i;
  return value;
}

TEST(RbbServer, PipelinedReadsReturnEachCpusIdcodeInOrder) {
  for (const Cpu cpu : {Cpu::kRq7220, Cpu::kZelt, Cpu::kKelda, Cpu::kTomux}) {
    auto board = make_board(cpu);
    RbbServer server(*board);
    std::string answers;
    // All 32 reads in one batch, as a master pipelines them.
    const auto result = server.feed(kResetToShiftDr + shift_reading(32), answers);
    EXPECT_EQ(result.stop, RbbServer::Stop::kNone);
    ASSERT_EQ(answers.size(), 32u);
    EXPECT_EQ(lsb_first(answers), board->idcode()) << answers;
    EXPECT_EQ(board->tap_state(), TapState::kExit1Dr);
    EXPECT_EQ(server.reads(), 32u);
  }
}

TEST(RbbServer, InstructionCaptureEndsInZeroOne) {
  auto board = make_board(Cpu::kKelda);
  RbbServer server(*board);
  std::string answers;
  ASSERT_EQ(server.feed(kResetToShiftIr + shift_reading(4), answers).stop, RbbServer::Stop::kNone);
  // First out (nearest TDO) is 1, then 0.
  EXPECT_EQ(answers.substr(0, 2), "10");
}

TEST(RbbServer, ResetCommandsDriveOnlyTrst) {
  auto board = make_board(Cpu::kRq7220);
  RbbServer server(*board);
  std::string answers;
  ASSERT_EQ(server.feed(tms_path("111110"), answers).stop, RbbServer::Stop::kNone);
  ASSERT_EQ(board->tap_state(), TapState::kRunTestIdle);

  const struct {
    char command;
    bool trst_n;
  } cases[] = {{'s', true}, {'r', true}, {'t', false}, {'u', false}};
  for (const auto& c : cases) {
    ASSERT_EQ(server.feed(std::string(1, c.command), answers).stop, RbbServer::Stop::kNone);
    EXPECT_EQ(server.trst_n(), c.trst_n) << c.command;
    // SRST alone leaves the TAP where it was; TRST throws it into reset.
    EXPECT_EQ(board->tap_state(), c.trst_n ? TapState::kRunTestIdle : TapState::kTestLogicReset)
        << c.command;
    ASSERT_EQ(server.feed(std::string("r").append(tms_path("0")), answers).stop,
              RbbServer::Stop::kNone);
    EXPECT_EQ(board->tap_state(), TapState::kRunTestIdle) << c.command;
  }
  // Held in reset, clocks do not move the TAP.
  ASSERT_EQ(server.feed(std::string("t").append(tms_path("0100")), answers).stop,
            RbbServer::Stop::kNone);
  EXPECT_EQ(board->tap_state(), TapState::kTestLogicReset);
  EXPECT_TRUE(answers.empty());
}

TEST(RbbServer, LineCommandsSetTheCableLines) {
  auto board = make_board(Cpu::kRq7220);
  RbbServer server(*board);
  std::string answers;
  for (int code = 0; code < 8; ++code) {
    ASSERT_EQ(server.feed(std::string(1, static_cast<char>('0' + code)), answers).stop,
              RbbServer::Stop::kNone);
    EXPECT_EQ(server.tck(), (code & 4) != 0) << code;
    EXPECT_EQ(server.tms(), (code & 2) != 0) << code;
    EXPECT_EQ(server.tdi(), (code & 1) != 0) << code;
  }
}

TEST(RbbServer, BlinkAndLineEndsAreIgnored) {
  auto board = make_board(Cpu::kRq7220);
  RbbServer server(*board);
  std::string answers;
  const auto result = server.feed("Bb\r\nbB", answers);
  EXPECT_EQ(result.stop, RbbServer::Stop::kNone);
  EXPECT_EQ(result.consumed, 6u);
  EXPECT_TRUE(answers.empty());
  EXPECT_EQ(server.writes(), 0u);
  EXPECT_EQ(server.reads(), 0u);
}

TEST(RbbServer, QuitAndUnknownCharactersStopTheInput) {
  const struct {
    std::string input;
    RbbServer::Stop stop;
    std::size_t consumed;
    char bad;
    std::string answers;
  } cases[] = {
      {"RRQR5", RbbServer::Stop::kQuit, 3, 0, "11"},
      {"Q", RbbServer::Stop::kQuit, 1, 0, ""},
      {"R4x4R", RbbServer::Stop::kBadCommand, 2, 'x', "1"},
      {"8", RbbServer::Stop::kBadCommand, 0, '8', ""},
      {"/", RbbServer::Stop::kBadCommand, 0, '/', ""},
      {"rsv", RbbServer::Stop::kBadCommand, 2, 'v', ""},
      {std::string("R\0", 2), RbbServer::Stop::kBadCommand, 1, '\0', "1"},
      {"R\xFF", RbbServer::Stop::kBadCommand, 1, '\xFF', "1"},
  };
  for (const auto& c : cases) {
    auto board = make_board(Cpu::kRq7220);
    RbbServer server(*board);
    std::string answers;
    const auto result = server.feed(c.input, answers);
    EXPECT_EQ(result.stop, c.stop) << c.input;
    EXPECT_EQ(result.consumed, c.consumed) << c.input;
    EXPECT_EQ(result.bad, c.bad) << c.input;
    EXPECT_EQ(answers, c.answers) << c.input;
  }
}

TEST(RbbServer, WithoutATargetTdoReadsHighAndTheBoardStaysPut) {
  auto board = make_board(Cpu::kTomux);
  RbbServer server(*board, /*target_connected=*/false);
  std::string answers;
  ASSERT_EQ(server.feed(kResetToShiftDr + shift_reading(32), answers).stop, RbbServer::Stop::kNone);
  EXPECT_EQ(answers, std::string(32, '1'));
  EXPECT_EQ(board->tap_state(), TapState::kTestLogicReset);
}

TEST(RbbServer, StatsLineCountsCommandsAndScans) {
  auto board = make_board(Cpu::kKelda);
  RbbServer server(*board);
  std::string answers;
  // Into Shift-DR, 32 reads, then Exit1-DR -> Update-DR -> Run-Test/Idle.
  ASSERT_EQ(
      server
          .feed(std::string("r").append(kResetToShiftDr) + shift_reading(32) + tms_path("10") + "B",
                answers)
          .stop,
      RbbServer::Stop::kNone);
  const uint64_t line_commands = 1 + 2 * (5 + 4 + 32 + 2);
  EXPECT_EQ(server.stats_line(), "sim: writes=" + std::to_string(line_commands) +
                                     " reads=32 ir_scans=0 dr_scans=1 violations=0");
}

// --- one connection over a socketpair ----------------------------------------

struct Pair {
  int fds[2] = {-1, -1};
  Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
  ~Pair() {
    for (const int fd : fds)
      if (fd >= 0) close(fd);
  }
  void close_client() {
    close(fds[1]);
    fds[1] = -1;
  }
};

std::string receive_all(int fd) {
  std::string out;
  char buffer[256];
  for (;;) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return out;
    out.append(buffer, static_cast<std::size_t>(got));
  }
}

TEST(RbbConnection, AnswersEveryReadThenEndsAsTheMasterDid) {
  const struct {
    std::string sent;
    bool hang_up;  // close the client side after sending
    RbbServer::Stop stop;
    char bad;
    std::size_t answers;
  } cases[] = {
      {kResetToShiftDr + shift_reading(32) + "Q", false, RbbServer::Stop::kQuit, 0, 32},
      {kResetToShiftDr + shift_reading(32), true, RbbServer::Stop::kNone, 0, 32},
      {kResetToShiftDr + shift_reading(32) + "?R", false, RbbServer::Stop::kBadCommand, '?', 32},
  };
  for (const auto& c : cases) {
    auto board = make_board(Cpu::kZelt);
    RbbServer server(*board);
    Pair pair;
    SessionEnd<RbbServer> end;
    std::thread serving([&] {
      end = serve_session(server, pair.fds[0]);
      shutdown(pair.fds[0], SHUT_WR);  // the client's receive_all ends here
    });
    ASSERT_EQ(send(pair.fds[1], c.sent.data(), c.sent.size(), 0),
              static_cast<ssize_t>(c.sent.size()));
    if (c.hang_up) shutdown(pair.fds[1], SHUT_WR);
    const std::string answers = receive_all(pair.fds[1]);
    serving.join();
    EXPECT_EQ(end.stop, c.stop);
    EXPECT_EQ(end.bad, c.bad);
    EXPECT_EQ(end.error, 0);
    ASSERT_EQ(answers.size(), c.answers);
    EXPECT_EQ(lsb_first(answers), board->idcode());
  }
}

}  // namespace
}  // namespace jtagnand::sim
