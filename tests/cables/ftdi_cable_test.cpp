// The ftdi cable's MPSSE encoding: golden command streams for scans of awkward
// lengths with and without capture, against a recording fake of the USB
// transport; where reply bits are taken from; the set-up per chip and layout;
// the options; and the TRST pulse on the virtual chip.

#include "cables/ftdi_cable.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "jtag/tap.h"
#include "sim/ftdi/virtual_ftdi.h"

namespace jtagnand {
namespace {

using Bytes = std::vector<uint8_t>;

// Records every byte sent; answers reads from a script (0x00 past its end).
class RecordingUsb final : public UsbTransport {
 public:
  bool write(std::span<const uint8_t> bytes) override {
    ++calls;
    if (gone) return false;
    sent.insert(sent.end(), bytes.begin(), bytes.end());
    return true;
  }
  bool read(std::span<uint8_t> reply, int) override {
    for (uint8_t& b : reply) b = next();
    return true;
  }
  bool exchange(std::span<const uint8_t> bytes, std::span<uint8_t> reply) override {
    ++calls;
    if (gone) return false;
    sent.insert(sent.end(), bytes.begin(), bytes.end());
    reply_sizes.push_back(reply.size());
    for (uint8_t& b : reply) b = next();
    return true;
  }
  const std::string& error() const override { return error_; }

  bool gone = false;  // unplugged: every call fails
  int calls = 0;
  Bytes sent;
  std::vector<size_t> reply_sizes;
  std::deque<uint8_t> script;

 private:
  uint8_t next() {
    if (script.empty()) return 0;
    const uint8_t b = script.front();
    script.pop_front();
    return b;
  }
  std::string error_ = "unplugged";
};

struct Fixture {
  explicit Fixture(FtdiChip chip = FtdiChip::kFt2232h, const FtdiSettings& settings = {}) {
    auto owned = std::make_unique<RecordingUsb>();
    usb = owned.get();
    usb->script = {0xFA, 0xAA};  // the engine's answer to the sync probe
    cable = std::make_unique<FtdiCable>(std::move(owned), chip, settings, "test");
    std::string error;
    started = cable->start(error);
    start_bytes = usb->sent;
    usb->sent.clear();
  }
  RecordingUsb* usb;
  std::unique_ptr<FtdiCable> cable;
  bool started = false;
  Bytes start_bytes;
};

// Bits `from`..`from + count - 1` of a bit string, LSB first, as data bytes.
Bytes packed(const std::string& bits, size_t from, size_t count) {
  Bytes out((count + 7) / 8, 0);
  for (size_t i = 0; i < count; ++i)
    if (bits[from + i] == '1') out[i / 8] = static_cast<uint8_t>(out[i / 8] | 1U << (i % 8));
  return out;
}

std::string pattern(size_t length, unsigned seed) {
  std::string bits(length, '0');
  for (size_t i = 0; i < length; ++i) bits[i] = ((i * 7 + seed) % 5) < 2 ? '1' : '0';
  return bits;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(FtdiCableStart, SetsClockAndPinsThenProbesTheEngine) {
  const Fixture h;
  EXPECT_TRUE(h.started);
  // Loopback off, divide-by-5 off, adaptive and three-phase clocking off,
  // divisor 0 (30 MHz), ADBUS TMS high and TCK/TDI/TMS outputs, ACBUS
  // untouched, the bad-command probe, send immediate.
  EXPECT_EQ(h.start_bytes, (Bytes{0x85, 0x8A, 0x97, 0x8D, 0x86, 0x00, 0x00, 0x80, 0x08, 0x0B, 0x82,
                                  0x00, 0x00, 0xAA, 0x87}));

  FtdiSettings slow;
  slow.tck_hz = 8'000'000;
  slow.layout = kGpioLayouts[1];  // buffered
  const Fixture d(FtdiChip::kFt2232c, slow);
  // The FT2232D knows none of the H-series clock commands; 12 MHz / 2 / 1.
  EXPECT_EQ(d.start_bytes,
            (Bytes{0x85, 0x86, 0x00, 0x00, 0x80, 0x08, 0x0B, 0x82, 0x0B, 0x0F, 0xAA, 0x87}));
  const Fixture h8(FtdiChip::kFt2232h, slow);
  EXPECT_EQ(Bytes(h8.start_bytes.begin() + 4, h8.start_bytes.begin() + 7),
            (Bytes{0x86, 0x03, 0x00}));  // 60 MHz / 2 / 4 = 7.5 MHz
}

TEST(FtdiCableStart, AWrongAnswerToTheProbeIsRefused) {
  auto owned = std::make_unique<RecordingUsb>();
  owned->script = {0xFA, 0x87};
  FtdiCable cable(std::move(owned), FtdiChip::kFt2232h, {}, "test");
  std::string error;
  EXPECT_FALSE(cable.start(error));
  EXPECT_NE(error.find("0xFA 0x87"), std::string::npos) << error;
}

// Run-Test/Idle -> Shift-DR is TMS 0 1 0 0 (one TMS command, TDI low); all but
// the last bit go as byte and bit shifts; the last one, with TMS high, joins
// the Exit1 -> Update clock in a TMS command holding its TDI; Update -> Idle
// has TDI low, so it starts a new TMS command unless the last bit was 0.
struct GoldenScan {
  uint32_t length;
  std::string bits;
  Bytes without_capture;
  Bytes with_capture;
  size_t replies;
};

std::vector<GoldenScan> golden_scans() {
  const std::string b298 = pattern(298, 0);  // ends in '0'
  const std::string b412 = pattern(412, 3);  // ends in '1'
  return {
      {1,
       "1",
       {0x4B, 0x03, 0x02, 0x4B, 0x01, 0x83, 0x4B, 0x00, 0x00},
       {0x4B, 0x03, 0x02, 0x6B, 0x01, 0x83, 0x6B, 0x00, 0x00, 0x87},
       2},
      // A single 0 shares the TDI level of the whole path: 7 clocks in one command.
      {1, "0", {0x4B, 0x06, 0x32}, {0x6B, 0x06, 0x32, 0x87}, 1},
      {7,
       "1011001",
       {0x4B, 0x03, 0x02, 0x1B, 0x05, 0x0D, 0x4B, 0x01, 0x83, 0x4B, 0x00, 0x00},
       {0x4B, 0x03, 0x02, 0x3B, 0x05, 0x0D, 0x6B, 0x01, 0x83, 0x6B, 0x00, 0x00, 0x87},
       3},
      {8,
       "10110010",
       {0x4B, 0x03, 0x02, 0x1B, 0x06, 0x4D, 0x4B, 0x02, 0x03},
       {0x4B, 0x03, 0x02, 0x3B, 0x06, 0x4D, 0x6B, 0x02, 0x03, 0x87},
       2},
      {9,
       "101100101",
       {0x4B, 0x03, 0x02, 0x19, 0x00, 0x00, 0x4D, 0x4B, 0x01, 0x83, 0x4B, 0x00, 0x00},
       {0x4B, 0x03, 0x02, 0x39, 0x00, 0x00, 0x4D, 0x6B, 0x01, 0x83, 0x6B, 0x00, 0x00, 0x87},
       3},
      // 297 data bits: 37 bytes and 1 bit.
      {298, b298,
       cat({{0x4B, 0x03, 0x02, 0x19, 0x24, 0x00},
            packed(b298, 0, 296),
            {0x1B, 0x00},
            packed(b298, 296, 1),
            {0x4B, 0x02, 0x03}}),
       cat({{0x4B, 0x03, 0x02, 0x39, 0x24, 0x00},
            packed(b298, 0, 296),
            {0x3B, 0x00},
            packed(b298, 296, 1),
            {0x6B, 0x02, 0x03, 0x87}}),
       39},
      // 411 data bits: 51 bytes and 3 bits.
      {412, b412,
       cat({{0x4B, 0x03, 0x02, 0x19, 0x32, 0x00},
            packed(b412, 0, 408),
            {0x1B, 0x02},
            packed(b412, 408, 3),
            {0x4B, 0x01, 0x83, 0x4B, 0x00, 0x00}}),
       cat({{0x4B, 0x03, 0x02, 0x39, 0x32, 0x00},
            packed(b412, 0, 408),
            {0x3B, 0x02},
            packed(b412, 408, 3),
            {0x6B, 0x01, 0x83, 0x6B, 0x00, 0x00, 0x87}}),
       54},
  };
}

TEST(FtdiCableEncoding, ScansOfAwkwardLengthsWithAndWithoutCapture) {
  for (const GoldenScan& g : golden_scans()) {
    ASSERT_EQ(g.bits.size(), g.length);
    {
      const Fixture f;
      // The TAP path to Shift-DR starts from Run-Test/Idle with TMS low.
      f.cable->clock(false, false);
      f.usb->sent.clear();
      f.cable->flush();
      f.usb->sent.clear();
      scan_dr(*f.cable, Chain{}, g.bits.data(), g.length);
      f.cable->flush();
      EXPECT_EQ(f.usb->sent, g.without_capture) << g.length << " bits " << g.bits.back();
      EXPECT_TRUE(f.usb->reply_sizes.empty()) << g.length;
    }
    {
      const Fixture f;
      f.cable->clock(false, false);
      f.cable->flush();
      f.usb->sent.clear();
      std::string capture(g.length, '?');
      scan_dr_capture(*f.cable, Chain{}, g.bits.data(), capture.data(), g.length);
      f.cable->flush();
      EXPECT_EQ(f.usb->sent, g.with_capture) << g.length << " bits, captured";
      EXPECT_EQ(f.usb->reply_sizes, std::vector<size_t>{g.replies}) << g.length;
      EXPECT_EQ(capture.find('?'), std::string::npos) << g.length;
    }
  }
}

// Reset, an instruction scan and an IDCODE capture: the TAP paths between
// scans share TMS commands, one exchange for the whole check.
TEST(FtdiCableEncoding, TapPathsBetweenScansShareTmsCommands) {
  const Fixture f;
  tap_reset(*f.cable);
  scan_ir(*f.cable, Chain{}, 4, "0000");
  std::string id = "00001111000011110000111100001111";
  scan_dr_capture(*f.cable, Chain{}, id.data(), id.data(), 32);
  f.cable->flush();
  EXPECT_EQ(f.usb->sent, (Bytes{0x4B, 0x06, 0x5F,  // reset, Idle, Select-DR
                                0x4B, 0x02, 0x01,  // Select-IR, Capture, Shift
                                0x1B, 0x02, 0x00,  // IR bits 0-2
                                0x4B, 0x06, 0x13,  // bit 3 + Update, Idle, to Shift-DR
                                0x39, 0x02, 0x00, 0xF0, 0xF0, 0xF0,  // DR bits 0-23
                                0x3B, 0x06, 0x70,                    // bits 24-30
                                0x6B, 0x01, 0x83,                    // bit 31 + Exit1 -> Update
                                0x6B, 0x00, 0x00,                    // Update -> Idle, its TDO kept
                                0x87}));
  EXPECT_EQ(f.cable->traffic().round_trips, 2u);  // the start's probe and this
  EXPECT_EQ(f.cable->traffic().tck_cycles, 5u + 11 + 38);
}

// Byte replies are LSB first; a read of n bits and a TMS read of n clocks put
// theirs at the top of the byte. The other bits of those bytes are noise here.
TEST(FtdiCableReplies, BitsAreTakenFromWhereTheChipPutsThem) {
  const uint32_t value = 0x40D3165B;
  const Fixture f;
  f.cable->clock(false, false);
  f.cable->flush();
  f.usb->script = {0x5B, 0x16, 0xD3,
                   0x81,   // bits 24-30 = 1000000 in bits 1-7; bit 0 noise
                   0xBF,   // bit 31 = 0 in bit 6 (clock 0 of 2); the rest noise
                   0xFF};  // the Update -> Idle clock, kept for a later sample
  std::string capture(32, '?');
  const std::string ones(32, '1');
  scan_dr_capture(*f.cable, Chain{}, ones.data(), capture.data(), 32);
  f.cable->flush();
  std::string expected;
  for (int i = 0; i < 32; ++i) expected += ((value >> i) & 1U) != 0 ? '1' : '0';
  EXPECT_EQ(capture, expected);
  // The last clock's TDO came with that exchange: no new command for it.
  f.usb->sent.clear();
  EXPECT_TRUE(f.cable->read_tdo());
  EXPECT_TRUE(f.usb->sent.empty());
}

TEST(FtdiCableReplies, ASampleBeforeAnyClockReadsTheTdoPin) {
  const Fixture f;
  f.usb->script = {0xFB};  // ADBUS2 low
  EXPECT_FALSE(f.cable->read_tdo());
  EXPECT_EQ(f.usb->sent, (Bytes{0x81, 0x87}));
}

TEST(FtdiSettings, OptionsAreReadOrRefused) {
  FtdiSettings s;
  std::string error;
  ASSERT_TRUE(
      parse_ftdi_settings("id=0x0403:6014,channel=b,serial=FT 1,tck=7.5M,layout=olimex", s, error))
      << error;
  EXPECT_EQ(s.usb.vendor, 0x0403);
  EXPECT_EQ(s.usb.product, 0x6014);
  EXPECT_EQ(s.usb.channel, 'B');
  EXPECT_EQ(s.usb.serial, "FT 1");
  EXPECT_EQ(s.tck_hz, 7'500'000u);
  EXPECT_EQ(s.layout.name, "olimex");
  ASSERT_TRUE(parse_ftdi_settings("gpio=0x0f1f/0x0f17,tck=500k", s, error)) << error;
  EXPECT_EQ(s.layout.value, 0x0F10);      // the JTAG pins are the cable's
  EXPECT_EQ(s.layout.direction, 0x0F10);  // and a level counts only on an output
  EXPECT_EQ(s.layout.ntrst, 0);
  EXPECT_EQ(s.tck_hz, 500'000u);

  for (const char* bad :
       {"channel=C", "id=0403", "id=10000:1", "tck=0", "tck=fast", "layout=jtagkey", "gpio=1",
        "gpio=0x10000/0", "speed=1", "serial", "layout=olimex,gpio=0/0"}) {
    FtdiSettings t;
    EXPECT_FALSE(parse_ftdi_settings(bad, t, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(FtdiSettings, TckIsRoundedDownToWhatTheDivisorMakes) {
  const struct {
    FtdiChip chip;
    uint32_t asked;
    uint16_t divisor;
    bool divide_by_5;
    double hz;
  } cases[] = {
      {FtdiChip::kFt2232h, 0, 0, false, 30e6},
      {FtdiChip::kFt2232h, 50'000'000, 0, false, 30e6},
      {FtdiChip::kFt2232h, 8'000'000, 3, false, 7.5e6},
      {FtdiChip::kFt2232h, 7'500'000, 3, false, 7.5e6},
      {FtdiChip::kFt232h, 1'000, 29999, false, 1e3},
      {FtdiChip::kFt2232h, 100, 59999, true, 100},
      {FtdiChip::kFt2232c, 0, 0, false, 6e6},
      {FtdiChip::kFt2232c, 5'000'000, 1, false, 3e6},
  };
  for (const auto& c : cases) {
    TckSetting t;
    ASSERT_TRUE(choose_tck(c.chip, c.asked, t)) << c.asked;
    EXPECT_EQ(t.divisor, c.divisor) << c.asked;
    EXPECT_EQ(t.divide_by_5, c.divide_by_5) << c.asked;
    EXPECT_DOUBLE_EQ(t.hz, c.hz) << c.asked;
  }
  TckSetting t;
  EXPECT_FALSE(choose_tck(FtdiChip::kFt2232c, 50, t));  // below 12 MHz / 131072
}

// On the virtual chip: a TRST pulse resets the TAP only where the layout has
// an nTRST line (wired to ACBUS0 on the virtual board).
TEST(FtdiCableOnVirtualChip, TrstPulseResetsTheTapWhereTheLayoutHasTheLine) {
  for (const GpioLayout& layout : kGpioLayouts) {
    sim::VirtualFtdiOptions options;
    std::string error;
    std::unique_ptr<sim::VirtualFtdi> chip = sim::VirtualFtdi::create(options, error);
    ASSERT_TRUE(chip) << error;
    FtdiSettings settings;
    settings.layout = layout;
    FtdiCable cable(std::make_unique<sim::VirtualFtdiTransport>(*chip, 0), FtdiChip::kFt2232h,
                    settings, "virtual");
    ASSERT_TRUE(cable.start(error)) << error;
    tap_reset(cable);
    cable.clock_tms(0b0010, 4, false);  // to Shift-DR
    cable.flush();
    ASSERT_EQ(chip->board().tap_state(), sim::TapState::kShiftDr);
    cable.trst_pulse();
    cable.flush();
    EXPECT_EQ(chip->board().tap_state(),
              layout.ntrst != 0 ? sim::TapState::kTestLogicReset : sim::TapState::kShiftDr)
        << layout.name;
    EXPECT_EQ(chip->engine(0).counts().bad_commands, 1u) << layout.name;  // the probe only
  }
}

// An adapter unplugged in the middle of a run: the flush that needs it throws
// LinkLost naming the adapter, and the cable sends nothing more, not even when
// it is closed.
TEST(FtdiCableLink, AnAdapterGoneIsALostLinkAndNothingMoreIsSent) {
  Fixture f;
  ASSERT_TRUE(f.started);
  char capture[8] = {};
  scan_dr_capture(*f.cable, Chain{}, "10110", capture, 5);
  f.usb->gone = true;
  try {
    f.cable->flush();
    ADD_FAILURE() << "no LinkLost";
  } catch (const LinkLost& lost) {
    EXPECT_STREQ(lost.what(), "FTDI adapter 0403:6010 channel A: unplugged");
  }
  const int calls = f.usb->calls;
  f.cable->close();  // what the destructor does
  EXPECT_EQ(f.usb->calls, calls);
}

}  // namespace
}  // namespace jtagnand
