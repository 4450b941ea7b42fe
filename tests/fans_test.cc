// Fans: the SMC record codec, the fan reader over an in-memory controller, the hwmon transport.
#include "sensors/fans.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/linux/hwmon_smc_transport.h"
#include "platform/linux/hwmon_temp_source.h"
#include "platform/smc_record.h"
#include "tests/fakes.h"
#include "tests/machine_records.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::FakeSmc;

// The non-zero bytes of a record as "offset:hex" runs, e.g. "0:6d754e46 42:09".
std::string Sparse(const SmcParamRecord& record) {
  std::string text;
  for (size_t i = 0; i < kSmcRecordSize; ++i) {
    char hex[4];
    snprintf(hex, sizeof hex, "%02x", record.bytes[i]);
    if (record.bytes[i] && (i == 0 || !record.bytes[i - 1])) text += " " + std::to_string(i) + ":";
    if (record.bytes[i]) text += hex;
  }
  return text.empty() ? text : text.substr(1);
}

// Key at 0, data size at 28 (LSB first), type at 32, command at 42, data (clamped) from 48.
TEST(SmcRecordTest, BytesOfRequestsResponsesAndValues) {
  EXPECT_EQ(SmcCode("F10Ac") + SmcCode("ab"), 0x46313041u + 0x61620000u);  // 4 chars, or to \0
  EXPECT_EQ(Sparse(SmcKeyInfoRequest(SmcCode("FNum"))) + " " +
                Sparse(SmcReadRequest(SmcCode("F0Ac"), 0x01020304)) + " " +
                Sparse(SmcKeyInfoResponse(1, 0x01020304, kSmcTypeFlt)),
            "0:6d754e46 42:09 0:63413046 28:04030201 42:05 0:01 28:0403020120746c66");
  // type, value, record of SmcReadResponse(0, type, value), decoded value (-1: not decodable)
  const std::tuple<const char*, float, const char*, float> cases[] = {
      // clang-format off
      {"flt ", 1200.5f, "28:04 49:109644", 1200.5f}, {"fpe2", 1165.9f, "28:02 48:1234", 1165},
      {"fpe2", 20000, "28:02 48:fffc", 16383}, {"ui16", 1500, "28:02 48:05dc", 1500},
      {"ui16", 70000, "28:02 48:ffff", 65535}, {"ui16", 65534.9f, "28:02 48:fffe", 65534},
      {"ui8 ", 2.9f, "28:01 48:02", 2}, {"ui8 ", 255, "28:01 48:ff", 255}, {"ui8 ", 256, "28:01 48:ff", 255},
      {"ui8 ", -5, "28:01", 0}, {"ui8 ", NAN, "28:01", 0}, {"sp78", 42, "", -1}, {"", 42, "", -1}};
  // clang-format on
  for (const auto& [type, in, record, want] : cases) {
    const SmcParamRecord response = SmcReadResponse(0, SmcCode(type), in);
    const std::optional<float> value = DecodeSmcValue(response, SmcCode(type));
    EXPECT_EQ(Sparse(response) + (value ? " = " : " ! ") + testing::Number(value.value_or(-1)),
              record + std::string(want != -1 ? " = " : " ! ") + testing::Number(want));
    EXPECT_EQ(SmcTypeSize(SmcCode(type)), LoadSmcField(response, 28));
  }
}

// FNum = `count` as `type`, fans 0 to 11 at 1000 + n, 500 + n and 6000 + n RPM. The count, each
// record as '.' (fan n at those speeds), 'u' untouched, or "rpm/min/max"; the controller's events.
TEST(ReadFansTest, EnumerationAndEveryFailurePath) {
  const uint32_t ui8 = kSmcTypeUi8, flt = kSmcTypeFlt;
  const struct {
    uint32_t type;  // of FNum
    float count;    // FNum
    int32_t capacity;
    const char* want;
    int calls;  // made on the open connection; -1: no service found, -2: none opened
    std::function<void(FakeSmc&)> tweak = [](FakeSmc&) {};
  } cases[] = {
      // clang-format off
      {ui8, 2, 8, "0:u", -1, [](auto& s) { s.has_service = false; }},
      {ui8, 2, 8, "0:u", -2, [](auto& s) { s.open_fails = true; }},
      {ui8, 2, 8, "0:u", 1, [](auto& s) { s.keys["FNum"].info_fails = true; }},
      {ui8, 2, 8, "0:u", 2, [](auto& s) { s.keys["FNum"].read_fails = true; }},
      {0, 2, 8, "0:u", 2}, {ui8, 0, 8, "0:u", 2}, {flt, NAN, 8, "0:u", 2}, {ui8, 2, 0, "0:u", 2},
      {flt, 1, 8, "1:.u", 8}, {flt, 2.9f, 8, "2:..u", 14}, {ui8, 3, 2, "2:..u", 14},
      {flt, INFINITY, 8, "8:........u", 50}, {ui8, 12, 16, "10:..........u", 62},  // F10Ac: no key
      // a key that fails reads 0, and its fan still counts; no read after failed information
      {ui8, 3, 3, "3:.1001/0/6001.u", 19, [](auto& s) { s.keys["F1Mn"].info_fails = true; }},
      {ui8, 3, 3, "3:.1001/0/6001.u", 20, [](auto& s) { s.keys["F1Mn"].read_fails = true; }},
      {ui8, 3, 3, "3:.0/501/6001.u", 20, [](auto& s) { s.keys["F1Ac"].type = SmcCode("sp78"); }}};
  // clang-format on
  for (const auto& c : cases) {
    FakeSmc smc;
    smc.keys["FNum"] = {c.type, c.count};
    for (int n = 0; n < 12; ++n)
      for (const auto& [key, rpm] : {std::pair{"Ac", 1000}, {"Mn", 500}, {"Mx", 6000}})
        smc.keys["F" + std::to_string(n) + key] = {kSmcTypeFlt, rpm + n + 0.0f};
    c.tweak(smc);
    std::vector<OstrelFan> fans(16, OstrelFan{-77, -1, -2, -3});
    std::string got = std::to_string(ReadFans(smc, fans.data(), c.capacity)) + ":";
    for (int32_t i = 0; i < 16; ++i) {
      const OstrelFan& f = fans[i];
      got += f.index == -77 && f.rpm == -1 && f.minRPM == -2 && f.maxRPM == -3 ? "u"
             : f.index == i && f.rpm == 1000 + i && f.minRPM == 500 + i && f.maxRPM == 6000 + i
                 ? "."
                 : testing::Number(f.rpm) + "/" + testing::Number(f.minRPM) + "/" +
                       testing::Number(f.maxRPM);
    }
    const std::string events = c.calls == -1   ? "f"
                               : c.calls == -2 ? "for"
                                               : "for" + std::string(c.calls, 'c') + "x";
    EXPECT_EQ(got.substr(0, got.find_last_not_of('u') + 2) + " " + smc.events + " " +
                  std::to_string(smc.bad_calls),
              c.want + (" " + events) + " 0");
  }
}

// A fixture machine's transport: answers, refusals (the output untouched), what it holds after a
// reading; then 256 fans, "FNum" capped at 255 in its byte, of which the reader's keys name ten.
TEST(HwmonSmcTransportTest, FansInChipOrderAndRefusedRequests) {
  testing::TempDir dir, many;
  dir.WriteTree(testing::ReadWholeFile(OSTREL_FIXTURES_DIR "/trees/fans_mixed.tree"));
  HwmonSmcTransport smc(dir.path());
  OstrelFan fans[64];
  EXPECT_EQ(ReadFans(smc, fans, 8), 8);
  EXPECT_EQ(smc.open_services() + smc.open_connections() + smc.FindService("AppleSMCx"), 0u);
  const SmcServiceHandle service = smc.FindService("AppleSMC");
  SmcConnectionHandle connection = 0;
  EXPECT_EQ(smc.Open(service, 1, &connection) + smc.Open(service + 1, 0, &connection),
            2 * kSmcBadArgument);
  ASSERT_EQ(smc.Open(service, 0, &connection), kSmcSuccess);
  smc.ReleaseService(service);
  // The value a request gets as `type`, a key information's type, or "refused <result>".
  auto call = [&](const char* key, int size, uint32_t type = kSmcTypeFlt, size_t input_size = 80,
                  uint32_t selector = 2, size_t output_size = 80, int command = 0) {
    SmcParamRecord out, before,
        request = size ? SmcReadRequest(SmcCode(key), size) : SmcKeyInfoRequest(SmcCode(key));
    if (command) request.bytes[42] = command;
    std::memset(&out, 0xEE, sizeof out);
    before = out;
    const int32_t result =
        smc.CallStructMethod(connection, selector, &request, input_size, &out, &output_size);
    if (result != kSmcSuccess)
      return "refused " + std::to_string(result) + (memcmp(&out, &before, 80) ? "!" : "");
    const std::optional<float> value = DecodeSmcValue(out, type);
    if (!value) return testing::KeyName(LoadSmcField(out, 32));
    return std::to_string(static_cast<int>(*value)) + "/" + std::to_string(LoadSmcField(out, 28)) +
           (output_size == 80 ? "" : "!");
  };
  dir.Write("class/hwmon/hwmon3/device/fan1_input", "3500\n");  // values are read afresh
  // F7Mn has no file, F5Mx is negative; F3Ac's size is 4; 7 is no command; 79 bytes, selector 3.
  EXPECT_EQ(call("F3Ac", 4) + " " + call("F3Ac", 0, 0) + " " + call("F1Mn", 4) + " " +
                call("FNum", 1, kSmcTypeUi8) + " " + call("FNum", 0, 0) + " " + call("F8Ac", 0) +
                " " + call("F0Ax", 0) + " " + call("G0Ac", 0) + " " + call("F:Ac", 0) + " " +
                call("F7Mn", 4) + " " + call("F5Mx", 4) + " " + call("F3Ac", 2) + " " +
                call("F3Ac", 0, 0, 80, 2, 80, 7) + " " + call("F3Ac", 0, 0, 79) + " " +
                call("F3Ac", 0, 0, 80, 3) + " " + call("F3Ac", 0, 0, 80, 2, 79),
            "3500/4 flt  0/4 8/1 ui8  refused 2 refused 2 refused 2 refused 2 refused 3 refused 3 "
            "refused 1 refused 1 refused 1 refused 1 refused 1");
  smc.Close(connection);
  EXPECT_EQ(call("F3Ac", 4) + std::to_string(smc.open_services() + smc.open_connections()),
            "refused 10");
  std::string tree = "class/hwmon/hwmon0/name=many";
  for (int k = 1; k <= 256; ++k)
    tree += "\nclass/hwmon/hwmon0/fan" + std::to_string(k) + "_input=1";
  many.WriteTree(tree);
  HwmonSmcTransport smc256(many.path());
  EXPECT_EQ(ReadFans(smc256, fans, 64), 10);
}

// Remembered listings never hide a change: each case changes a tree in place after a reading
// with its folders' times an hour old, and must then read as the changed tree written afresh.
TEST(HwmonTreesTest, ChangesShowInTheNextReading) {
  namespace fs = std::filesystem;
  const std::string base =
      testing::ReadWholeFile(OSTREL_FIXTURES_DIR "/trees/fans_mixed.tree") +
      "class/power_supply/BAT0/type=Battery\nclass/power_supply/BAT0/temp=300\n";
  // Rewrites a file in place (its folder keeps its times), or replaces it by renaming a new one.
  const auto rewrite = [](const char* file, const char* text, bool rename) {
    return [=](const fs::path& root) {
      std::ofstream(root / (rename ? "new" : file), std::ios::binary) << text;
      if (rename) fs::rename(root / "new", root / file);
    };
  };
  const auto replaced = [&base](const std::string& from, const std::string& to) {
    return std::string(base).replace(base.find(from), from.size(), to);
  };
  const std::string fan2 = "class/hwmon/hwmon3/device/fan2_input=1998\n";
  const auto renumbered = [](std::string text) {
    for (size_t at; (at = text.find("hwmon10/")) != std::string::npos;)
      text.replace(at, 8, "hwmon1/");
    return text;
  };
  const std::pair<std::string, std::function<void(const fs::path&)>> cases[] = {
      {base + "class/hwmon/hwmon0/temp2_input=50000", nullptr},  // nullptr: the added line
      {base + "class/hwmon/hwmon10/fan2_input=3000", nullptr},
      {base + "class/hwmon/hwmon3/name=applesmc", nullptr},
      {replaced("temp1_input=45000", "temp1_input=61000"),
       rewrite("devices/hwmon/hwmon0/temp1_input", "61000\n", false)},
      {replaced("temp=300", "temp=333"), rewrite("devices/power_supply/BAT0/temp", "333\n", false)},
      {replaced("fan1_input=2001", "fan1_input=2500"),
       rewrite("devices/hwmon/hwmon3/device/fan1_input", "2500\n", true)},
      {std::string(base).erase(base.find(fan2), fan2.size()),
       [](const fs::path& root) { fs::remove(root / "devices/hwmon/hwmon3/device/fan2_input"); }},
      {renumbered(base), [](const fs::path& root) {
         fs::rename(root / "devices/hwmon/hwmon10", root / "devices/hwmon/hwmon1");
         fs::remove(root / "class/hwmon/hwmon10");
         fs::create_directory_symlink(root / "devices/hwmon/hwmon1", root / "class/hwmon/hwmon1");
       }}};
  auto read = [](const std::string& root) {
    HwmonTempSource temps(root);
    HwmonSmcTransport smc(root);
    return testing::Records(temps, smc, "");
  };
  for (size_t c = 0; c < std::size(cases); ++c) {
    const auto& [after, change] = cases[c];
    testing::TempDir changed, fresh;
    changed.WriteTree(base);
    const timespec old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    for (const auto& entry : fs::recursive_directory_iterator(changed.path()))
      if (entry.is_directory() && !entry.is_symlink())
        utimensat(AT_FDCWD, entry.path().c_str(), old, AT_SYMLINK_NOFOLLOW);
    const std::string before = read(changed.path());
    change ? change(changed.path()) : changed.WriteTree(after.substr(base.size()));
    fresh.WriteTree(after);
    EXPECT_NE(read(fresh.path()), before) << "case " << c;
    EXPECT_EQ(read(changed.path()), read(fresh.path())) << "case " << c;
  }
}

}  // namespace
}  // namespace ostrel
