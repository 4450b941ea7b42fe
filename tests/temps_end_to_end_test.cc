// The temperature reader from sysfs files to the served document, and many readers at once.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux_temp_source.h"
#include "sensors/temps.h"
#include "server/sensor_server.h"
#include "tests/fake_login_item.h"
#include "tests/temp_fixtures.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::TempDir;

TEST(TempsEndToEndTest, ServedDocumentCarriesTheFilesValues) {
  const struct {
    testing::FixtureTree tree;
    const char* temperatures;
  } cases[] = {
      {testing::IntelDesktop(),
       R"J([{"label":"CPU / SoC (avg)","celsius":52.75},{"label":"CPU / SoC (peak)","celsius":58.0},
           {"label":"SSD","celsius":35.925}])J"},
      {testing::AmdLaptop(false, true),
       R"J([{"label":"CPU / SoC (avg)","celsius":46.625},
           {"label":"CPU / SoC (peak)","celsius":46.625},
           {"label":"SSD","celsius":36.85},{"label":"Battery","celsius":31.2}])J"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    testing::WriteTree(dir.path(), c.tree);
    SensorServer::Readers readers;
    readers.temps = [root = dir.path()](OstrelTemp* out, int32_t capacity) {
      LinuxTempSource source(root);
      return ReadTemps(source, out, capacity);
    };
    readers.fans = [](OstrelFan*, int32_t) { return 0; };
    readers.power = [](double*, double*, double*, double*) { return -1; };
    testing::FakeLoginItem login;
    SensorServer server(login, 0, readers);
    server.start();
    const std::string body =
        testing::BodyOf(testing::Exchange(server.boundPort(), "GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(nlohmann::json::parse(body)["temperatures"], nlohmann::json::parse(c.temperatures));
  }
}

// Sixteen threads read one machine while a drive comes and goes: each sees it whole, with or
// without the drive. The product's entry point over this machine's /sys runs alongside.
TEST(TempsConcurrencyTest, SixteenReadersWhileADriveComesAndGoes) {
  TempDir dir;
  testing::WriteTree(dir.path(), testing::IntelDesktop());
  auto read = [&dir] {
    LinuxTempSource source(dir.path());
    OstrelTemp out[16];
    const int32_t n = ReadTemps(source, out, 16);
    std::string text;
    for (int32_t i = 0; i < n; ++i) text += out[i].label + std::to_string(out[i].celsius);
    return text;
  };
  const std::string link = dir.path() + "/class/hwmon/hwmon6", parked = dir.path() + "/parked";
  const std::string with = read();
  std::filesystem::rename(link, parked);
  const std::string without = read();
  ASSERT_NE(with, without);
  OstrelTemp own[16];
  const int32_t own_count = ostrel_read_temps(own, 16);

  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0};
  std::thread toggler([&] {
    for (bool present = false; !done.load(); present = !present) {
      std::filesystem::rename(present ? link : parked, present ? parked : link);
    }
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 16; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 40; ++i) {
        const std::string got = read();
        if (got != with && got != without) ++mismatches;
        OstrelTemp mine[16];
        if (ostrel_read_temps(mine, 16) != own_count) ++mismatches;
      }
    });
  }
  for (std::thread& t : readers) t.join();
  done = true;
  toggler.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace ostrel
