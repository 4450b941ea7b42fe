// The temperature reader from sysfs files to the snapshot document, and many readers at once.
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
#include "tests/fake_sysfs.h"
#include "tests/temp_fixtures.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using testing::FakeLoginItem;
using testing::FakeSysfs;
using testing::TempDir;

// The server's readers with the temperature reader bound to the tree at `root`.
SensorServer::Readers ReadersOver(const std::string& root) {
  SensorServer::Readers readers;
  readers.temps = [root](OstrelTemp* out, int32_t capacity) {
    LinuxTempSource source(root);
    return ReadTemps(source, out, capacity);
  };
  readers.fans = [](OstrelFan*, int32_t) { return 0; };
  readers.power = [](double* cpu, double* gpu, double* ane, double* soc) {
    *cpu = *gpu = *ane = *soc = 0.0;
    return -1;
  };
  return readers;
}

nlohmann::json Temperatures(const std::string& root) {
  FakeLoginItem login;
  SensorServer server(login, 0, ReadersOver(root));
  return nlohmann::json::parse(server.snapshotJSON())["temperatures"];
}

TEST(TempsEndToEndTest, IntelDesktopDocument) {
  TempDir dir;
  testing::BuildIntelDesktop(FakeSysfs(dir.path()));
  const nlohmann::json expected = nlohmann::json::parse(R"J([
      {"label":"CPU / SoC (avg)","celsius":52.75},
      {"label":"CPU / SoC (peak)","celsius":58.0},
      {"label":"SSD","celsius":35.925}])J");
  EXPECT_EQ(Temperatures(dir.path()), expected);
}

TEST(TempsEndToEndTest, AmdLaptopDocument) {
  TempDir dir;
  testing::BuildAmdLaptop(FakeSysfs(dir.path()), /*with_tdie=*/false, /*battery_temp=*/true);
  const nlohmann::json expected = nlohmann::json::parse(R"J([
      {"label":"CPU / SoC (avg)","celsius":46.625},
      {"label":"CPU / SoC (peak)","celsius":46.625},
      {"label":"SSD","celsius":36.85},
      {"label":"Battery","celsius":31.2}])J");
  EXPECT_EQ(Temperatures(dir.path()), expected);
}

// Served over the loopback connection, the document carries the same readings.
TEST(TempsEndToEndTest, AmdLaptopOverHttp) {
  TempDir dir;
  testing::BuildAmdLaptop(FakeSysfs(dir.path()), /*with_tdie=*/true, /*battery_temp=*/true);
  FakeLoginItem login;
  SensorServer server(login, 0, ReadersOver(dir.path()));
  server.start();
  const std::string body =
      testing::BodyOf(testing::Exchange(server.boundPort(), "GET / HTTP/1.1\r\n\r\n"));
  const nlohmann::json temps = nlohmann::json::parse(body)["temperatures"];
  ASSERT_EQ(temps.size(), 4u);
  EXPECT_EQ(temps[0]["label"], "CPU / SoC (avg)");
  EXPECT_DOUBLE_EQ(temps[0]["celsius"].get<double>(), (46.625 + 44.25 + 48.5) / 3);
  EXPECT_EQ(temps[1], nlohmann::json::parse(R"J({"label":"CPU / SoC (peak)","celsius":48.5})J"));
  EXPECT_EQ(temps[2], nlohmann::json::parse(R"J({"label":"SSD","celsius":36.85})J"));
  EXPECT_EQ(temps[3], nlohmann::json::parse(R"J({"label":"Battery","celsius":31.2})J"));
}

struct Snapshot {
  int32_t count;
  OstrelTemp records[16];
};

Snapshot ReadOnce(const std::string& root) {
  Snapshot s{};
  LinuxTempSource source(root);
  s.count = ReadTemps(source, s.records, 16);
  return s;
}

bool Same(const Snapshot& a, const Snapshot& b) {
  if (a.count != b.count) return false;
  for (int32_t i = 0; i < a.count; ++i) {
    if (std::string(a.records[i].label) != b.records[i].label) return false;
    if (a.records[i].celsius != b.records[i].celsius) return false;
  }
  return true;
}

// Sixteen threads read the same machine at once; each gets the whole, right answer.
TEST(TempsConcurrencyTest, SixteenReadersAgree) {
  TempDir dir;
  testing::BuildAmdLaptop(FakeSysfs(dir.path()), /*with_tdie=*/true, /*battery_temp=*/true);
  const Snapshot expected = ReadOnce(dir.path());
  ASSERT_EQ(expected.count, 4);
  // The product's entry point over this machine's own /sys, which must agree with itself.
  OstrelTemp own[16] = {};
  const int32_t own_count = ostrel_read_temps(own, 16);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 16; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 40; ++i) {
        if (!Same(ReadOnce(dir.path()), expected)) ++mismatches;
        OstrelTemp mine[16] = {};
        if (ostrel_read_temps(mine, 16) != own_count) ++mismatches;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// While a drive comes and goes, every reader sees the machine either with it or without it.
TEST(TempsConcurrencyTest, ChipComingAndGoingWhileSixteenRead) {
  TempDir dir;
  FakeSysfs sys(dir.path());
  testing::BuildIntelDesktop(sys);
  const std::string link = dir.path() + "/class/hwmon/hwmon6";  // drivetemp
  const std::string parked = dir.path() + "/parked-hwmon6";
  const Snapshot with = ReadOnce(dir.path());
  fs::rename(link, parked);
  const Snapshot without = ReadOnce(dir.path());
  ASSERT_FALSE(Same(with, without));

  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0};
  std::thread toggler([&] {
    bool present = false;
    while (!done.load()) {
      if (present) {
        fs::rename(link, parked);
      } else {
        fs::rename(parked, link);
      }
      present = !present;
    }
    if (present) fs::rename(link, parked);
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 16; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 40; ++i) {
        const Snapshot s = ReadOnce(dir.path());
        if (!Same(s, with) && !Same(s, without)) ++mismatches;
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
