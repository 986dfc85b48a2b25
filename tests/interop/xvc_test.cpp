// Xilinx Virtual Cable: jtagnand-sim --xvc checked by openFPGALoader's own XVC
// client (it reads the chain's IDCODE), and the program's xvc cable against it:
// IDCODE checks, a programming run over a bad block with the flash checked, a
// described board on a chain (programmed, dumped and verified), and the refusals.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "adapter_runs.h"
#include "read_id_scans.h"
#include "run_program.h"
#include "sim_server.h"
#include "test_boards.h"
#include "test_files.h"

namespace jtagnand::testing {
namespace {

ProgramResult jtagnand_over_xvc(const std::string& setting, const std::vector<std::string>& args) {
  return run_program(JTAGNAND_BINARY, args, {"JTAGNAND_PORT=xvc:" + setting});
}

// openFPGALoader finds the CPU's IDCODE on the chain; not being an FPGA it
// knows, it stops there with "Unknown device" (status 1). With no target
// behind the cable it reads no such IDCODE.
TEST(XvcInterop, OpenFpgaLoaderDetectsEachCpusIdcode) {
  const std::string loader = find_in_path("openFPGALoader");
  ASSERT_FALSE(loader.empty()) << "openFPGALoader is not installed (Debian: openfpgaloader)";
  const std::string timeout = find_in_path("timeout");
  for (const CpuCells& cpu : kCpuCells) {
    SCOPED_TRACE(cpu.name);
    SimServer server({"--xvc", "0", "--once", std::string("stats,strict,cpu=") + cpu.name});
    ASSERT_FALSE(server.address().empty()) << server.err();
    const ProgramResult r =
        run_program(timeout, {"20", loader, "-c", "xvc-client", "--ip", "127.0.0.1", "--port",
                              server.tcp_port(), "--detect"});
    const std::string out = r.out + r.err;
    EXPECT_TRUE(contains(out, "detected xvcServer version v1.0")) << out;
    EXPECT_TRUE(contains(out, "IDCODE: " + hex32(cpu.idcode))) << out;
    EXPECT_EQ(server.wait(), 0) << server.err();
    EXPECT_TRUE(contains(server.err(), " violations=0\n")) << server.err();
  }
  SimServer nothing({"--xvc", "0", "--once", "cpu=KELDA,target=off"});
  const ProgramResult r =
      run_program(timeout, {"20", loader, "-c", "xvc-client", "--ip", "127.0.0.1", "--port",
                            nothing.tcp_port(), "--detect"});
  EXPECT_FALSE(contains(r.out + r.err, "0x00d3165b")) << r.out << r.err;
}

TEST(ProgramOverXvc, IdcodeCheckOnEveryCpuWithItsClock) {
  for (const CpuCells& cell : kCpuCells) {
    const std::string cpu = cell.name;
    SimServer server({"--xvc", "0", "--once", "stats,strict,cpu=" + cpu});
    ASSERT_FALSE(server.address().empty()) << server.err();
    const ProgramResult r = jtagnand_over_xvc(server.address() + ",tck=4M", {"-C", cpu, "-j"});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "\nXilinx Virtual Cable at " + server.address() +
                                    " is connected, TCK 4 MHz.\n\nOK!, JTAG ID:   " +
                                    idcode_bits(cell.idcode) + "\n"))
        << r.out;
    EXPECT_EQ(server.wait(), 0) << server.err();
    // Reset, IDCODE and a 32-bit scan in one shift: message (54 clocks), the
    // closing reset in a second.
    EXPECT_TRUE(contains(server.err(), "sim: shifts=2 tck=59 ")) << server.err();
    EXPECT_TRUE(contains(server.err(), " ir_scans=1 dr_scans=1 violations=0\n")) << server.err();
  }
}

// 64 KiB from block 4 of a small-page chip whose block 5 fails to erase.
TEST(ProgramOverXvc, ProgrammingRunStepsOverABadBlockAndVerifies) {
  TempDir dir;
  const std::string flash = dir.file("flash.bin");
  const std::string image_path = dir.file("image.bin");
  const std::vector<unsigned char> image = test_pattern(64 * 1024, 13);
  write_file(image_path, image);
  SimServer server(
      {"--xvc", "0", "--once", "stats,strict,cpu=RQ7220,nand=0x76,bad=5,flash=" + flash});
  ASSERT_FALSE(server.address().empty()) << server.err();

  const ProgramResult r =
      jtagnand_over_xvc(server.address(), {"-C", "RQ7220", "-f" + image_path, "-b", "4"});
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "\nXilinx Virtual Cable at " + server.address() + " is connected.\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "Maker = 0xEC, Device = 0x76\nNAND DEVICE: 64MBytes(K9F1208U0M)\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "\nSkip bad block at 0x14000\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nVerify GOOD!!\n")) << r.out;
  EXPECT_EQ(server.wait(), 0) << server.err();
  EXPECT_TRUE(contains(server.err(), " violations=0\n")) << server.err();

  expect_image_around_bad_block(flash, image);
}

// A board description (-T) whose CPU sits between other TAPs: the chain is
// listed and the IDCODE checked through the bypass bits.
TEST(ProgramOverXvc, DescribedBoardOnAChain) {
  TempDir dir;
  write_text(dir.file("wide.bsd"), test_cpu_bsdl({.version = "0101"}));
  write_text(dir.file("wide.board"), test_board_description("wide.bsd", "3", "4 5"));
  SimServer server({"--xvc", "0", "--once", "stats,strict,board=" + dir.file("wide.board")});
  ASSERT_FALSE(server.address().empty()) << server.err();
  const ProgramResult r =
      jtagnand_over_xvc(server.address(), {"-T" + dir.file("wide.board"), "-j"});
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "\nOK!, JTAG ID:   01011010101111001101000011110011\n")) << r.out;
  EXPECT_EQ(server.wait(), 0) << server.err();
  EXPECT_TRUE(contains(server.err(), " violations=0\n")) << server.err();

  // Programmed, dumped and verified through the description's pins, block 2
  // marked: each page's bytes read back in the round trip that starts the
  // next page's program or read, without a protocol violation.
  const std::vector<unsigned char> image = test_pattern(16384 + 5000, 4);
  write_file(dir.file("image.bin"), image);
  const std::vector<std::vector<std::string>> modes = {
      {"-f" + dir.file("image.bin"), "-b", "1", "-m"},
      {"-r" + dir.file("dump.bin"), "-b", "1", "-m", "-l", std::to_string(image.size())},
      {"-v", "-f" + dir.file("image.bin"), "-b", "1", "-m"}};
  for (const auto& mode : modes) {
    SimServer run_server({"--xvc", "0", "--once",
                          "stats,strict,nand=0x76,marked=2,flash=" + dir.file("flash.bin") +
                              ",board=" + dir.file("wide.board")});
    ASSERT_FALSE(run_server.address().empty()) << run_server.err();
    std::vector<std::string> args = {"-T" + dir.file("wide.board")};
    args.insert(args.end(), mode.begin(), mode.end());
    const ProgramResult run = jtagnand_over_xvc(run_server.address(), args);
    EXPECT_EQ(run.exit_status, 0) << mode[0] << run.out << run.err;
    EXPECT_EQ(run_server.wait(), 0) << run_server.err();
    EXPECT_TRUE(contains(run_server.err(), " violations=0\n")) << mode[0] << run_server.err();
  }
  EXPECT_EQ(read_file(dir.file("dump.bin")), image);
}

TEST(ProgramOverXvc, NoServerOrNotAnXvcServerIsRefused) {
  {
    const ProgramResult r = jtagnand_over_xvc("127.0.0.1:1", {"-C", "KELDA", "-j"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(contains(r.out, "Couldn't access giveio device")) << r.out;
    EXPECT_TRUE(contains(r.err, "jtagnand-sim --xvc N")) << r.err;
  }
  // A remote_bitbang server takes "getinfo:" for commands and closes.
  SimServer rbb({"--port", "0", "--once", "cpu=KELDA"});
  const ProgramResult r = jtagnand_over_xvc(rbb.address() + ",timeout=2", {"-C", "KELDA", "-j"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(contains(r.err, "xvc:" + rbb.address() + ": getinfo: ")) << r.err;
}

}  // namespace
}  // namespace jtagnand::testing
