// main.cc: process entry of Ostrel Sensor Helper, and the one place where the product's objects
// are made and wired; they live in this frame until the process ends.
//
// The platform comes first, on the main thread before any other thread exists (on Linux it
// blocks the termination signals everywhere); then the delegate, which owns the sensor server;
// then the event loop, which returns only when the process is asked to end (SIGTERM or SIGINT),
// and the process exits with status 0. The helper never opens a window besides its one alert.
#include <memory>

#include "app/helper_app.h"
#include "app/helper_login_item.h"
#include "app/launch_alert.h"
#include "platform/platform.h"

int main() {
  std::unique_ptr<ostrel::Platform> platform =
      ostrel::NewPlatform({ostrel::HelperLoginItem::kHelperID, ostrel::kHelperDisplayName});
  ostrel::HelperApp app(*platform);
  platform->application().setDelegate(&app);
  platform->application().run();
  return 0;
}
