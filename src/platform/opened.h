#pragma once

// What opening something (a port, a byte stream, a USB adapter, a cable)
// comes back with: the opened thing, or why not. Every layer that opens
// something answers in this one shape, so a refusal travels upwards as it is
// and only the driver turns it into text and an exit status.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace jtagnand {

enum class Refusal : uint8_t {
  kRefused,      // the platform or the peer refused; the message names the remedy
  kNoPort,       // access was granted but no parallel port answered; the message says where
  kBadSetting,   // the setting or address is not understood; the message says why
  kUnavailable,  // this program was built without what it needs; the message says so
};

template <typename T>
class [[nodiscard]] Opened {
 public:
  [[nodiscard]] static Opened ready(T value) { return Opened(std::move(value)); }
  [[nodiscard]] static Opened refused(Refusal kind, std::string message) {
    return Opened(kind, std::move(message));
  }

  // The same refusal for another kind of thing: how a layer passes on what
  // the layer below could not open.
  template <typename U>
  [[nodiscard]] Opened<U> refusal() && {
    return Opened<U>::refused(kind_, std::move(message_));
  }

  [[nodiscard]] bool ok() const { return value_.has_value(); }
  [[nodiscard]] T& value() { return *value_; }
  [[nodiscard]] Refusal kind() const { return kind_; }
  [[nodiscard]] const std::string& message() const { return message_; }

 private:
  explicit Opened(T value) : value_(std::move(value)) {}
  Opened(Refusal kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  std::optional<T> value_;
  Refusal kind_ = Refusal::kRefused;
  std::string message_;
};

}  // namespace jtagnand
