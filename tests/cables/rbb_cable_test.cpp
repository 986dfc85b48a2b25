// The remote_bitbang cable: the commands it sends for TAP sequences, its
// answers delivered in order through a bounded window, the simulated board
// served in-process, and the ways a connection can fail.

#include "cables/rbb_cable.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "jtag/tap.h"
#include "run_program.h"
#include "sim/rbb_server.h"
#include "sim/sim_board.h"

namespace jtagnand {
namespace {

using testing::TempDir;

// A Unix socket listening in a fresh directory.
class Listener {
 public:
  explicit Listener(int backlog = 1) : path_(dir_.file("rbb.sock")) {
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(fd_, backlog), 0);
  }
  ~Listener() { close(fd_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  [[nodiscard]] int accept_one() const { return accept(fd_, nullptr, nullptr); }
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  TempDir dir_;
  std::string path_;
  int fd_ = -1;
};

std::unique_ptr<Cable> open_ready(const std::string& setting) {
  CableOpening opening = open_rbb_cable(setting);
  EXPECT_TRUE(opening.ok()) << opening.message();
  return opening.ok() ? std::move(opening.value()) : nullptr;
}

// A simulated board served over a Unix socket by a thread, one connection.
class ServedBoard {
 public:
  explicit ServedBoard(sim::Cpu cpu) {
    sim::SimOptions options;
    options.cpu = cpu;
    std::string error;
    board_ = sim::SimBoard::create(options, error);
    EXPECT_TRUE(board_) << error;
    server_ = std::make_unique<sim::RbbServer>(*board_);
    serving_ = std::thread([this] {
      const int fd = listener_.accept_one();
      end_ = sim::serve_session(*server_, fd);
      close(fd);
    });
  }
  ~ServedBoard() {
    if (serving_.joinable()) serving_.join();
  }
  ServedBoard(const ServedBoard&) = delete;
  ServedBoard& operator=(const ServedBoard&) = delete;

  [[nodiscard]] const std::string& path() const { return listener_.path(); }
  // Waits for the connection to end.
  const sim::SessionEnd<sim::RbbServer>& finish() {
    serving_.join();
    return end_;
  }
  [[nodiscard]] sim::SimBoard& board() { return *board_; }
  [[nodiscard]] sim::RbbServer& server() { return *server_; }

 private:
  Listener listener_;
  std::unique_ptr<sim::SimBoard> board_;
  std::unique_ptr<sim::RbbServer> server_;
  sim::SessionEnd<sim::RbbServer> end_;
  std::thread serving_;
};

TEST(RbbCable, SendsLineCommandsOnlyWhenAnAnswerIsNeededAndDeliversAnswersInOrder) {
  Listener listener;
  std::unique_ptr<Cable> cable = open_ready(listener.path());
  ASSERT_TRUE(cable);
  const int server = listener.accept_one();
  ASSERT_GE(server, 0);

  cable->trst_pulse();
  tap_reset(*cable);
  char capture[3] = {'x', 'x', 'x'};
  scan_dr_capture(*cable, Chain{}, "101", capture, 3);
  // Nothing is needed yet, so nothing has gone out.
  char probe = 0;
  EXPECT_EQ(recv(server, &probe, 1, MSG_DONTWAIT), -1);
  EXPECT_EQ(capture[0], 'x');

  std::string received;
  std::thread serving([&] {
    const char answers[] = {'1', '0', '1'};
    std::size_t answered = 0;
    char c = 0;
    while (recv(server, &c, 1, 0) == 1) {
      received += c;
      if (c == 'R' && answered < 3) {
        EXPECT_EQ(send(server, &answers[answered++], 1, 0), 1);
      }
    }
  });
  cable->flush();
  EXPECT_EQ(std::string(capture, 3), "101");
  cable.reset();  // 'Q' and hang up
  serving.join();
  close(server);
  // TRST asserted and released; five TMS-high clocks; Run-Test/Idle, Select-DR,
  // Capture-DR, Shift-DR; three data clocks each sampled after TCK rose (the
  // last one leaving for Exit1-DR); Update-DR with the last TDI; Run-Test/Idle.
  EXPECT_EQ(received, "tr" + std::string("2626262626") + "04" + "26" + "04" + "04" + "15R" + "04R" +
                          "37R" + "37" + "04" + "Q");
}

// A long shift through BYPASS comes back one clock late: every answer lands in
// its own place, across many refills of the answer window, and the two sides
// never wait on each other for ever.
TEST(RbbCable, ALongShiftThroughBypassComesBackInOrder) {
  ServedBoard served(sim::Cpu::kKelda);
  std::unique_ptr<Cable> cable = open_ready(served.path());
  ASSERT_TRUE(cable);
  constexpr uint32_t kBits = 10 * RbbCable::kWindow + 17;
  std::string tdi(kBits, '0');
  std::mt19937 random(7);
  for (char& c : tdi) c = (random() & 1U) != 0 ? '1' : '0';
  std::string capture(kBits, 'x');
  tap_reset(*cable);
  scan_ir(*cable, Chain{}, kInstructionLength, "1111");
  scan_dr_capture(*cable, Chain{}, tdi.data(), capture.data(), kBits);
  cable->flush();
  EXPECT_EQ(capture[0], '0');  // the bypass cell captures 0
  EXPECT_EQ(capture.substr(1), tdi.substr(0, kBits - 1));
  cable.reset();
  EXPECT_EQ(served.finish().stop, sim::RbbServer::Stop::kQuit);
}

TEST(RbbCable, ChecksEachCpusIdcodeOnTheServedBoard) {
  const struct {
    sim::Cpu cpu;
    const char* instruction;
    const char* idcode;
  } cases[] = {
      {sim::Cpu::kRq7220, "1011", "00110000000000000010011010010011"},
      {sim::Cpu::kZelt, "1011", "00110000000000000010011010010011"},
      {sim::Cpu::kKelda, "0101", "00000000110100110001011001011011"},
      {sim::Cpu::kTomux, "1000", "00000000010110100011000011100101"},
  };
  for (const auto& c : cases) {
    ServedBoard served(c.cpu);
    std::unique_ptr<Cable> cable = open_ready(served.path());
    ASSERT_TRUE(cable);
    cable->trst_pulse();
    tap_reset(*cable);
    const IdcodeCheck check = check_idcode(*cable, Chain{}, c.instruction, c.idcode);
    EXPECT_EQ(check.outcome, IdcodeOutcome::kMatch) << check.bits.data();
    cable.reset();
    EXPECT_EQ(served.finish().stop, sim::RbbServer::Stop::kQuit);
    EXPECT_EQ(served.board().tap_state(), sim::TapState::kRunTestIdle);
    EXPECT_EQ(served.board().ir_scans(), 1u);
    EXPECT_EQ(served.board().dr_scans(), 1u);
    EXPECT_EQ(served.server().reads(), 32u);
  }
}

// A TCP port nobody listens on: bound, then given back.
uint16_t closed_tcp_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  close(fd);
  return ntohs(address.sin_port);
}

TEST(RbbCable, ServersThatAreNotThereAreRefusedAndBadSettingsNamed) {
  TempDir dir;
  const struct {
    std::string setting;
    Refusal kind;
  } cases[] = {
      {dir.file("nobody.sock"), Refusal::kRefused},
      {"127.0.0.1:" + std::to_string(closed_tcp_port()), Refusal::kRefused},
      {"localhost", Refusal::kBadSetting},
      {"localhost:", Refusal::kBadSetting},
      {":5555", Refusal::kBadSetting},
      {"localhost:0", Refusal::kBadSetting},
      {"localhost:65536", Refusal::kBadSetting},
      {"localhost:12x", Refusal::kBadSetting},
      {"localhost:5555,timeout=0", Refusal::kBadSetting},
      {"localhost:5555,timeout=soon", Refusal::kBadSetting},
  };
  for (const auto& c : cases) {
    const CableOpening opening = open_rbb_cable(c.setting);
    ASSERT_FALSE(opening.ok()) << c.setting;
    EXPECT_EQ(opening.kind(), c.kind) << c.setting;
    EXPECT_NE(opening.message().find(c.setting.substr(0, c.setting.find(','))), std::string::npos)
        << opening.message();
    if (c.kind == Refusal::kRefused) {
      EXPECT_NE(opening.message().find("jtagnand-sim"), std::string::npos) << opening.message();
    }
  }
}

}  // namespace
}  // namespace jtagnand
