// nslog_sink.cc: NSLog(@"%@", line).
#include "platform/macos/nslog_sink.h"

namespace ostrel::macos {

NSLogSink::NSLogSink(const ObjcRuntime& runtime, MacLibraries& libraries)
    : runtime_(runtime), nslog_(libraries.foundation.Function<NSLogFn>("NSLog")) {}

void NSLogSink::Write(std::string_view line) {
  if (nslog_ == nullptr || !runtime_.complete()) return;
  ObjcRuntime::AutoreleasePool pool(runtime_);
  id format = runtime_.NewString("%@");
  id text = runtime_.NewString(line);
  // NSLog is variadic, and is called through a variadic pointer type: the one argument travels
  // where a variadic callee looks for it. A line that is not UTF-8 prints as "(null)".
  if (format != nullptr) nslog_(format, text);
  runtime_.Release(text);
  runtime_.Release(format);
}

}  // namespace ostrel::macos
