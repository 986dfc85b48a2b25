// A stand-in for libgpiod v1 (libgpiod.so.2) whose one GPIO chip has the
// simulated board's TAP on four or five of its lines. Built in a directory of
// its own and put in front of the system library with LD_LIBRARY_PATH, for
// test processes only, so that the program's gpio cable and OpenOCD's
// linuxgpiod driver run unchanged against the board.
//
// JTAGNAND_VIRTUAL_GPIO holds the board options of sim: plus the chip's own:
//   gpio_chip=NAME (default gpiochip0; its number is the one in the name)
//   gpio_lines=N (default 54)  gpio_tck=N gpio_tms=N gpio_tdi=N gpio_tdo=N
//   gpio_trst=N (default 11, 25, 10, 9, 7: a Raspberry Pi's usual wiring)
//   gpio_busy=N (that line is held by another consumer)
//   gpio_denied (opening the chip fails with EACCES)
// Unset, there is no chip at all. With `stats` the chip's stats line is
// printed on standard error at exit.
//
// TCK, TMS, TDI and nTRST reach the board whenever their line is set; TDO is
// the board's at every read. A line must be requested before it is used, as
// with the kernel's character device.

#include <gpiod.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/option_list.h"
#include "sim/sim_board.h"

struct gpiod_line {
  unsigned offset = 0;
  bool requested = false;
  bool output = false;
  int value = 0;
};

struct gpiod_chip {
  std::string name;
  unsigned number = 0;
  std::vector<gpiod_line> lines;
};

namespace {

constexpr const char* kOptionsVariable = "JTAGNAND_VIRTUAL_GPIO";

struct Machine {
  std::unique_ptr<jtagnand::sim::SimBoard> board;
  bool target = true;
  gpiod_chip chip;
  int tck = 11, tms = 25, tdi = 10, tdo = 9, trst = 7, busy = -1;
  bool denied = false;
  uint64_t tck_edges = 0;
  bool tck_level = false, tms_level = true, tdi_level = false, ntrst_level = true;
};

void print_stats();

bool number(std::string_view text, int& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size() && value >= 0;
}

Machine* machine() {
  static Machine* const m = []() -> Machine* {
    const char* text = std::getenv(kOptionsVariable);
    if (text == nullptr || *text == '\0') return nullptr;
    auto* created = new Machine;
    created->chip.name = "gpiochip0";
    int lines = 54;
    std::string board;
    // The options that name one of the TAP's lines, and where each goes.
    constexpr std::pair<std::string_view, int Machine::*> kLineOptions[] = {
        {"gpio_tck", &Machine::tck}, {"gpio_tms", &Machine::tms},   {"gpio_tdi", &Machine::tdi},
        {"gpio_tdo", &Machine::tdo}, {"gpio_trst", &Machine::trst}, {"gpio_busy", &Machine::busy}};
    const auto take = [&](const jtagnand::sim::OptionItem& item) {
      bool good = true;
      if (item.key == "gpio_chip") {
        created->chip.name = std::string(item.value);
      } else if (item.key == "gpio_lines") {
        good = number(item.value, lines);
      } else if (item.text == "gpio_denied") {
        created->denied = true;
      } else {
        const auto* line =
            std::find_if(std::begin(kLineOptions), std::end(kLineOptions),
                         [&](const auto& option) { return option.first == item.key; });
        good = line != std::end(kLineOptions) && number(item.value, created->*line->second);
      }
      if (!good)
        std::fprintf(stderr, "virtual GPIO: %s: bad option '%.*s'\n", kOptionsVariable,
                     static_cast<int>(item.text.size()), item.text.data());
      return good;
    };
    if (!jtagnand::sim::split_adapter_options(text, "gpio_", take, board)) {
      delete created;
      return nullptr;
    }
    const std::size_t digits = created->chip.name.find_first_of("0123456789");
    if (digits != std::string::npos) {
      int n = 0;
      if (number(std::string_view(created->chip.name).substr(digits), n))
        created->chip.number = static_cast<unsigned>(n);
    }
    created->chip.lines.resize(static_cast<std::size_t>(lines));
    for (std::size_t i = 0; i < created->chip.lines.size(); ++i)
      created->chip.lines[i].offset = static_cast<unsigned>(i);
    jtagnand::sim::SimOptions options;
    std::string error;
    if (!jtagnand::sim::parse_sim_options(board, "", options, error) ||
        !(created->board = jtagnand::sim::SimBoard::create(options, error))) {
      std::fprintf(stderr, "virtual GPIO: %s\n", error.c_str());
      delete created;
      return nullptr;
    }
    created->target = !options.target_off;
    if (options.stats) std::atexit(print_stats);
    return created;
  }();
  return m;
}

void print_stats() {
  const Machine& m = *machine();
  std::fprintf(stderr, "virtual GPIO: tck=%llu %s\n", static_cast<unsigned long long>(m.tck_edges),
               m.board->scan_stats().c_str());
}

// The board sees a line the moment it changes.
void apply(Machine& m, unsigned offset, bool level) {
  const int line = static_cast<int>(offset);
  if (line == m.tck) {
    if (level && !m.tck_level) ++m.tck_edges;
    m.tck_level = level;
  } else if (line == m.tms) {
    m.tms_level = level;
  } else if (line == m.tdi) {
    m.tdi_level = level;
  } else if (line == m.trst) {
    m.ntrst_level = level;
  } else {
    return;
  }
  if (m.target) m.board->drive(m.tck_level, m.tms_level, m.tdi_level, m.ntrst_level);
}

gpiod_chip* open_chip(bool matches) {
  Machine* m = machine();
  if (m == nullptr || !matches) {
    errno = ENOENT;
    return nullptr;
  }
  if (m->denied) {
    errno = EACCES;
    return nullptr;
  }
  return &m->chip;
}

int request(gpiod_line* line, bool output, int value) {
  Machine& m = *machine();
  if (line->requested || static_cast<int>(line->offset) == m.busy) {
    errno = EBUSY;
    return -1;
  }
  line->requested = true;
  line->output = output;
  if (output) {
    line->value = value != 0 ? 1 : 0;
    apply(m, line->offset, value != 0);
  }
  return 0;
}

}  // namespace

extern "C" {

struct gpiod_chip* gpiod_chip_open_by_name(const char* name) {
  Machine* m = machine();
  return open_chip(m != nullptr && name != nullptr && m->chip.name == name);
}

struct gpiod_chip* gpiod_chip_open_by_number(unsigned int num) {
  Machine* m = machine();
  return open_chip(m != nullptr && m->chip.number == num);
}

void gpiod_chip_close(struct gpiod_chip*) {}

const char* gpiod_chip_name(struct gpiod_chip* chip) {
  return chip->name.c_str();
}

unsigned int gpiod_chip_num_lines(struct gpiod_chip* chip) {
  return static_cast<unsigned>(chip->lines.size());
}

struct gpiod_line* gpiod_chip_get_line(struct gpiod_chip* chip, unsigned int offset) {
  if (offset >= chip->lines.size()) {
    errno = EINVAL;
    return nullptr;
  }
  return &chip->lines[offset];
}

int gpiod_line_request(struct gpiod_line* line, const struct gpiod_line_request_config* config,
                       int default_val) {
  return request(line, config->request_type == GPIOD_LINE_REQUEST_DIRECTION_OUTPUT, default_val);
}

int gpiod_line_request_output(struct gpiod_line* line, const char*, int default_val) {
  return request(line, true, default_val);
}

int gpiod_line_request_input(struct gpiod_line* line, const char*) {
  return request(line, false, 0);
}

void gpiod_line_release(struct gpiod_line* line) {
  line->requested = false;
  line->output = false;
}

int gpiod_line_set_value(struct gpiod_line* line, int value) {
  if (!line->requested || !line->output) {
    errno = EPERM;
    return -1;
  }
  line->value = value != 0 ? 1 : 0;
  apply(*machine(), line->offset, value != 0);
  return 0;
}

int gpiod_line_get_value(struct gpiod_line* line) {
  Machine& m = *machine();
  if (!line->requested) {
    errno = EPERM;
    return -1;
  }
  if (static_cast<int>(line->offset) == m.tdo)
    return !m.target || m.board->tdo() ? 1 : 0;  // no target: the pull-up
  return line->value;
}

const char* gpiod_version_string(void) {
  return "1.6.3 (virtual GPIO stand-in)";
}

}  // extern "C"
