// zone_relief_heap_release.cc: malloc_zone_pressure_relief over every zone.
#include "platform/macos/zone_relief_heap_release.h"

#include "platform/macos/mac_api.h"

namespace ostrel::macos {

void ReleaseFreeMemory(MacLibraries& libraries) {
  const auto relieve =
      libraries.system.Function<malloc_zone_pressure_reliefFn>("malloc_zone_pressure_relief");
  if (relieve != nullptr) relieve(nullptr, 0);  // every zone, as much as it can
}

}  // namespace ostrel::macos
