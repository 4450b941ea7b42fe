// The readers' C header: C and C++ callers must see one record layout.
#include <gtest/gtest.h>

#include <cstddef>

#include "sensors/ostrel_sensors.h"

extern "C" {
size_t ostrel_probe_temp_size(void);
size_t ostrel_probe_temp_celsius_offset(void);
size_t ostrel_probe_fan_size(void);
size_t ostrel_probe_fan_rpm_offset(void);
size_t ostrel_probe_fan_min_offset(void);
size_t ostrel_probe_fan_max_offset(void);
}

TEST(SensorsHeaderTest, CAndCxxAgreeOnRecordLayout) {
  EXPECT_EQ(ostrel_probe_temp_size(), sizeof(OstrelTemp));
  EXPECT_EQ(ostrel_probe_temp_celsius_offset(), offsetof(OstrelTemp, celsius));
  EXPECT_EQ(ostrel_probe_fan_size(), sizeof(OstrelFan));
  EXPECT_EQ(ostrel_probe_fan_rpm_offset(), offsetof(OstrelFan, rpm));
  EXPECT_EQ(ostrel_probe_fan_min_offset(), offsetof(OstrelFan, minRPM));
  EXPECT_EQ(ostrel_probe_fan_max_offset(), offsetof(OstrelFan, maxRPM));
}

TEST(SensorsHeaderTest, RecordsHaveTheSharedShape) {
  // A 64-byte label, then the double; the 32-bit index, then three doubles.
  EXPECT_EQ(offsetof(OstrelTemp, celsius), 64u);
  EXPECT_EQ(sizeof(OstrelTemp), 72u);
  EXPECT_EQ(offsetof(OstrelFan, index), 0u);
  EXPECT_EQ(sizeof(OstrelFan::index), 4u);
  EXPECT_EQ(offsetof(OstrelFan, rpm), 8u);
  EXPECT_EQ(sizeof(OstrelFan), 32u);
}
