// The spare area and ECC against Linux's own MTD stack (kernel 6.1: nandsim,
// its software Hamming and BCH engines, mtd-utils, UBI), booted once under
// QEMU for all the cases: the program's pages and spare areas are what Linux
// writes, Linux reads and corrects the program's flash, the program corrects
// Linux's, and a UBI image the program wrote attaches.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "run_program.h"

namespace jtagnand::testing {
namespace {

using Bytes = std::vector<unsigned char>;

struct Geometry {
  const char* name;
  const char* scheme;     // -E
  const char* sim_chip;   // the simulated board's chip
  const char* linux_ids;  // nandsim's id_bytes for the same chip
  const char* linux_ecc;  // nandsim's ECC parameter
  uint32_t page;
  uint32_t spare;
  uint32_t step;
  uint32_t pages;  // pages of test data
  long chip_bytes;
};

const Geometry kGeometries[] = {
    {"lp_hamming", "hamming", "nand=0xF1", "0xec,0xf1,0x00,0x95,0x40", "", 2048, 64, 256, 4,
     128 << 20},
    {"lp_bch4", "bch4", "nand=0xF1", "0xec,0xf1,0x00,0x95,0x40", "bch=4", 2048, 64, 512, 4,
     128 << 20},
    {"lp_bch8", "bch8", "nand=0xF1", "0xec,0xf1,0x00,0x95,0x40", "bch=8", 2048, 64, 512, 4,
     128 << 20},
    {"sp_hamming", "hamming", "nand=0x76", "0xec,0x76", "", 512, 16, 256, 8, 64 << 20},
};
// UBI on a 1 Gbit chip of 64 KiB blocks (known by its extended ID): a small
// UBIFS image fills few blocks.
constexpr const char* kUbiSimChip = "id=EC:A1:00:85:40";
constexpr const char* kUbiLinuxIds = "0xec,0xa1,0x00,0x85,0x40";
constexpr uint32_t kUbiLeb = 61440;  // 64 KiB less two 2 KiB pages of UBI headers

std::string qemu_path() {
  for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
    const std::string path = std::string(dir) + "/qemu-system-x86_64";
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

ProgramResult jtagnand_on(const std::string& board, const std::vector<std::string>& args) {
  std::vector<std::string> all = {"-C", "ZELT"};
  all.insert(all.end(), args.begin(), args.end());
  return run_program(JTAGNAND_BINARY, all, {"JTAGNAND_PORT=sim:" + board});
}

// Page after page, each followed by its spare bytes, from the simulated
// board's files (main area, spare areas back to back).
Bytes page_and_spare(const std::string& flash, const Geometry& g, uint32_t pages) {
  const Bytes main = read_file(flash);
  const Bytes spare = read_file(flash + ".oob");
  Bytes out;
  for (uint32_t p = 0; p < pages && (p + 1) * g.page <= main.size(); ++p) {
    out.insert(out.end(), main.begin() + p * g.page, main.begin() + (p + 1) * g.page);
    out.insert(out.end(), spare.begin() + p * g.spare, spare.begin() + (p + 1) * g.spare);
  }
  return out;
}

// The reverse: a page+spare image as the board's files, the rest of the chip
// left sparse (it is never read).
void load_board_files(const std::string& flash, const Geometry& g, const Bytes& raw) {
  Bytes main;
  Bytes spare;
  for (std::size_t at = 0; at + g.page + g.spare <= raw.size(); at += g.page + g.spare) {
    main.insert(main.end(), raw.begin() + at, raw.begin() + at + g.page);
    spare.insert(spare.end(), raw.begin() + at + g.page, raw.begin() + at + g.page + g.spare);
  }
  write_file(flash, main);
  write_file(flash + ".oob", spare);
  ASSERT_EQ(truncate(flash.c_str(), g.chip_bytes), 0);
}

// One bit flipped in the main area of every ECC step.
Bytes with_flips(Bytes raw, const Geometry& g) {
  const uint32_t unit = g.page + g.spare;
  for (uint32_t p = 0; p * unit < raw.size(); ++p) {
    for (uint32_t s = 0; s < g.page / g.step; ++s) {
      const uint32_t byte = p * unit + s * g.step + (s * 37 + p * 11) % g.step;
      raw[byte] = static_cast<unsigned char>(raw[byte] ^ (1u << ((s + p) % 8)));
    }
  }
  return raw;
}

std::string text_of(const std::string& path) {
  const Bytes bytes = read_file(path);
  return {bytes.begin(), bytes.end()};
}

// Everything the cases look at, made once: the program's runs on the
// simulated board, then one boot of Linux.
struct Shared {
  TempDir dir;
  std::string skip;     // why the cases skip (no QEMU)
  std::string failure;  // why the setup failed
  std::string in() const { return dir.file("in"); }
  std::string out() const { return dir.file("out"); }
};

class LinuxMtd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    shared_ = std::make_unique<Shared>();
    if (qemu_path().empty()) {
      shared_->skip =
          "qemu-system-x86_64 is not installed (Debian: qemu-system-x86): Linux's MTD stack not "
          "run";
      return;
    }
    prepare();
    if (!shared_->failure.empty()) return;
    const ProgramResult boot =
        run_program("/bin/bash", {JTAGNAND_LINUX_MTD_SCRIPT, shared_->in(), shared_->out()});
    if (boot.exit_status != 0) {
      shared_->failure =
          "booting Linux failed (" + std::to_string(boot.exit_status) + "): " + boot.err;
    }
  }
  static void TearDownTestSuite() { shared_.reset(); }

  void SetUp() override {
    if (!shared_->skip.empty()) GTEST_SKIP() << shared_->skip;
    ASSERT_EQ(shared_->failure, "");
  }

  static std::string out(const std::string& name) { return shared_->dir.file("out/" + name); }
  static std::string in(const std::string& name) { return shared_->dir.file("in/" + name); }
  static std::string file(const std::string& name) { return shared_->dir.file(name); }
  static Bytes data_of(const Geometry& g) {
    Bytes data = test_pattern(g.page * g.pages, g.page);
    // An erased page among them: its ECC is all 0xFF under every scheme.
    std::fill(data.begin() + g.page, data.begin() + 2 * g.page, 0xFF);
    return data;
  }

 private:
  static void fail(const std::string& why) {
    if (shared_->failure.empty()) shared_->failure = why;
  }

  // The program's side before the boot, and the script Linux runs.
  static void prepare() {
    const Shared& s = *shared_;
    ASSERT_EQ(mkdir(s.in().c_str(), 0755), 0);
    // The UBI image is the longest of the program's runs: it goes on beside
    // the others.
    std::future<ProgramResult> ubi_run = start_ubi();
    std::string script =
        "set -x\nstats() { cat /sys/class/mtd/mtd0/corrected_bits "
        "/sys/class/mtd/mtd0/ecc_failures | tr '\\n' ' '; }\n";
    for (const Geometry& g : kGeometries) {
      const std::string name = g.name;
      const Bytes data = data_of(g);
      write_file(in(name + ".bin"), data);
      // The program writes the data with ECC on the simulated chip.
      const std::string flash = s.dir.file(name + ".flash");
      write_file(flash, {});
      ASSERT_EQ(truncate(flash.c_str(), g.chip_bytes), 0);
      const std::string board = std::string(g.sim_chip) + ",flash=" + flash;
      const ProgramResult wrote = jtagnand_on(board, {"-f" + in(name + ".bin"), "-E", g.scheme});
      if (wrote.exit_status != 0)
        return fail(name + ": programming failed:\n" + wrote.out + wrote.err);
      const Bytes raw = page_and_spare(flash, g, g.pages);
      write_file(s.dir.file(name + ".program.raw"), raw);
      write_file(in(name + ".program.raw"), raw);
      write_file(in(name + ".flipped.raw"), with_flips(raw, g));
      // -r -O gives the same bytes as the board's files.
      const ProgramResult dumped = jtagnand_on(
          board, {"-r" + s.dir.file(name + ".dump.raw"), "-O", "-l", std::to_string(data.size())});
      if (dumped.exit_status != 0) return fail(name + ": -r -O failed:\n" + dumped.out);

      const std::string length = std::to_string(data.size());
      script += "insmod /lib/mods/nandsim.ko id_bytes=" + std::string(g.linux_ids) + " " +
                g.linux_ecc + "\n";
      // Linux writes the data with its ECC; the raw pages and spare areas come out.
      script += "nandwrite -p /dev/mtd0 " + name + ".bin\n";
      script +=
          "nanddump --noecc --oob -l " + length + " -f /out/" + name + ".linux.raw /dev/mtd0\n";
      // The program's flash, loaded raw, read through Linux's ECC: clean, then
      // with one flipped bit per step.
      for (const std::string variant : {"program", "flipped"}) {
        script += "flash_erase /dev/mtd0 0 0\n";
        script += "nandwrite --noecc --oob /dev/mtd0 " + name + "." + variant + ".raw\n";
        script += "stats > /out/" + name + "." + variant + ".before\n";
        script +=
            "nanddump -l " + length + " -f /out/" + name + "." + variant + ".read /dev/mtd0\n";
        script += "stats > /out/" + name + "." + variant + ".after\n";
      }
      script += "rmmod nandsim\n";
    }
    if (ubi_run.valid()) finish_ubi(ubi_run.get(), script);
    std::ofstream(in("run.sh")) << script;
  }

  // A UBIFS in a UBI image, written by the program with -E hamming -k (the
  // run started here, finished by finish_ubi); Linux attaches it and reads
  // the volume back.
  static std::future<ProgramResult> start_ubi() {
    const Shared& s = *shared_;
    const std::string root = s.dir.file("ubifs-root");
    if (mkdir(root.c_str(), 0755) != 0) {
      fail("cannot make " + root);
      return {};
    }
    write_file(root + "/pattern.bin", test_pattern(5000, 7));
    const std::string fs = s.dir.file("fs.img");
    const ProgramResult mkfs =
        run_program("/usr/sbin/mkfs.ubifs", {"-m", "2048", "-e", std::to_string(kUbiLeb), "-c",
                                             "20", "-l", "2", "-j", "128KiB", "-r", root, fs});
    if (mkfs.exit_status != 0) {
      fail("mkfs.ubifs (mtd-utils) failed: " + mkfs.err);
      return {};
    }
    std::ofstream(s.dir.file("ubi.ini"))
        << "[volume]\nmode=ubi\nimage=" << fs << "\nvol_id=0\nvol_type=dynamic\nvol_name=data\n";
    const std::string ubi = s.dir.file("ubi.img");
    const ProgramResult ubinize =
        run_program("/usr/sbin/ubinize",
                    {"-o", ubi, "-m", "2048", "-p", "64KiB", "-s", "512", s.dir.file("ubi.ini")});
    if (ubinize.exit_status != 0) {
      fail("ubinize (mtd-utils) failed: " + ubinize.err);
      return {};
    }
    const std::string flash = s.dir.file("ubi.flash");
    write_file(flash, {});
    if (truncate(flash.c_str(), 128 << 20) != 0) {
      fail("cannot size " + flash);
      return {};
    }
    return std::async(std::launch::async, [flash, ubi] {
      return jtagnand_on(std::string(kUbiSimChip) + ",flash=" + flash,
                         {"-f" + ubi, "-E", "hamming", "-k"});
    });
  }

  static void finish_ubi(const ProgramResult& wrote, std::string& script) {
    const Shared& s = *shared_;
    if (wrote.exit_status != 0) return fail("UBI image: programming failed:\n" + wrote.out);
    const std::string fs = s.dir.file("fs.img");
    const std::string ubi = s.dir.file("ubi.img");
    const std::string flash = s.dir.file("ubi.flash");
    const Geometry g{"ubi", "hamming", "", "", "", 2048, 64, 256, 0, 128 << 20};
    const auto pages = static_cast<uint32_t>(read_file(ubi).size() / g.page);
    write_file(in("ubi.raw"), page_and_spare(flash, g, pages));
    const std::string fs_size = std::to_string(read_file(fs).size());
    script += "insmod /lib/mods/nandsim.ko id_bytes=" + std::string(kUbiLinuxIds) + "\n";
    script += "nandwrite --noecc --oob /dev/mtd0 ubi.raw\n";
    script += "ubiattach -m 0 && ubinfo -a > /out/ubinfo.txt\n";
    script += "head -c " + fs_size + " /dev/ubi0_0 > /out/ubi.volume\n";
    script += "ubidetach -m 0\nrmmod nandsim\n";
  }

  static std::unique_ptr<Shared> shared_;
};

std::unique_ptr<Shared> LinuxMtd::shared_;

TEST_F(LinuxMtd, TheProgramsPagesAndSpareAreasAreLinuxs) {
  for (const Geometry& g : kGeometries) {
    const Bytes linux_raw = read_file(out(std::string(g.name) + ".linux.raw"));
    const Bytes program_raw = read_file(file(std::string(g.name) + ".program.raw"));
    ASSERT_EQ(linux_raw.size(), size_t{g.pages} * (g.page + g.spare)) << g.name;
    EXPECT_TRUE(linux_raw == program_raw) << g.name << ": page+spare bytes differ from Linux's";
    EXPECT_TRUE(read_file(file(std::string(g.name) + ".dump.raw")) == program_raw)
        << g.name << ": -r -O differs from the board's files";
  }
}

TEST_F(LinuxMtd, LinuxReadsTheProgramsFlashAndCorrectsOneBitPerStep) {
  for (const Geometry& g : kGeometries) {
    const std::string name = g.name;
    const Bytes data = data_of(g);
    for (const std::string variant : {"program", "flipped"}) {
      EXPECT_TRUE(read_file(out(name + "." + variant + ".read")) == data) << name << " " << variant;
      // corrected_bits and ecc_failures before and after the read.
      std::istringstream before(text_of(out(name + "." + variant + ".before")));
      std::istringstream after(text_of(out(name + "." + variant + ".after")));
      long corrected_before = -1, failed_before = -1, corrected_after = -2, failed_after = -2;
      before >> corrected_before >> failed_before;
      after >> corrected_after >> failed_after;
      EXPECT_EQ(failed_after, failed_before) << name << " " << variant;
      const long flips = variant == "flipped" ? long{g.pages} * (g.page / g.step) : 0;
      EXPECT_EQ(corrected_after - corrected_before, flips) << name << " " << variant;
    }
  }
}

TEST_F(LinuxMtd, TheProgramCorrectsLinuxsFlash) {
  for (const Geometry& g : kGeometries) {
    const std::string name = g.name;
    const std::string flash = file(name + ".linux.flash");
    load_board_files(flash, g, with_flips(read_file(out(name + ".linux.raw")), g));
    const std::string dump = file(name + ".corrected");
    const Bytes data = data_of(g);
    const ProgramResult r =
        jtagnand_on(std::string(g.sim_chip) + ",flash=" + flash,
                    {"-r" + dump, "-E", g.scheme, "-l", std::to_string(data.size())});
    EXPECT_EQ(r.exit_status, 0) << name << r.out;
    EXPECT_TRUE(read_file(dump) == data) << name;
    const uint32_t flips = g.pages * (g.page / g.step);
    EXPECT_NE(r.out.find("ECC " + std::string(g.scheme) + ": " + std::to_string(flips) +
                         " bits corrected in " + std::to_string(g.pages) + " of " +
                         std::to_string(g.pages) + " pages\n"),
              std::string::npos)
        << r.out;
  }
}

TEST_F(LinuxMtd, UbiAttachesTheImageTheProgramWrote) {
  const std::string info = text_of(out("ubinfo.txt"));
  EXPECT_NE(info.find("Name:        data"), std::string::npos) << info << text_of(out("log.txt"));
  EXPECT_TRUE(read_file(out("ubi.volume")) == read_file(file("fs.img")))
      << "the UBI volume does not read back as the UBIFS image";
}

}  // namespace
}  // namespace jtagnand::testing
