#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/port_io.h"

namespace jtagnand {

// The outcome of opening a port backend.
struct PortOpening {
  enum class Outcome {
    kReady,       // `port` is open and this process may drive it
    kRefused,     // the platform refused access; `message` names the remedy
    kBadSetting,  // JTAGNAND_PORT is not understood; `message` says why
  };
  Outcome outcome = Outcome::kBadSetting;
  std::unique_ptr<PortIo> port;
  std::string message;

  [[nodiscard]] static PortOpening ready(std::unique_ptr<PortIo> port) {
    return {Outcome::kReady, std::move(port), {}};
  }
  [[nodiscard]] static PortOpening refused(std::string remedy) {
    return {Outcome::kRefused, nullptr, std::move(remedy)};
  }
  [[nodiscard]] static PortOpening bad_setting(std::string why) {
    return {Outcome::kBadSetting, nullptr, std::move(why)};
  }
};

}  // namespace jtagnand
