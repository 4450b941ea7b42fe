// main.cc: process entry of Ostrel Sensor Helper.
//
// The application object comes first, on the main thread before any other thread exists, so
// that the termination signals are blocked everywhere; then the delegate, which owns the sensor
// server; then the event loop, which returns only when the process is asked to end (SIGTERM or
// SIGINT), and the process exits with status 0. On Linux there is no Dock or menu bar to keep
// out of: the helper never opens a window besides its one alert.
#include "app/helper_app.h"
#include "platform/application.h"

int main() {
  ostrel::Application& application = ostrel::Application::shared();
  ostrel::HelperApp app(application);
  application.setDelegate(&app);
  application.run();
  return 0;
}
