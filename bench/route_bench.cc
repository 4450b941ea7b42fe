// Cost of routing one request text, from a plain request to adversarial non-ASCII text.
#include <benchmark/benchmark.h>

#include <string>

#include "server/sensor_server.h"

namespace ostrel {
namespace {

class NoLoginItem : public LoginItemControl {
 public:
  void Set(bool) override {}
  bool IsEnabled() override { return false; }
};

void RouteLoginItem(benchmark::State& state, const std::string& request) {
  NoLoginItem login;
  SensorServer server(login, 0, SensorServer::Readers{});
  for (auto _ : state) benchmark::DoNotOptimize(server.route(request));
}

BENCHMARK_CAPTURE(RouteLoginItem, typical,
                  std::string("GET /loginitem HTTP/1.1\r\nHost: 127.0.0.1:53843\r\n"
                              "User-Agent: Ostrel\r\nAccept: */*\r\n\r\n"));
BENCHMARK_CAPTURE(RouteLoginItem, long_ascii,
                  "GET /loginitem HTTP/1.1\r\nX: " + std::string(8150, 'a'));
BENCHMARK_CAPTURE(RouteLoginItem, long_first_line_non_ascii, [] {
  std::string s = "GET /loginitem?";
  for (int i = 0; i < 2700; ++i) s += "\xC3\xA9";  // é, two bytes each
  return s + " HTTP/1.1\r\n";
}());
BENCHMARK_CAPTURE(RouteLoginItem, combining_marks, [] {
  std::string s = "GET /loginitem";
  for (int i = 0; i < 2700; ++i) s += " \xCC\x81";  // space + combining acute: never splits
  return s;
}());

}  // namespace
}  // namespace ostrel
