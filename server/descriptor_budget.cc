// descriptor_budget.cc: the limit from RLIMIT_NOFILE, the count and the probe from the
// platform.
#include "server/descriptor_budget.h"

#include <sys/resource.h>

#include "platform/open_files.h"

namespace ostrel {
namespace {

// Counting costs time in proportion to the open descriptors, so it is done near the reserve
// only, and at least this often to see what others opened or closed (readers, login-item
// writes, the dialog tool's pipes).
constexpr auto kRecountInterval = std::chrono::seconds(1);

}  // namespace

uint64_t DescriptorBudget::RaiseLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  // macOS refuses anything above OPEN_MAX, whatever its hard limit says (often unlimited).
  for (const rlim_t wanted : {limit.rlim_max, static_cast<rlim_t>(kMaxOpenFiles)}) {
    if (wanted <= limit.rlim_cur || wanted > limit.rlim_max) continue;
    rlimit raised = limit;
    raised.rlim_cur = wanted;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) return wanted;
  }
  return limit.rlim_cur;
}

bool DescriptorBudget::RoomToAccept() {
  const auto now = std::chrono::steady_clock::now();
  if (free_ <= kReserve || now - counted_at_ >= kRecountInterval) {
    free_ = FreeDescriptorCount();
    counted_at_ = now;
  }
  return free_ > kReserve;
}

bool DescriptorBudget::RoomToRead() const {
  return free_ > kReserve || CanOpenDescriptors(kPerReading);
}

}  // namespace ostrel
