#include "platform/backends.h"

namespace jtagnand {

PortOpening open_rbb_port(std::string_view) {
  PortOpening opening;
  opening.outcome = PortOpening::Outcome::kBadSetting;
  opening.message = "the remote_bitbang backend is not part of this build yet";
  return opening;
}

}  // namespace jtagnand
