// The key logic every platform shares: one key of look-ahead, filled by the
// platform's own fetch().

#include "platform/terminal_console.h"

namespace jtagnand {

bool TerminalConsole::key_waiting() {
  fetch(false);
  return pending_ >= 0;
}

int TerminalConsole::read_key() {
  fetch(true);
  const int key = pending_;
  pending_ = -1;
  return key;
}

bool TerminalConsole::input_ended() {
  fetch(false);
  return pending_ < 0 && ended_;
}

}  // namespace jtagnand
