// mac_platform.cc: wiring the macOS platform objects.
#include "platform/macos/mac_platform.h"

namespace ostrel::macos {

MacPlatform::MacPlatform(MacLibraries& libraries)
    : runtime_(libraries),
      application_(runtime_, libraries),
      alerts_(runtime_),
      workspace_(runtime_),
      log_(runtime_, libraries),
      login_item_(runtime_, libraries) {}

}  // namespace ostrel::macos
