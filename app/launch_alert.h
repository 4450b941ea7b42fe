// launch_alert.h: what the helper shows when it has started, and what the user's answer means.
//
// Two pure decisions, kept apart from any window system so they can be checked exactly: the
// start outcome decides the alert (style, texts, buttons), and the pressed button decides the
// action. Safe on any thread; the product uses them on the main thread.
#ifndef OSTREL_APP_LAUNCH_ALERT_H_
#define OSTREL_APP_LAUNCH_ALERT_H_

#include <stdint.h>

#include "platform/alert.h"

namespace ostrel {

// The name the user sees; the alert's window title.
inline constexpr char kHelperDisplayName[] = "Ostrel Sensor Helper";

inline constexpr char kStartedMessage[] = "Ostrel Sensor Helper is running";
inline constexpr char kStartedInformative[] =
    "It\u2019s now serving live temperatures, fan speeds and SoC power to Ostrel.\n\n"
    "It runs quietly in the background with no menu-bar or Dock icon. Open Ostrel to see the "
    "readings \u2014 its Sensors page shows when the helper is connected. To stop it later, "
    "restart your Mac or quit \u201cOstrelSensorHelper\u201d in Activity Monitor.";
inline constexpr char kFailedMessage[] = "Ostrel Sensor Helper couldn\u2019t start";
// The failure text is these two pieces with the port number, in decimal, between them.
inline constexpr char kFailedInformativeHead[] = "The sensor server didn\u2019t start \u2014 port ";
inline constexpr char kFailedInformativeTail[] =
    " may already be in use (the helper might already be running). Restart your Mac, or quit "
    "any existing \u201cOstrelSensorHelper\u201d in Activity Monitor, then reopen it.";
inline constexpr char kOkButton[] = "OK";
inline constexpr char kOpenOstrelButton[] = "Open Ostrel";

// The answer of the second button ("Open Ostrel").
inline constexpr int kSecondButtonReturn = kAlertFirstButtonReturn + 1;

// The alert for a start that succeeded (informational; "OK", "Open Ostrel") or failed (warning,
// naming `port`; "OK").
AlertContent LaunchAlert(bool started, uint16_t port);

// What to do once the alert for `started` was closed with `response`.
enum class LaunchAction {
  kNothing,     // the helper just goes on running
  kOpenOstrel,  // open the main application, or its web page
};
LaunchAction LaunchActionFor(bool started, int response);

}  // namespace ostrel

#endif  // OSTREL_APP_LAUNCH_ALERT_H_
