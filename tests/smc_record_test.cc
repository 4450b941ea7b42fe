// The SMC record codec: codes, the bytes of both requests, value decoding, and a randomized check
// of the decoder over whole records.
#include "platform/smc_record.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace ostrel {
namespace {

TEST(SmcRecordTest, CodesAndRequestBytes) {
  EXPECT_EQ(SmcCode("FNum"), 0x464E756Du);
  EXPECT_EQ(SmcCode("F0Ac"), 0x46304163u);
  EXPECT_EQ(SmcCode("F10Ac"), 0x46313041u);     // the first four characters only
  EXPECT_EQ(SmcCode("ab"), 0x61620000u);        // a shorter text ends at its zero
  uint8_t info[80] = {0x6D, 0x75, 0x4E, 0x46};  // "FNum", least significant byte first
  info[42] = 9;
  uint8_t read[80] = {0x63, 0x41, 0x30, 0x46};      // "F0Ac"
  const uint8_t size[] = {0x04, 0x03, 0x02, 0x01};  // the data size 0x01020304
  std::memcpy(read + 28, size, 4);
  read[42] = 5;
  const SmcParamRecord got_info = SmcKeyInfoRequest(SmcCode("FNum"));
  const SmcParamRecord got_read = SmcReadRequest(SmcCode("F0Ac"), 0x01020304);
  for (size_t i = 0; i < 80; ++i) {
    EXPECT_EQ(got_info.bytes[i], info[i]) << "key information, offset " << i;
    EXPECT_EQ(got_read.bytes[i], read[i]) << "read, offset " << i;
  }
}

TEST(SmcRecordTest, DecodesTheFourTypesAndRefusesTheRest) {
  const struct {
    const char* type;
    std::vector<uint8_t> data;
    uint32_t size;  // of the type; 0 for a refused one
    float value;
  } cases[] = {
      {"flt ", {0x00, 0x00, 0x96, 0x44}, 4, 1200.0f},
      {"fpe2", {0x12, 0x35}, 2, 1165.0f},  // 0x1235 >> 2: the fraction .25 is dropped
      {"ui16", {0x05, 0xDC}, 2, 1500.0f},
      {"ui8 ", {0x02}, 1, 2.0f},
      {"ui8 ", {0xFF, 0x01}, 1, 255.0f},  // one byte only
      {"", {0x00, 0x00, 0x96, 0x44}, 0, 42.5f},
      {"sp78", {0x00, 0x00, 0x96, 0x44}, 0, 42.5f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    SmcParamRecord record{};
    std::memcpy(record.bytes + kSmcDataOffset, c.data.data(), c.data.size());
    float value = 42.5f;  // kept when the type is refused
    EXPECT_EQ(DecodeSmcValue(record, SmcCode(c.type), &value), c.size != 0);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(SmcTypeSize(SmcCode(c.type)), c.size);
  }
}

// What the decoder must give for `type` from the data bytes b, computed apart from the codec.
bool Expected(uint32_t type, const uint8_t* b, float* value) {
  if (type == 0x666C7420) {
    *value =
        std::bit_cast<float>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24);
  } else if (type == 0x66706532) {
    *value = static_cast<float>((b[0] * 256 + b[1]) / 4);
  } else if (type == 0x75693820) {
    *value = b[0];
  } else if (type == 0x75693136) {
    *value = static_cast<float>(b[0] * 256 + b[1]);
  } else {
    return false;
  }
  return true;
}

// Whole random records: the decoder must agree with the oracle above, which reads nothing but
// the data bytes, for the four types, zero, near misses and random words.
TEST(SmcRecordTest, RandomRecordsDecodeFromTheirDataBytesOnly) {
  std::mt19937 rng(20261205);  // fixed seed: a failure reproduces
  std::uniform_int_distribution<uint32_t> word;
  const uint32_t known[] = {kSmcTypeFlt, kSmcTypeFpe2, kSmcTypeUi8, kSmcTypeUi16};
  int decoded = 0;
  for (int round = 0; round < 20000; ++round) {
    // On the heap at its exact size, so a read past the record trips AddressSanitizer.
    auto record = std::make_unique<SmcParamRecord>();
    for (uint8_t& b : record->bytes) b = static_cast<uint8_t>(word(rng));
    const int pick = round % 8;
    uint32_t type = word(rng);
    if (pick < 4) type = known[pick];
    if (pick == 4) type = 0;
    if (pick == 5) type = known[word(rng) % 4] ^ (0xFFu << (8 * (word(rng) % 4)));

    const float sentinel = std::bit_cast<float>(word(rng));
    float value = sentinel, want = sentinel;
    const bool ok = DecodeSmcValue(*record, type, &value);
    ASSERT_EQ(ok, Expected(type, record->bytes + kSmcDataOffset, &want)) << std::hex << type;
    ASSERT_EQ(std::bit_cast<uint32_t>(value), std::bit_cast<uint32_t>(want)) << std::hex << type;
    decoded += ok;
  }
  EXPECT_EQ(decoded, 10000);
}

}  // namespace
}  // namespace ostrel
