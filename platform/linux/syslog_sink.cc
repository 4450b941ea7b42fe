// syslog_sink.cc: syslog and standard error.
#include "platform/linux/syslog_sink.h"

#include <errno.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

namespace ostrel {

SyslogSink::SyslogSink() {
  // openlog keeps the ident pointer: a string literal lives long enough. The connection to the
  // log is made now, at start, rather than at the first failure.
  openlog(kIdent, LOG_PID | LOG_NDELAY, LOG_USER);
}

void SyslogSink::Write(std::string_view line) {
  const std::string text(line);
  syslog(LOG_ERR, "%s", text.c_str());

  const std::string out = text + "\n";
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = write(STDERR_FILENO, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nobody reads standard error: the system log has the line
    done += static_cast<size_t>(n);
  }
}

}  // namespace ostrel
