// launch_alert.cc: the launch alert's contents and the meaning of its buttons.
#include "app/launch_alert.h"

#include <string>

namespace ostrel {

AlertContent LaunchAlert(bool started, uint16_t port) {
  AlertContent alert;
  alert.title = kHelperDisplayName;
  if (started) {
    alert.style = AlertStyle::kInformational;
    alert.message = kStartedMessage;
    alert.informative = kStartedInformative;
    alert.buttons = {kOkButton, kOpenOstrelButton};
  } else {
    alert.style = AlertStyle::kWarning;
    alert.message = kFailedMessage;
    alert.informative =
        std::string(kFailedInformativeHead) + std::to_string(port) + kFailedInformativeTail;
    alert.buttons = {kOkButton};
  }
  return alert;
}

LaunchAction LaunchActionFor(bool started, int response) {
  // The failure alert has one button: its answer is not looked at.
  if (started && response == kSecondButtonReturn) return LaunchAction::kOpenOstrel;
  return LaunchAction::kNothing;
}

}  // namespace ostrel
