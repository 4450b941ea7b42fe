// status.cc: errno to text through the standard library's generic error category, which is
// thread-safe and the same on every system (no strerror, whose buffer is shared, and no
// strerror_r, whose signature differs between C libraries).
#include "platform/status.h"

#include <errno.h>

#include <system_error>

namespace ostrel {

Status Status::Error(std::string message) {
  return Status(message.empty() ? std::string("failed") : std::move(message), false);
}

Status Status::NotFound(std::string message) {
  return Status(message.empty() ? std::string("failed") : std::move(message), true);
}

Status PosixError(std::string_view context, int err) {
  std::string out;
  if (!context.empty()) {
    out.append(context);
    out.append(": ");
  }
  out.append(std::generic_category().message(err));
  return err == ENOENT || err == ENOTDIR ? Status::NotFound(std::move(out))
                                         : Status::Error(std::move(out));
}

}  // namespace ostrel
