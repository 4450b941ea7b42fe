// status.h: the one error convention of the C++ code: an operation that can fail returns a
// Status, which is either ok or carries a one-line description of what went wrong ("<what>:
// <the system's reason>"). errno values become text in one place, Status::FromErrno.
//
// A Status is a plain value: each copy belongs to its holder; safe on any thread. The readers'
// C entry points keep their own integer results; nothing else in the code returns error codes
// or error-text out-parameters.
#ifndef OSTREL_PLATFORM_STATUS_H_
#define OSTREL_PLATFORM_STATUS_H_

#include <string>
#include <string_view>
#include <utility>

namespace ostrel {

class Status {
 public:
  // Success.
  Status() = default;
  static Status Ok() { return Status(); }

  // A failure described by `message` (never empty: an empty text becomes "failed").
  static Status Error(std::string message);

  // A failure of `context` for the system error `err`: "<context>: <description>", e.g.
  // "/home/u/.config/autostart: Permission denied"; the description alone when `context` is
  // empty.
  static Status FromErrno(std::string_view context, int err);

  bool ok() const { return message_.empty(); }
  // The description of a failure; empty for success.
  const std::string& message() const { return message_; }

 private:
  explicit Status(std::string message) : message_(std::move(message)) {}

  std::string message_;  // empty exactly when the operation succeeded
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_STATUS_H_
