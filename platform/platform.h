// platform.h: the operating system's services for the application shell, made together in one
// place so that each system's folder can wire its own objects to each other (on Linux, the
// alerts give up when the application is asked to end).
//
// The process entry makes the one Platform first, on the main thread before any other thread
// exists, and keeps it until the process ends; everything it hands out is borrowed from it.
// Each operating system's folder defines NewPlatform. The sensor readers do not go through
// here: they make their own sources per reading (temp_source.h, smc_transport.h,
// energy_source.h).
#ifndef OSTREL_PLATFORM_PLATFORM_H_
#define OSTREL_PLATFORM_PLATFORM_H_

#include <memory>
#include <string>

#include "platform/alert.h"
#include "platform/application.h"
#include "platform/log_sink.h"
#include "platform/login_item.h"
#include "platform/workspace.h"

namespace ostrel {

// Who the helper is, for what the platform registers in its name.
struct HelperIdentity {
  std::string id;    // reverse-DNS identifier ("com.ostrel.Ostrel.SensorHelper")
  std::string name;  // the name users see ("Ostrel Sensor Helper")
};

class Platform {
 public:
  virtual ~Platform() = default;
  virtual Application& application() = 0;     // the event loop
  virtual AlertPresenter& alerts() = 0;       // the launch alert
  virtual Workspace& workspace() = 0;         // opening Ostrel or its web page
  virtual LogSink& log() = 0;                 // the system log
  virtual LoginItemService& loginItem() = 0;  // the helper's own login-item registration
};

// The machine's platform for `helper`. Call once, first, on the main thread.
std::unique_ptr<Platform> NewPlatform(const HelperIdentity& helper);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_PLATFORM_H_
