// system_log.h: the Linux log: each line goes to syslog(3) as data ("%s"), never as a format,
// under the ident "OstrelSensorHelper" (facility user, priority err: every line the helper
// logs reports a failure), and to standard error with one write(2), so lines from different
// threads never interleave. Safe to call from any thread.
#ifndef OSTREL_PLATFORM_LINUX_SYSTEM_LOG_H_
#define OSTREL_PLATFORM_LINUX_SYSTEM_LOG_H_

#include "platform/system_log.h"

namespace ostrel {

// The system log (facility user, priority err: every line the helper logs reports a failure)
// plus standard error. The Linux platform makes one for the process.
class SystemLog final : public LogSink {
 public:
  static constexpr char kIdent[] = "OstrelSensorHelper";  // the syslog ident

  // Opens the connection to the system log under kIdent.
  SystemLog();

  void Write(std::string_view line) override;
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LINUX_SYSTEM_LOG_H_
