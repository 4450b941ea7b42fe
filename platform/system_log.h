// system_log.h: one-line log messages, to the system log and to standard error.
//
// Each line is handed to syslog(3) as data ("%s"), never as a format, under the ident
// "OstrelSensorHelper", and written to standard error with one write(2), so lines from
// different threads never interleave. Safe to call from any thread.
#ifndef OSTREL_PLATFORM_SYSTEM_LOG_H_
#define OSTREL_PLATFORM_SYSTEM_LOG_H_

#include <string_view>

namespace ostrel {

// Where log lines go. Tests use a sink that records them.
class LogSink {
 public:
  virtual ~LogSink() = default;
  // Writes one line (without its line end). Never fails, never throws.
  virtual void Write(std::string_view line) = 0;
};

// The system log (facility user, priority err: every line the helper logs reports a failure)
// plus standard error.
class SystemLog final : public LogSink {
 public:
  static constexpr char kIdent[] = "OstrelSensorHelper";  // the syslog ident

  void Write(std::string_view line) override;
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_SYSTEM_LOG_H_
