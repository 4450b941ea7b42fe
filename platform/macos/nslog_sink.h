// nslog_sink.h: log lines on macOS, written to the system log with NSLog.
//
// The line is passed as the argument of the fixed format "%@", never as the format itself, so
// a '%' in an error text is printed as it is. Ownership: the format and the line's string are
// made for each line and released before Write returns. Threads: any; NSLog serialises.
#ifndef OSTREL_PLATFORM_MACOS_NSLOG_SINK_H_
#define OSTREL_PLATFORM_MACOS_NSLOG_SINK_H_

#include "platform/log_sink.h"
#include "platform/macos/objc_runtime.h"

namespace ostrel::macos {

class NSLogSink final : public LogSink {
 public:
  // Looks NSLog up in Foundation now; `runtime` and `libraries` are borrowed.
  NSLogSink(const ObjcRuntime& runtime, MacLibraries& libraries);

  // Without Foundation the line is dropped.
  void Write(std::string_view line) override;

 private:
  const ObjcRuntime& runtime_;  // borrowed
  const NSLogFn nslog_;         // Foundation's NSLog, or null
};

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_NSLOG_SINK_H_
