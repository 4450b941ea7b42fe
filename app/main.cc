// main.cc: process entry of Ostrel Sensor Helper, and the one place where the product's objects
// are made and wired; they live in this frame until the process ends.
//
// The open-file limit is raised first, then the platform is made, on the main thread before any
// other thread exists (on Linux it puts missing standard descriptors on /dev/null, blocks the
// termination signals everywhere and bounds the allocator); then the delegate, which owns the
// sensor server; then the event loop.
//
// What ends the process differs by system. On Linux the loop returns when SIGTERM or SIGINT
// arrives, and the process then exits with status 0 at once (std::_Exit), without destroying
// anything: destroying the server would wait for its reading thread, and a sensor read that
// never returns would keep the process alive. On macOS NSApplication's loop does not return:
// the process ends inside AppKit, whose terminate: exits with status 0 when the system asks the
// application to quit (log out, restart, shut down, or a quit Apple event such as `osascript -e
// 'quit app "OstrelSensorHelper"'`), or by the default action of SIGTERM or SIGINT (`kill`),
// which the helper does not catch there; neither waits for the helper's threads. Nothing needs
// an orderly end: the dialog tool has been reaped by then, and the kernel closes every socket.
// The helper never opens a window besides its one alert.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/helper_app.h"
#include "app/launch_alert.h"
#include "platform/login_item.h"
#include "platform/platform.h"
#include "server/descriptor_budget.h"

int main() {
  ostrel::DescriptorBudget::RaiseLimit();
  std::unique_ptr<ostrel::Platform> platform =
      ostrel::NewPlatform({ostrel::HelperLoginItem::kHelperID, ostrel::kHelperDisplayName});
  ostrel::HelperApp app(*platform);
  platform->application().setDelegate(&app);
  platform->application().run();
  // Reached on Linux (on macOS only if the loop could not start). Ends at once with status 0 and
  // runs no destructors or exit handlers, so a stuck reading thread is never joined.
  // std::quick_exit would do the same but macOS 14's C library lacks it; std::_Exit is in both, and
  // since it flushes no stdio buffers, they are flushed first.
  std::fflush(nullptr);
  std::_Exit(0);
}
