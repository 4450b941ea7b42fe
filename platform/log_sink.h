// log_sink.h: where the helper's one-line log messages go: the system log of the machine. A
// line is always written as plain text, never used as a format. A sink may be written from any
// thread; the product's platform makes one for the process.
#ifndef OSTREL_PLATFORM_LOG_SINK_H_
#define OSTREL_PLATFORM_LOG_SINK_H_

#include <string_view>

namespace ostrel {

// Where log lines go. Tests use a sink that records them.
class LogSink {
 public:
  virtual ~LogSink() = default;
  // Writes one line (without its line end). Never fails, never throws.
  virtual void Write(std::string_view line) = 0;
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LOG_SINK_H_
