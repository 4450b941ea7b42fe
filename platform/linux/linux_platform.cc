// linux_platform.cc: where the Linux platform objects are made and wired: the application
// shell's services (NewPlatform) and the sensor sources the readers make per reading, all over
// the real sysfs at "/sys" (and, for the processor's vendor, procfs at "/proc").
#include <unistd.h>

#include <memory>

#include "platform/energy_source.h"
#include "platform/linux/autostart.h"
#include "platform/linux/desktop_alert.h"
#include "platform/linux/environment.h"
#include "platform/linux/hwmon_smc_transport.h"
#include "platform/linux/hwmon_temp_source.h"
#include "platform/linux/process.h"
#include "platform/linux/rapl_energy_source.h"
#include "platform/linux/signal_application.h"
#include "platform/linux/syslog_sink.h"
#include "platform/linux/xdg_workspace.h"
#include "platform/platform.h"
#include "platform/smc_transport.h"
#include "platform/temp_source.h"

namespace ostrel {
namespace {

constexpr char kSysRoot[] = "/sys";
constexpr char kProcRoot[] = "/proc";

// The objects in the order they depend on each other; each borrows only from those above it.
class LinuxPlatform final : public Platform {
 public:
  explicit LinuxPlatform(const HelperIdentity& helper)
      : alerts_(runner_, Environment::Current, application_.terminationFd(), STDERR_FILENO),
        workspace_(runner_, Environment::Current),
        login_item_(helper.id, helper.name, CurrentAutostartPaths()) {}

  Application& application() override { return application_; }
  AlertPresenter& alerts() override { return alerts_; }
  Workspace& workspace() override { return workspace_; }
  LogSink& log() override { return log_; }
  LoginItemService& loginItem() override { return login_item_; }

 private:
  SignalApplication application_;   // first: blocks the termination signals in every thread
  PosixProcessRunner runner_;       // runs the dialog tools and the launchers
  DesktopAlertPresenter alerts_;    // zenity / kdialog / standard error
  XdgWorkspace workspace_;          // desktop entries, gio / gtk-launch / xdg-open
  SyslogSink log_;                  // syslog and standard error
  XdgAutostartService login_item_;  // the autostart entry, its paths read once here
};

}  // namespace

std::unique_ptr<Platform> NewPlatform(const HelperIdentity& helper) {
  return std::make_unique<LinuxPlatform>(helper);
}

std::unique_ptr<TempSource> NewMachineTempSource() {
  return std::make_unique<HwmonTempSource>(kSysRoot);
}

std::unique_ptr<SmcTransport> NewMachineSmcTransport() {
  return std::make_unique<HwmonSmcTransport>(kSysRoot);
}

std::unique_ptr<EnergySource> NewMachineEnergySource() {
  return std::make_unique<RaplEnergySource>(kSysRoot, kProcRoot);
}

}  // namespace ostrel
