// The launch alert's contents and the meaning of its buttons, byte for byte.
#include "app/launch_alert.h"

#include <gtest/gtest.h>

namespace ostrel {
namespace {

// The texts as UTF-8 bytes, typed independently of the product's constants: ’ is E2 80 99,
// — is E2 80 94, “ and ” are E2 80 9C and E2 80 9D.
constexpr char kStartedInformativeBytes[] =
    "It\xE2\x80\x99s now serving live temperatures, fan speeds and SoC power to Ostrel.\n\n"
    "It runs quietly in the background with no menu-bar or Dock icon. Open Ostrel to see the "
    "readings \xE2\x80\x94 its Sensors page shows when the helper is connected. To stop it later, "
    "restart your Mac or quit \xE2\x80\x9COstrelSensorHelper\xE2\x80\x9D in Activity Monitor.";

struct AlertCase {
  const char* name;
  bool started;
  uint16_t port;
  int style;  // 0 warning, 1 informational
  std::string message;
  std::string informative;
  std::vector<std::string> buttons;
};

TEST(LaunchAlertTest, AlertForEachOutcome) {
  const AlertCase cases[] = {
      {"started",
       true,
       53843,
       1,
       "Ostrel Sensor Helper is running",
       kStartedInformativeBytes,
       {"OK", "Open Ostrel"}},
      {"failed",
       false,
       53843,
       0,
       "Ostrel Sensor Helper couldn\xE2\x80\x99t start",
       "The sensor server didn\xE2\x80\x99t start \xE2\x80\x94 port 53843 may already be in use "
       "(the "
       "helper might already be running). Restart your Mac, or quit any existing "
       "\xE2\x80\x9COstrelSensorHelper\xE2\x80\x9D in Activity Monitor, then reopen it.",
       {"OK"}},
      // The port is printed in decimal between the two pieces, each keeping its space.
      {"failed-port-7",
       false,
       7,
       0,
       "Ostrel Sensor Helper couldn\xE2\x80\x99t start",
       "The sensor server didn\xE2\x80\x99t start \xE2\x80\x94 port 7 may already be in use (the "
       "helper might already be running). Restart your Mac, or quit any existing "
       "\xE2\x80\x9COstrelSensorHelper\xE2\x80\x9D in Activity Monitor, then reopen it.",
       {"OK"}},
  };
  for (const AlertCase& c : cases) {
    SCOPED_TRACE(c.name);
    AlertContent alert = LaunchAlert(c.started, c.port);
    EXPECT_EQ(alert.title, "Ostrel Sensor Helper");
    EXPECT_EQ(static_cast<int>(alert.style), c.style);
    EXPECT_EQ(alert.message, c.message);
    EXPECT_EQ(alert.informative, c.informative);
    EXPECT_EQ(alert.buttons, c.buttons);
  }
}

TEST(LaunchAlertTest, ActionForEachAnswer) {
  struct Case {
    bool started;
    int response;
    LaunchAction action;
  };
  const Case cases[] = {
      {true, 1000, LaunchAction::kNothing},     // "OK"
      {true, 1001, LaunchAction::kOpenOstrel},  // "Open Ostrel"
      {true, 1002, LaunchAction::kNothing},    {true, 0, LaunchAction::kNothing},
      {true, -1, LaunchAction::kNothing},      {false, 1000, LaunchAction::kNothing},
      {false, 1001, LaunchAction::kNothing},  // the failure alert's answer is not looked at
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LaunchActionFor(c.started, c.response), c.action)
        << "started=" << c.started << " response=" << c.response;
  }
}

}  // namespace
}  // namespace ostrel
