#pragma once

#include "platform/console.h"

namespace jtagnand {

// The process's own console: standard output for text, standard input for keys.
// On a terminal, keys are read raw and unechoed from the first key poll on, and
// the terminal's settings are restored on every way out (normal exit, std::exit,
// SIGINT, SIGTERM, SIGHUP). A job in the background leaves the terminal's modes
// alone and takes no keys until it is in the foreground. From a file or a pipe,
// its bytes are the keys. Output that cannot be written (a closed pipe) is
// reported once on standard error and dropped; it never ends the run.
class TerminalConsole final : public Console {
 public:
  TerminalConsole();
  ~TerminalConsole() override;
  TerminalConsole(const TerminalConsole&) = delete;
  TerminalConsole& operator=(const TerminalConsole&) = delete;

  void write(std::string_view text) override;
  [[nodiscard]] bool key_waiting() override;
  [[nodiscard]] int read_key() override;
  [[nodiscard]] bool input_ended() override;

 private:
  void prepare_input();
  // Takes one byte if one can be had without waiting (or waits when `block`).
  void fetch(bool block);

  bool input_is_terminal_ = false;
  bool prepared_ = false;
  bool ended_ = false;
  bool output_lost_ = false;
  int pending_ = -1;
};

}  // namespace jtagnand
