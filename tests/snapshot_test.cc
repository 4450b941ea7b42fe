// The snapshot document built over fake readers.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "server/sensor_server.h"
#include "tests/fake_login_item.h"

namespace ostrel {
namespace {

using testing::FakeLoginItem;

void SetLabel(OstrelTemp* t, const char* label) { std::strncpy(t->label, label, 63); }

SensorServer::Readers FullReaders() {
  SensorServer::Readers readers;
  readers.temps = [](OstrelTemp* out, int32_t capacity) {
    EXPECT_EQ(capacity, 16);
    const char* labels[] = {"CPU / SoC (avg)", "CPU / SoC (peak)", "SSD", "Battery"};
    const double values[] = {52.5, 64.25, 38, 31.5};
    for (int i = 0; i < 4; ++i) {
      SetLabel(&out[i], labels[i]);
      out[i].celsius = values[i];
    }
    return 4;
  };
  readers.fans = [](OstrelFan* out, int32_t capacity) {
    EXPECT_EQ(capacity, 8);
    out[0] = OstrelFan{0, 1800, 1200, 6000};
    out[1] = OstrelFan{1, 0, 1200, 6000};  // a stopped fan
    return 2;
  };
  readers.power = [](double* cpu, double* gpu, double* ane, double* soc) {
    *cpu = 3.5;
    *gpu = 0.5;
    *ane = 0.25;
    *soc = 4.25;
    return 0;
  };
  return readers;
}

TEST(SnapshotTest, FullDocumentIsCompactAndOrdered) {
  FakeLoginItem login;
  login.set_enabled(true);
  SensorServer server(login, 0, FullReaders());
  EXPECT_EQ(
      server.snapshotJSON(),
      "{\"temperatures\":[{\"label\":\"CPU / SoC (avg)\",\"celsius\":52.5},"
      "{\"label\":\"CPU / SoC (peak)\",\"celsius\":64.25},{\"label\":\"SSD\",\"celsius\":38.0},"
      "{\"label\":\"Battery\",\"celsius\":31.5}],"
      "\"fans\":[{\"index\":0,\"rpm\":1800.0,\"min\":1200.0,\"max\":6000.0},"
      "{\"index\":1,\"rpm\":0.0,\"min\":1200.0,\"max\":6000.0}],"
      "\"power\":{\"soc\":4.25,\"cpu\":3.5,\"gpu\":0.5,\"ane\":0.25},"
      "\"loginItem\":true,\"helper\":\"ostrel\",\"version\":1}");
}

TEST(SnapshotTest, NothingReadKeepsEveryMember) {
  FakeLoginItem login;
  SensorServer::Readers readers;
  readers.temps = [](OstrelTemp*, int32_t) { return 0; };
  readers.fans = [](OstrelFan*, int32_t) { return 0; };
  readers.power = [](double* cpu, double* gpu, double* ane, double* soc) {
    *cpu = *gpu = *ane = *soc = 0.0;
    return -1;
  };
  SensorServer server(login, 0, readers);
  EXPECT_EQ(server.snapshotJSON(),
            "{\"temperatures\":[],\"fans\":[],\"power\":{},\"loginItem\":false,"
            "\"helper\":\"ostrel\",\"version\":1}");
}

TEST(SnapshotTest, PowerMembersComeFromTheirPositions) {
  FakeLoginItem login;
  SensorServer::Readers readers = FullReaders();
  readers.power = [](double* a, double* b, double* c, double* d) {
    *a = 1;
    *b = 2;
    *c = 3;
    *d = 4;
    return 0;
  };
  SensorServer server(login, 0, readers);
  const auto doc = nlohmann::json::parse(server.snapshotJSON());
  EXPECT_EQ(doc["power"]["cpu"], 1.0);
  EXPECT_EQ(doc["power"]["gpu"], 2.0);
  EXPECT_EQ(doc["power"]["ane"], 3.0);
  EXPECT_EQ(doc["power"]["soc"], 4.0);
}

TEST(SnapshotTest, LabelsAreCutAtZeroAndRepaired) {
  FakeLoginItem login;
  SensorServer::Readers readers = FullReaders();
  readers.temps = [](OstrelTemp* out, int32_t) {
    std::memcpy(out[0].label, "Bad\xFF", 5);
    std::memset(out[1].label, 'x', 64);  // no terminator in the field
    std::memcpy(out[2].label, "a\0b", 4);
    return 3;
  };
  SensorServer server(login, 0, readers);
  const auto doc = nlohmann::json::parse(server.snapshotJSON());
  EXPECT_EQ(doc["temperatures"][0]["label"], "Bad\xEF\xBF\xBD");
  EXPECT_EQ(doc["temperatures"][1]["label"], std::string(64, 'x'));
  EXPECT_EQ(doc["temperatures"][2]["label"], "a");
}

TEST(SnapshotTest, UnwritableValuesGiveTheEmptyObject) {
  const double bad[] = {NAN, INFINITY, -INFINITY};
  for (double value : bad) {
    FakeLoginItem login;
    SensorServer::Readers readers = FullReaders();
    readers.fans = [value](OstrelFan* out, int32_t) {
      out[0] = OstrelFan{0, value, 0, 0};
      return 1;
    };
    SensorServer server(login, 0, readers);
    EXPECT_EQ(server.snapshotJSON(), "{}") << value;
  }
  FakeLoginItem login;
  SensorServer::Readers readers = FullReaders();
  readers.power = [](double* cpu, double* gpu, double* ane, double* soc) {
    *cpu = *gpu = *ane = 0;
    *soc = NAN;
    return 0;
  };
  SensorServer server(login, 0, readers);
  EXPECT_EQ(server.snapshotJSON(), "{}");
}

TEST(SnapshotTest, OutOfRangeCountsNeverReadPastTheBuffer) {
  for (int32_t count : {-1, 17, INT32_MAX}) {
    FakeLoginItem login;
    SensorServer::Readers readers = FullReaders();
    readers.temps = [count](OstrelTemp*, int32_t) { return count; };
    readers.fans = [count](OstrelFan*, int32_t) { return count; };
    SensorServer server(login, 0, readers);
    const auto doc = nlohmann::json::parse(server.snapshotJSON());
    EXPECT_TRUE(doc["temperatures"].empty()) << count;
    EXPECT_TRUE(doc["fans"].empty()) << count;
  }
}

TEST(SnapshotConcurrencyTest, PowerReadsAreSerialisedUnderThePowerLock) {
  FakeLoginItem login;
  SensorServer* server_ptr = nullptr;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> unlocked{0};
  SensorServer::Readers readers = FullReaders();
  readers.power = [&](double* cpu, double* gpu, double* ane, double* soc) {
    if (inside.fetch_add(1) != 0) overlaps++;
    // Another thread must find the lock taken while the reader runs.
    std::thread([&] {
      if (server_ptr->powerLock().try_lock()) {
        server_ptr->powerLock().unlock();
        unlocked++;
      }
    }).join();
    std::this_thread::yield();
    inside.fetch_sub(1);
    *cpu = *gpu = *ane = *soc = 1.0;
    return 0;
  };
  SensorServer server(login, 0, readers);
  server_ptr = &server;
  std::vector<std::thread> threads;
  for (int t = 0; t < 16; ++t) {
    threads.emplace_back([&server] {
      for (int i = 0; i < 20; ++i) EXPECT_NE(server.snapshotJSON(), "{}");
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(unlocked.load(), 0);
}

}  // namespace
}  // namespace ostrel
