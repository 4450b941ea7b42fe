// Cost of routing one request text, from a plain request to adversarial non-ASCII text.
#include <benchmark/benchmark.h>

#include <string>

#include "server/sensor_server.h"
#include "tests/fixed_readers.h"

namespace ostrel {
namespace {

using NoLoginItem = testing::FakeLoginItem;

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
BENCHMARK_CAPTURE(RouteLoginItem, switch_in_long_query,
                  "GET /loginitem?" + std::string(8000, 'x') + "&enable=0 HTTP/1.1\r\n");
BENCHMARK_CAPTURE(RouteLoginItem, leading_empty_lines, [] {
  std::string s;
  for (int i = 0; i < 4000; ++i) s += "\r\n";  // skipped before the first line
  return s + "GET /loginitem HTTP/1.1\r\n";
}());
BENCHMARK_CAPTURE(RouteLoginItem, emoji_zwj_sequences, [] {
  std::string s = "GET /loginitem?";
  // family emoji: four people joined by zero-width joiners, 25 bytes, one character
  for (int i = 0; i < 320; ++i) {
    s += "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"
         "\xE2\x80\x8D\xF0\x9F\x91\xA6";
  }
  return s + " HTTP/1.1\r\n";
}());

// Routing to the snapshot (any other path), with readers that report nothing: the request's
// walk plus the document's framework.
void RouteSnapshot(benchmark::State& state) {
  NoLoginItem login;
  SensorServer::Readers readers;
  readers.temps = [](OstrelTemp*, int32_t) { return 0; };
  readers.fans = [](OstrelFan*, int32_t) { return 0; };
  readers.power = [](double*, double*, double*, double*) { return -1; };
  SensorServer server(login, 0, readers);
  const std::string request =
      "GET / HTTP/1.1\r\nHost: 127.0.0.1:53843\r\nUser-Agent: Ostrel\r\nAccept: */*\r\n\r\n";
  for (auto _ : state) benchmark::DoNotOptimize(server.route(request));
}
BENCHMARK(RouteSnapshot);

}  // namespace
}  // namespace ostrel
