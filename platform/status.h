// status.h: the one error convention of the C++ code. An operation that can fail returns a
// Status (ok, or a one-line "<what>: <the system's reason>"); one that also yields a value on
// success returns a StatusOr<T>. errno becomes a Status in one place, PosixError. A value that
// may simply be absent, where nobody wants a reason (a parse, a sensor file that is not there),
// is a std::optional<T>. Nothing answers with an errno, -1 and errno, or a bool beside an
// out-parameter; only the readers' C entry points and the SMC transport's result codes keep the
// integer results their callers are promised, and SensorServer::start throws the system's error.
//
// Both are plain values: each copy belongs to its holder; safe on any thread.
#ifndef OSTREL_PLATFORM_STATUS_H_
#define OSTREL_PLATFORM_STATUS_H_

#include <optional>
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
  // A failure that means there is no such thing (nothing at a path); message as for Error.
  static Status NotFound(std::string message);

  bool ok() const { return message_.empty(); }
  bool IsNotFound() const { return not_found_; }
  // The description of a failure; empty for success.
  const std::string& message() const { return message_; }

 private:
  Status(std::string message, bool not_found)
      : message_(std::move(message)), not_found_(not_found) {}

  std::string message_;     // empty exactly when the operation succeeded
  bool not_found_ = false;  // a NotFound failure
};

// The failure of `context` for the system error `err` (an errno value): "<context>: <reason>",
// e.g. "/home/u/.config/autostart: Permission denied"; the reason alone when `context` is
// empty. NotFound for ENOENT and ENOTDIR (a folder on the way is missing or is a file).
Status PosixError(std::string_view context, int err);

// A T on success, else the failing Status. value() and the dereference operators may be used
// only when ok().
template <typename T>
class StatusOr {
 public:
  StatusOr(T value) : value_(std::move(value)) {}  // NOLINT: implicit, like a return value
  // `status` must be a failure; an ok Status here is a caller's bug and counts as "no value".
  StatusOr(Status status)  // NOLINT: implicit, like a return value
      : status_(status.ok() ? Status::Error("no value") : std::move(status)) {}

  bool ok() const { return value_.has_value(); }
  // Ok exactly when a value is held.
  const Status& status() const { return status_; }

  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }
  T& operator*() & { return *value_; }
  const T& operator*() const& { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }

 private:
  Status status_;
  std::optional<T> value_;
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_STATUS_H_
