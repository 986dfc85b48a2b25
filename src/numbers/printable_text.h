#pragma once

// Showing text that came from outside (a server's answer, a client's bytes)
// in a message without letting it move the cursor or ring the bell.

#include <string>
#include <string_view>

namespace jtagnand {

// 'text' between single quotes, anything unprintable as \xNN.
[[nodiscard]] std::string printable_quoted(std::string_view text);

}  // namespace jtagnand
