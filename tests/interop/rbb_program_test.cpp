// The program against jtagnand-sim over remote_bitbang (TCP and Unix socket),
// and the server's own command line and error handling.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "run_program.h"
#include "sim_server.h"
#include "test_files.h"

namespace jtagnand::testing {
namespace {

ProgramResult jtagnand_over(const std::string& address, const std::vector<std::string>& args) {
  return run_program(JTAGNAND_BINARY, args, {"JTAGNAND_PORT=rbb:" + address});
}

// Two CPUs, each board served for two connections in a row: the second run
// finds the board as the first left it.
TEST(ProgramOverRbb, IdcodeCheckOverTcpTwiceOnTheSameBoard) {
  const struct {
    std::string cpu;
    std::string id;
  } cases[] = {{"RQ7220", "00110000000000000010011010010011"},
               {"TOMUX", "00000000010110100011000011100101"}};
  for (const auto& c : cases) {
    SimServer server({"--port", "0", "stats,strict,cpu=" + c.cpu});
    ASSERT_FALSE(server.address().empty()) << server.err();
    for (int run = 0; run < 2; ++run) {
      const ProgramResult r = jtagnand_over(server.address(), {"-C", c.cpu, "-j"});
      EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
      EXPECT_TRUE(
          contains(r.out, "\nremote_bitbang cable at " + server.address() + " is connected.\n"))
          << r.out;
      EXPECT_TRUE(contains(r.out, "\nOK!, JTAG ID:   " + c.id + "\n")) << r.out;
    }
    // The server prints a connection's stats line once it has seen the end of
    // it, which may come after the program has exited: wait for the second.
    EXPECT_TRUE(server.wait_for_err("ir_scans=2 ")) << server.err();
    server.stop();
    // One stats line per connection; the counts grow, the board is the same.
    const std::string err = server.err();
    EXPECT_TRUE(contains(err, "ir_scans=1 ")) << err;
    EXPECT_TRUE(contains(err, "ir_scans=2 ")) << err;
    EXPECT_FALSE(contains(err, "unknown")) << err;
  }
}

TEST(ProgramOverRbb, ProgrammingRunOverAUnixSocketStepsOverABadBlockAndVerifies) {
  TempDir dir;
  const std::string flash = dir.file("flash.bin");
  const std::string image_path = dir.file("image.bin");
  // 64 KiB: four 16 KiB blocks of 512-byte pages from block 1, with block 2 bad.
  const std::vector<unsigned char> image = test_pattern(64 * 1024, 5);
  write_file(image_path, image);
  SimServer server({"--socket", dir.file("board.sock"), "--once",
                    "stats,strict,cpu=ZELT,nand=0x76,bad=2,flash=" + flash});
  ASSERT_EQ(server.address(), dir.file("board.sock")) << server.err();

  // The path is attached to -f: a separate word starting with '/' would be
  // read as an option of its own.
  const ProgramResult r =
      jtagnand_over(server.address(), {"-C", "ZELT", "-f" + image_path, "-b", "1"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Maker = 0xEC, Device = 0x76\nNAND DEVICE: 64MBytes(K9F1208U0M)\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "\nSkip bad block at 0x8000\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nVerify GOOD!!\n")) << r.out;

  EXPECT_EQ(server.wait(), 0) << server.err();
  EXPECT_TRUE(contains(server.err(), "violations=0\n")) << server.err();
  const std::vector<unsigned char> chip = read_file(flash);
  ASSERT_EQ(chip.size(), 64u * 1024 * 1024);
  constexpr size_t kBlock = 16 * 1024;
  EXPECT_EQ(slice(chip, kBlock, kBlock), slice(image, 0, kBlock));
  EXPECT_EQ(slice(chip, 2 * kBlock, kBlock), std::vector<unsigned char>(kBlock, 0xFF));
  EXPECT_EQ(slice(chip, 3 * kBlock, image.size() - kBlock),
            slice(image, kBlock, image.size() - kBlock));
  EXPECT_EQ(slice(chip, 2 * kBlock + image.size(), 16), std::vector<unsigned char>(16, 0xFF));
}

// A listening socket whose connections are never accepted or answered.
class SilentListener {
 public:
  explicit SilentListener(int backlog) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(fd_, backlog), 0);
    socklen_t length = sizeof address;
    EXPECT_EQ(getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    address_ = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  }
  ~SilentListener() {
    for (const int fd : fillers_) close(fd);
    close(fd_);
  }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;

  // Fills the queue of connections waiting to be accepted: with it full, a new
  // connection gets no answer at all.
  void fill_queue() {
    for (int i = 0; i < 2; ++i) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(static_cast<uint16_t>(std::stoi(address_.substr(10))));
      static_cast<void>(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address));
      fillers_.push_back(fd);
    }
  }
  [[nodiscard]] const std::string& address() const { return address_; }

 private:
  int fd_ = -1;
  std::string address_;
  std::vector<int> fillers_;
};

TEST(ProgramOverRbb, AServerThatNeverAnswersStopsTheRunAfterItsTimeOut) {
  SilentListener mute(4);
  const ProgramResult run = jtagnand_over(mute.address() + ",timeout=0.3", {"-C", "KELDA", "-j"});
  EXPECT_EQ(run.exit_status, 2) << run.out << run.err;
  EXPECT_TRUE(contains(run.err, "sent no answer for 300 ms; run stopped")) << run.err;
  EXPECT_FALSE(contains(run.out, "JTAG ID")) << run.out;

  SilentListener full(0);
  full.fill_queue();
  const ProgramResult connect =
      jtagnand_over(full.address() + ",timeout=0.3", {"-C", "KELDA", "-j"});
  EXPECT_EQ(connect.exit_status, 1) << connect.out << connect.err;
  EXPECT_TRUE(contains(connect.out, "Couldn't access giveio device")) << connect.out;
  EXPECT_TRUE(contains(connect.err, "no answer to the connection within 300 ms")) << connect.err;
}

// A dump whose server goes away half way: the run stops with status 2 and
// leaves no file of its own beside the target.
TEST(ProgramOverRbb, ALostServerLeavesNoDumpFileBehind) {
  TempDir dir;
  const std::string dump = dir.file("dump.bin");
  const std::string script =
      "\"$1\" --port 0 cpu=RQ7220,nand=0x76 >\"$2.srv\" 2>&1 & server=$!; "
      "while ! grep -q listening \"$2.srv\"; do sleep 0.05; done; "
      "port=$(sed -n 's/.*://p' \"$2.srv\"); rm \"$2.srv\"; "
      "JTAGNAND_PORT=rbb:127.0.0.1:$port,timeout=2 \"$0\" -C RQ7220 -r\"$2\" </dev/null & pid=$!; "
      "while ! ls \"$2\".jtagnand-* >/dev/null 2>&1; do sleep 0.05; done; "
      "kill $server; wait $pid; echo status=$?";
  const ProgramResult r =
      run_program("/bin/sh", {"-c", script, JTAGNAND_BINARY, JTAGNAND_SIM_BINARY, dump});
  EXPECT_TRUE(contains(r.err, "run stopped")) << r.err;
  EXPECT_TRUE(contains(r.out, "status=2")) << r.out;
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    left.push_back(entry.path().filename().string());
  EXPECT_TRUE(left.empty()) << left.front();
}

TEST(ProgramOverRbb, NoServerIsRefusedPortAccess) {
  TempDir dir;
  const ProgramResult r = jtagnand_over(dir.file("nobody.sock"), {"-C", "KELDA", "-j"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(contains(r.out, "Couldn't access giveio device")) << r.out;
  EXPECT_TRUE(contains(r.err, "jtagnand-sim")) << r.err;
}

TEST(SimServerCommandLine, HelpAndBadArguments) {
  const ProgramResult help = run_program(JTAGNAND_SIM_BINARY, {"--help"});
  EXPECT_EQ(help.exit_status, 0);
  for (const std::string word : {"--port", "--socket", "--once", "cpu=", "flash=", "strict"})
    EXPECT_TRUE(contains(help.out, word)) << word;

  const std::vector<std::string> bad[] = {
      {"--port"}, {"--port", "70000"}, {"--frobnicate"}, {"cpu=Z80"}, {"--socket", ""}};
  for (const auto& args : bad) {
    const ProgramResult r = run_program(JTAGNAND_SIM_BINARY, args);
    EXPECT_EQ(r.exit_status, 2) << args[0];
    EXPECT_TRUE(contains(r.err, "jtagnand-sim: ")) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
}

// A TCP connection to the server; `receive_buffer` bytes of socket buffer
// when above 0. -1 when it fails.
int connect_to(const SimServer& server, int receive_buffer = 0) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (receive_buffer > 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::stoi(server.tcp_port())));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
  close(fd);
  return -1;
}

TEST(SimServerCommandLine, UnknownCommandClosesTheConnectionAfterEarlierAnswers) {
  SimServer server({"--once"});
  ASSERT_FALSE(server.address().empty()) << server.err();
  const int fd = connect_to(server);
  ASSERT_GE(fd, 0);
  const std::string sent = "R5R#RR";
  ASSERT_EQ(send(fd, sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
  std::string answers;
  char c = 0;
  while (recv(fd, &c, 1, 0) == 1) answers += c;  // ends when the server closes
  close(fd);
  EXPECT_EQ(answers, "11");
  EXPECT_EQ(server.wait(), 1);
  EXPECT_TRUE(contains(server.err(), "unknown remote_bitbang command 0x23 ('#')")) << server.err();
}

// Sends 'R's without reading a single answer until the server stops taking
// them (its answers fill the sockets), or it closes the connection.
void flood_with_reads(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  const std::string reads(64 * 1024, 'R');
  for (;;) {
    const ssize_t sent = send(fd, reads.data(), reads.size(), MSG_NOSIGNAL);
    if (sent > 0) continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
    // Nothing taken for a second: the server is no longer reading.
    pollfd writable{fd, POLLOUT, 0};
    if (poll(&writable, 1, 1000) == 0) return;
  }
}

// A master that connects and stays idle, or sends 'R' and never reads, must
// not hold the board for good: after the idle time-out its connection is
// closed and the next master is served.
TEST(SimServerIdle, StuckMasterDoesNotLockOutTheNextOne) {
  for (const bool never_reads : {false, true}) {
    SimServer server({"--idle-timeout", "1"});
    ASSERT_FALSE(server.address().empty()) << server.err();
    const int stuck = connect_to(server, never_reads ? 4096 : 0);
    ASSERT_GE(stuck, 0);
    if (never_reads) flood_with_reads(stuck);

    const int next = connect_to(server);
    ASSERT_GE(next, 0);
    // A deadline for a loaded machine, not a measure of the time-out.
    const timeval deadline{30, 0};
    setsockopt(next, SOL_SOCKET, SO_RCVTIMEO, &deadline, sizeof deadline);
    ASSERT_EQ(send(next, "R", 1, MSG_NOSIGNAL), 1);
    char answer = 0;
    EXPECT_EQ(recv(next, &answer, 1, 0), 1) << never_reads;
    EXPECT_EQ(answer, '1') << never_reads;  // TDO idles high outside a shift
    close(next);
    close(stuck);
    EXPECT_TRUE(server.wait_for_err(
        "jtagnand-sim: connection idle for 1 s (no command, or answers not taken); closed\n"))
        << server.err();
  }

  const ProgramResult help = run_program(JTAGNAND_SIM_BINARY, {"--help"});
  EXPECT_TRUE(contains(help.out, "--idle-timeout S")) << help.out;
  for (const std::string bad : {"", "x", "-1", "86401"}) {
    const ProgramResult r = run_program(JTAGNAND_SIM_BINARY, {"--idle-timeout", bad});
    EXPECT_EQ(r.exit_status, 2) << bad;
    EXPECT_TRUE(contains(r.err, "jtagnand-sim: bad idle time-out '" + bad + "'")) << r.err;
  }
}

}  // namespace
}  // namespace jtagnand::testing
