// What the macOS layers read of this process, checked against the Linux layer's reading.
#include <gtest/gtest.h>

#include "platform/macos/mac_process_resources.h"
#include "platform/process_resources.h"

namespace ostrel::macos {
namespace {

// /dev/fd and /proc/self/fd list the same descriptors.
TEST(MacLinuxParityTest, TheSameDescriptorsAreFree) {
  const int64_t free_count = FreeDescriptorCount();
  EXPECT_GT(free_count, 0);
  EXPECT_EQ(free_count, ostrel::FreeDescriptorCount());
  EXPECT_TRUE(CanOpenDescriptors(8));
  EXPECT_TRUE(CanOpenDescriptors(100));
}

}  // namespace
}  // namespace ostrel::macos
