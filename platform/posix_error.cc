// posix_error.cc: errno to text, thread-safe (strerror_r, never strerror).
#include "platform/posix_error.h"

#include <string.h>

namespace ostrel {

std::string PosixErrorText(std::string_view context, int err) {
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  std::string out;
  if (!context.empty()) {
    out.append(context);
    out.append(": ");
  }
  out.append(text);
  return out;
}

}  // namespace ostrel
