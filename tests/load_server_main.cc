// load_server_main.cc: for the stress tests, serves the fixed readings on a loopback port under
// an open-file limit (its argument), prints the port, exits 0 on SIGTERM/SIGINT. Its temperature
// reader opens three files as the machine's does, so a reading starved of them shows.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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
  if (argc > 1) limit.rlim_cur = std::strtoul(argv[1], nullptr, 10);
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return std::perror("setrlimit"), 2;
  ostrel::SensorServer::Readers readers = ostrel::testing::FixedReaders();
  readers.temps = [fixed = readers.temps](OstrelTemp* out, int32_t capacity) {
    int fds[3], opened = 0;
    for (int& fd : fds) opened += (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;
    for (int fd : fds) close(fd);  // -1 for those not opened: a harmless EBADF
    return opened == 3 ? fixed(out, capacity) : 0;
  };
  ostrel::testing::FakeLoginItem login_item;
  ostrel::SensorServer server(login_item, 0, readers);
  server.start();  // a failure ends the program with the reason on standard error
  std::printf("%u\n", static_cast<unsigned>(server.boundPort()));
  std::fflush(stdout);
  for (int sig = 0; sigwait(&stop, &sig) != 0;) {
  }
  return 0;
}
