// posix_error.h: the one place where an errno value becomes readable error text.
// Pure functions; safe on any thread.
#ifndef OSTREL_PLATFORM_POSIX_ERROR_H_
#define OSTREL_PLATFORM_POSIX_ERROR_H_

#include <string>
#include <string_view>

namespace ostrel {

// "<context>: <system description>", e.g. "/home/u/.config/autostart: Permission denied".
// An empty context gives the description alone.
std::string PosixErrorText(std::string_view context, int err);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_POSIX_ERROR_H_
