// pthread_qos.cc: pthread_set_qos_class_self_np(QOS_CLASS_UTILITY, 0).
#include "platform/macos/pthread_qos.h"

#include "platform/macos/mac_api.h"

namespace ostrel::macos {

bool EnterUtilityClass(MacLibraries& libraries) {
  const auto set_class =
      libraries.system.Function<pthread_set_qos_class_self_npFn>("pthread_set_qos_class_self_np");
  return set_class != nullptr && set_class(kQosClassUtility, 0) == 0;
}

}  // namespace ostrel::macos
