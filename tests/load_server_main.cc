// load_server_main.cc: a test-only program that serves the fixed readings on an ephemeral
// loopback port, for stress tests that put the server under a process-wide open-file limit.
//
// Usage: ostrel_load_server [soft open-file limit, 0 = inherited]
// Sets the limit before the server opens anything, starts a SensorServer on port 0 (its
// temperature reader opens files the way the machine's does, and reports nothing when it
// cannot: a reading starved of descriptors shows in the document), prints the bound port and a
// newline on standard output, and serves until SIGTERM or SIGINT, then exits 0.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "server/sensor_server.h"
#include "tests/fixed_readers.h"

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before the server's threads inherit the mask
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (argc > 1 && std::atoi(argv[1]) > 0) limit.rlim_cur = std::strtoul(argv[1], nullptr, 10);
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return std::perror("setrlimit"), 2;
  ostrel::SensorServer::Readers readers = ostrel::testing::FixedReaders();
  readers.temps = [fixed = readers.temps](OstrelTemp* out, int32_t capacity) {
    int fds[3];  // a folder, a chip's folder and a value file, as the hwmon reader holds them
    int opened = 0;
    for (int& fd : fds) opened += (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;
    for (int fd : fds) {
      if (fd >= 0) close(fd);
    }
    return opened == 3 ? fixed(out, capacity) : 0;
  };
  ostrel::testing::FakeLoginItem login_item;
  ostrel::SensorServer server(login_item, 0, readers);
  try {
    server.start();
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "ostrel_load_server: %s\n", e.what());
    return 1;
  }
  std::printf("%u\n", static_cast<unsigned>(server.boundPort()));
  std::fflush(stdout);
  int sig = 0;
  while (sigwait(&stop, &sig) != 0) {
  }
  return 0;
}
