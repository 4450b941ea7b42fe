// thread_class.cc: Linux's scheduling for the helper's threads: the default policy. The
// threads spend nearly all their time waiting, and a lower nice value or an idle policy would
// only delay answers when the machine is busy, which is when Ostrel shows the readings.
#include "platform/thread_class.h"

namespace ostrel {

void EnterServiceThreadClass() {}

}  // namespace ostrel
