// HelperLoginItem: what it logs, and /loginitem end to end through a SensorServer over a
// temporary HOME.
#include "app/helper_login_item.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/linux/autostart.h"
#include "server/sensor_server.h"
#include "tests/fake_platform.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::BodyOf;
using testing::Exchange;
using testing::RecordingLog;
using testing::TempDir;

class HelperLoginItemTest : public ::testing::Test {
 protected:
  HelperLoginItemTest()
      : service_(HelperLoginItem::kHelperID, "Ostrel Sensor Helper",
                 AutostartPathsFor(Home(dir_.path()), "/opt/ostrel/ostrel-sensor-helper")) {}

  static Environment Home(const std::string& home) {
    Environment env;
    env.Set("HOME", home);
    return env;
  }

  std::string Entry() const {
    return dir_.path() + "/.config/autostart/com.ostrel.Ostrel.SensorHelper.desktop";
  }
  bool EntryExists() const {
    struct stat st;
    return stat(Entry().c_str(), &st) == 0;
  }

  TempDir dir_;
  XdgAutostartService service_;
  RecordingLog log_;
};

TEST_F(HelperLoginItemTest, SuccessfulChangesLogNothing) {
  HelperLoginItem::set(service_, log_, true);
  EXPECT_TRUE(EntryExists());
  EXPECT_TRUE(HelperLoginItem::isEnabled(service_));
  HelperLoginItem::set(service_, log_, true);  // again: made whatever the state
  EXPECT_TRUE(HelperLoginItem::isEnabled(service_));
  HelperLoginItem::set(service_, log_, false);
  EXPECT_FALSE(EntryExists());
  EXPECT_FALSE(HelperLoginItem::isEnabled(service_));
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(HelperLoginItemTest, RefusedChangesLogOneLineEach) {
  HelperLoginItem::set(service_, log_, false);
  dir_.Write(".config/autostart/com.ostrel.Ostrel.SensorHelper.desktop",
             "[Desktop Entry]\nType=Application\nExec=/usr/bin/other\n");
  HelperLoginItem::set(service_, log_, false);  // another program's entry: kept
  EXPECT_TRUE(EntryExists());
  std::filesystem::remove_all(dir_.path() + "/.config");
  dir_.Write(".config", "in the way");
  HelperLoginItem::set(service_, log_, true);
  EXPECT_EQ(log_.lines(), (std::vector<std::string>{
                              "Ostrel Sensor Helper: login item unregister failed: " + Entry() +
                                  ": No such file or directory",
                              "Ostrel Sensor Helper: login item unregister failed: " + Entry() +
                                  ": starts another program",
                              "Ostrel Sensor Helper: login item register failed: " + dir_.path() +
                                  "/.config: Not a directory"}));
  EXPECT_FALSE(HelperLoginItem::isEnabled(service_));
}

TEST_F(HelperLoginItemTest, OnlyEnabledCountsAsOn) {
  dir_.Write(".config/autostart/com.ostrel.Ostrel.SensorHelper.desktop",
             "[Desktop Entry]\nType=Application\nExec=/opt/ostrel/ostrel-sensor-helper\n"
             "Hidden=true\n");
  EXPECT_EQ(service_.GetStatus(), LoginItemStatus::kRequiresApproval);
  EXPECT_FALSE(HelperLoginItem::isEnabled(service_));
}

TEST_F(HelperLoginItemTest, LoginItemRequestsThroughTheServer) {
  SensorServer::LoginItem control{
      [this](bool enable) { HelperLoginItem::set(service_, log_, enable); },
      [this] { return HelperLoginItem::isEnabled(service_); }};
  SensorServer::Readers readers;
  readers.temps = [](OstrelTemp*, int32_t) { return 0; };
  readers.fans = [](OstrelFan*, int32_t) { return 0; };
  readers.power = [](double*, double*, double*, double*) { return -1; };
  SensorServer server(control, 0, readers);
  server.start();
  const uint16_t port = server.boundPort();
  auto get = [port](const std::string& target) {
    return BodyOf(Exchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  };

  EXPECT_NE(get("/").find("\"loginItem\":false"), std::string::npos);
  EXPECT_EQ(get("/loginitem?enable=1"), "{\"ok\":true,\"loginItem\":true}");
  EXPECT_TRUE(EntryExists());
  EXPECT_NE(get("/").find("\"loginItem\":true"), std::string::npos);
  EXPECT_EQ(get("/loginitem"), "{\"ok\":true,\"loginItem\":true}");
  EXPECT_EQ(get("/loginitem?enable=0"), "{\"ok\":true,\"loginItem\":false}");
  EXPECT_FALSE(EntryExists());
  EXPECT_NE(get("/").find("\"loginItem\":false"), std::string::npos);
  EXPECT_TRUE(log_.lines().empty());
  // Unregistering again is refused by the service: logged, and the answer stays false.
  EXPECT_EQ(get("/loginitem?enable=0"), "{\"ok\":true,\"loginItem\":false}");
  EXPECT_EQ(log_.lines().size(), 1u);
}

}  // namespace
}  // namespace ostrel
