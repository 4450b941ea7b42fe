// syslog_sink.h: log lines on Linux, written to syslog(3) under the ident "OstrelSensorHelper"
// and to standard error. Any thread; the Linux platform makes one for the process.
#ifndef OSTREL_PLATFORM_LINUX_SYSLOG_SINK_H_
#define OSTREL_PLATFORM_LINUX_SYSLOG_SINK_H_

#include "platform/log_sink.h"

namespace ostrel {

// The system log (facility user, priority err: every line the helper logs reports a failure)
// plus standard error.
class SyslogSink final : public LogSink {
 public:
  static constexpr char kIdent[] = "OstrelSensorHelper";  // the syslog ident

  // Opens the connection to the system log under kIdent.
  SyslogSink();

  // The line goes to syslog as data ("%s"), and to standard error in one write(2), so lines
  // from different threads never interleave.
  void Write(std::string_view line) override;
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LINUX_SYSLOG_SINK_H_
