// The remote_bitbang backend: the command stream it sends for port accesses,
// a TAP walk against the simulated board served in-process, and the ways a
// connection can fail.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "platform/port_select.h"
#include "run_program.h"
#include "sim/rbb_server.h"
#include "sim/sim_board.h"

namespace jtagnand {
namespace {

using testing::TempDir;

constexpr uint16_t kData = 0x378;
constexpr uint16_t kStatus = 0x379;

// A Unix socket listening in a fresh directory.
class Listener {
 public:
  Listener() : path_(dir_.file("rbb.sock")) {
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(fd_, 1), 0);
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

std::unique_ptr<PortIo> open_ready(const std::string& target) {
  PortOpening opening = open_port("rbb:" + target, "");
  EXPECT_EQ(opening.outcome, PortOpening::Outcome::kReady) << opening.message;
  return std::move(opening.port);
}

TEST(RbbPort, CommandsWaitUntilAnAnswerIsNeededThenGoOutInOrder) {
  Listener listener;
  std::unique_ptr<PortIo> port = open_ready(listener.path());
  ASSERT_TRUE(port);
  const int server = listener.accept_one();
  ASSERT_GE(server, 0);

  // The probe at the three bases, a TRST pulse and a few clocks: nothing is
  // sent yet, and the data register reads back only at 0x378.
  for (const uint16_t base : {uint16_t{0x378}, uint16_t{0x278}, uint16_t{0x3BC}}) {
    port->write_byte(base, 0x55);
    EXPECT_EQ(port->read_byte(base), base == kData ? 0x55 : 0xFF) << base;
  }
  for (const int value : {0x0C, 0x04, 0x0C, 0x08, 0x0F, 0x0B})
    port->write_byte(kData, static_cast<uint8_t>(value));
  EXPECT_EQ(port->read_byte(kData), 0x0B);
  EXPECT_EQ(port->read_byte(0x37A), 0xFF);
  char probe = 0;
  EXPECT_EQ(recv(server, &probe, 1, MSG_DONTWAIT), -1);
  EXPECT_EQ(errno, EAGAIN);

  std::string received;
  std::thread serving([&] {
    // Answer the two reads with TDO low, then high; record all until EOF.
    const char answers[] = {'0', '1'};
    std::size_t answered = 0;
    char c = 0;
    while (recv(server, &c, 1, 0) == 1) {
      received += c;
      if (c == 'R' && answered < 2) send(server, &answers[answered++], 1, 0);
    }
  });
  // Status: nAck (bit 6) is TDO, the other inputs idle high, BUSY reads 0.
  EXPECT_EQ(port->read_byte(kStatus), 0x3F);
  port->write_byte(kData, 0x0A);
  EXPECT_EQ(port->read_byte(kStatus), 0x7F);
  port.reset();  // 'Q' and hang up
  serving.join();
  close(server);
  // 0x55 carries nTRST low: the reset command comes first. Each later change
  // of nTRST is announced again before its line command.
  EXPECT_EQ(received, "t5r4t4r4073R2RQ");
}

// The board served in-process over the socket, driven with raw port bytes:
// a TRST pulse, the TMS path to Shift-DR and 32 capturing clocks.
TEST(RbbPort, ReadsEachCpusIdcodeFromTheServedBoard) {
  for (const sim::Cpu cpu :
       {sim::Cpu::kRq7220, sim::Cpu::kZelt, sim::Cpu::kKelda, sim::Cpu::kTomux}) {
    sim::SimOptions options;
    options.cpu = cpu;
    std::string error;
    auto board = sim::SimBoard::create(options, error);
    ASSERT_TRUE(board) << error;
    sim::RbbServer server(*board);
    Listener listener;
    sim::RbbSessionEnd end;
    std::thread serving([&] {
      const int fd = listener.accept_one();
      end = sim::serve_rbb_connection(server, fd);
      close(fd);
    });

    std::unique_ptr<PortIo> port = open_ready(listener.path());
    ASSERT_TRUE(port);
    const auto clock = [&](uint8_t tms, uint8_t tdi) {
      const auto lines = static_cast<uint8_t>(0x08 | tms << 1 | tdi);
      port->write_byte(kData, lines);
      port->write_byte(kData, static_cast<uint8_t>(lines | 0x04));
    };
    for (const int value : {0x0C, 0x04, 0x0C}) port->write_byte(kData, static_cast<uint8_t>(value));
    for (const int tms : {1, 1, 1, 1, 1, 0, 1, 0, 0}) clock(static_cast<uint8_t>(tms), 0);
    uint32_t idcode = 0;
    for (int bit = 0; bit < 32; ++bit) {
      clock(bit == 31 ? 1 : 0, 0);
      if ((port->read_byte(kStatus) & 0x40) != 0) idcode |= 1U << bit;
    }
    clock(1, 0);
    clock(0, 0);
    port.reset();
    serving.join();
    EXPECT_EQ(idcode, board->idcode());
    EXPECT_EQ(end.stop, sim::RbbServer::Stop::kQuit);
    EXPECT_EQ(board->tap_state(), sim::TapState::kRunTestIdle);
    EXPECT_EQ(board->dr_scans(), 1u);
    EXPECT_EQ(server.reads(), 32u);
    // TRST pulse: three writes, each with its reset command; then 43 clocks.
    EXPECT_EQ(server.writes(), 3u * 2 + 43u * 2);
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

TEST(RbbPort, ServersThatAreNotThereAreRefusedAndBadTargetsNamed) {
  TempDir dir;
  const struct {
    std::string target;
    PortOpening::Outcome outcome;
  } cases[] = {
      {dir.file("nobody.sock"), PortOpening::Outcome::kRefused},
      {"127.0.0.1:" + std::to_string(closed_tcp_port()), PortOpening::Outcome::kRefused},
      {"localhost", PortOpening::Outcome::kBadSetting},
      {"localhost:", PortOpening::Outcome::kBadSetting},
      {":5555", PortOpening::Outcome::kBadSetting},
      {"localhost:0", PortOpening::Outcome::kBadSetting},
      {"localhost:65536", PortOpening::Outcome::kBadSetting},
      {"localhost:12x", PortOpening::Outcome::kBadSetting},
  };
  for (const auto& c : cases) {
    const PortOpening opening = open_port("rbb:" + c.target, "");
    EXPECT_EQ(opening.outcome, c.outcome) << c.target;
    EXPECT_FALSE(opening.port) << c.target;
    EXPECT_NE(opening.message.find(c.target), std::string::npos) << opening.message;
    if (c.outcome == PortOpening::Outcome::kRefused) {
      EXPECT_NE(opening.message.find("jtagnand-sim"), std::string::npos) << opening.message;
    }
  }
}

TEST(RbbPort, ALostServerReadsAsACableWithNoTargetAndIsReportedOnce) {
  Listener listener;
  std::unique_ptr<PortIo> port = open_ready(listener.path());
  ASSERT_TRUE(port);
  close(listener.accept_one());

  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) {
    port->write_byte(kData, 0x0C);
    EXPECT_EQ(port->read_byte(kStatus), 0x7F);  // TDO high, like a pull-up
  }
  port.reset();
  const std::string err = ::testing::internal::GetCapturedStderr();
  const std::string message = "remote_bitbang connection lost";
  ASSERT_NE(err.find(message), std::string::npos) << err;
  EXPECT_EQ(err.find(message), err.rfind(message)) << err;
}

}  // namespace
}  // namespace jtagnand
