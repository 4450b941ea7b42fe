// The SMC record codec: codes, the exact bytes of both requests, value decoding and encoding,
// and a randomized check of the decoder over whole records.
#include "platform/smc_record.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace ostrel {
namespace {

// A record whose data bytes start with `data`.
SmcParamRecord WithData(std::vector<uint8_t> data) {
  SmcParamRecord r{};
  std::memcpy(r.bytes + kSmcDataOffset, data.data(), data.size());
  return r;
}

TEST(SmcRecordTest, CodesPackTheFirstCharacterHighest) {
  const struct {
    const char* text;
    uint32_t code;
  } cases[] = {
      {"FNum", 0x464E756D},
      {"F0Ac", 0x46304163},
      {"F0Mn", 0x46304D6E},
      {"F0Mx", 0x46304D78},
      {"flt ", 0x666C7420},
      {"fpe2", 0x66706532},
      {"ui8 ", 0x75693820},
      {"ui16", 0x75693136},
      {"F10Ac", 0x46313041},  // only the first four characters count
      {"ab", 0x61620000},     // a shorter text ends at its zero
      {"", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(SmcCode(c.text), c.code) << c.text;
  EXPECT_EQ(kSmcTypeFlt, 0x666C7420u);
  EXPECT_EQ(kSmcTypeFpe2, 0x66706532u);
  EXPECT_EQ(kSmcTypeUi8, 0x75693820u);
  EXPECT_EQ(kSmcTypeUi16, 0x75693136u);
}

TEST(SmcRecordTest, KeyInfoRequestBytes) {
  const SmcParamRecord r = SmcKeyInfoRequest(SmcCode("FNum"));
  uint8_t expected[80] = {};
  expected[0] = 0x6D;  // "FNum" least significant byte first
  expected[1] = 0x75;
  expected[2] = 0x4E;
  expected[3] = 0x46;
  expected[42] = 9;
  for (size_t i = 0; i < 80; ++i) EXPECT_EQ(r.bytes[i], expected[i]) << "offset " << i;
}

TEST(SmcRecordTest, ReadRequestBytes) {
  const SmcParamRecord r = SmcReadRequest(SmcCode("F0Ac"), 0x01020304);
  uint8_t expected[80] = {};
  expected[0] = 0x63;  // 'c'
  expected[1] = 0x41;  // 'A'
  expected[2] = 0x30;  // '0'
  expected[3] = 0x46;  // 'F'
  expected[28] = 0x04;
  expected[29] = 0x03;
  expected[30] = 0x02;
  expected[31] = 0x01;
  expected[42] = 5;
  for (size_t i = 0; i < 80; ++i) EXPECT_EQ(r.bytes[i], expected[i]) << "offset " << i;
}

TEST(SmcRecordTest, DecodesTheFourTypes) {
  const struct {
    uint32_t type;
    std::vector<uint8_t> data;
    float value;
  } cases[] = {
      {kSmcTypeFlt, {0x00, 0x00, 0x96, 0x44}, 1200.0f},
      {kSmcTypeFlt, {0x00, 0x00, 0x80, 0xBF}, -1.0f},
      {kSmcTypeFpe2, {0x12, 0x35}, 1165.0f},  // 0x1235 >> 2; the fraction .25 is dropped
      {kSmcTypeFpe2, {0xFF, 0xFF}, 16383.0f},
      {kSmcTypeUi16, {0x05, 0xDC}, 1500.0f},
      {kSmcTypeUi16, {0xFF, 0xFF}, 65535.0f},
      {kSmcTypeUi8, {0x02}, 2.0f},
      {kSmcTypeUi8, {0xFF, 0x01}, 255.0f},  // one byte only
  };
  for (const auto& c : cases) {
    float value = -7.0f;
    EXPECT_TRUE(DecodeSmcValue(WithData(c.data), c.type, &value)) << std::hex << c.type;
    EXPECT_EQ(value, c.value) << std::hex << c.type;
  }
}

TEST(SmcRecordTest, OtherTypesFailAndLeaveTheValue) {
  const SmcParamRecord r = WithData({0x00, 0x00, 0x96, 0x44});
  for (const char* type : {"", "flt", "FLT ", "fp88", "sp78", "si8 ", "ui32", "flag", "{fds"}) {
    float value = 42.5f;
    EXPECT_FALSE(DecodeSmcValue(r, SmcCode(type), &value)) << type;
    EXPECT_EQ(value, 42.5f) << type;
    EXPECT_EQ(SmcTypeSize(SmcCode(type)), 0u) << type;
  }
}

TEST(SmcRecordTest, EncodeIsTheInverseWithinEachRange) {
  const struct {
    uint32_t type;
    float in;
    float out;  // what decoding gives back
    uint32_t size;
  } cases[] = {
      {kSmcTypeFlt, 1200.0f, 1200.0f, 4},  {kSmcTypeFlt, 0.5f, 0.5f, 4},
      {kSmcTypeFpe2, 1165.0f, 1165.0f, 2}, {kSmcTypeFpe2, 99999.0f, 16383.0f, 2},
      {kSmcTypeUi16, 1500.9f, 1500.0f, 2}, {kSmcTypeUi16, -3.0f, 0.0f, 2},
      {kSmcTypeUi8, 2.0f, 2.0f, 1},        {kSmcTypeUi8, 300.0f, 255.0f, 1},
      {kSmcTypeUi8, NAN, 0.0f, 1},
  };
  for (const auto& c : cases) {
    SmcParamRecord r{};
    EXPECT_EQ(EncodeSmcValue(c.type, c.in, &r), c.size);
    float value = -1.0f;
    ASSERT_TRUE(DecodeSmcValue(r, c.type, &value));
    EXPECT_EQ(value, c.out) << std::hex << c.type << " " << c.in;
    for (size_t i = 0; i < 80; ++i) {
      if (i < kSmcDataOffset || i >= kSmcDataOffset + c.size) {
        EXPECT_EQ(r.bytes[i], 0) << i;
      }
    }
  }
  // The wire bytes of the examples.
  const SmcParamRecord flt = SmcReadResponse(SmcCode("F0Ac"), kSmcTypeFlt, 1200.0f);
  EXPECT_EQ(std::vector<uint8_t>(flt.bytes + 48, flt.bytes + 52),
            (std::vector<uint8_t>{0x00, 0x00, 0x96, 0x44}));
  EXPECT_EQ(LoadSmcField(flt, kSmcDataSizeOffset), 4u);
  SmcParamRecord fpe2{};
  EncodeSmcValue(kSmcTypeFpe2, 1165.0f, &fpe2);
  EXPECT_EQ(fpe2.bytes[48], 0x12);
  EXPECT_EQ(fpe2.bytes[49], 0x34);  // the fraction bits are not invented
  SmcParamRecord other{};
  EXPECT_EQ(EncodeSmcValue(SmcCode("sp78"), 5.0f, &other), 0u);
  for (uint8_t b : other.bytes) EXPECT_EQ(b, 0);
}

// What the decoder must give for `type` from the bytes b, computed apart from the codec.
bool Expected(uint32_t type, const uint8_t* b, float* value) {
  if (type == 0x666C7420) {
    uint32_t bits = b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
    *value = std::bit_cast<float>(bits);
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

TEST(SmcRecordTest, RandomRecordsDecodeOnlyFromTheirDataBytes) {
  std::mt19937 rng(20261205);  // fixed seed: a failure reproduces
  std::uniform_int_distribution<uint32_t> word;
  std::uniform_int_distribution<int> byte(0, 255);
  const uint32_t known[] = {kSmcTypeFlt, kSmcTypeFpe2, kSmcTypeUi8, kSmcTypeUi16};
  int decoded = 0, refused = 0;
  for (int round = 0; round < 20000; ++round) {
    // On the heap at its exact size, so a read past the record trips AddressSanitizer.
    auto record = std::make_unique<SmcParamRecord>();
    for (uint8_t& b : record->bytes) b = static_cast<uint8_t>(byte(rng));
    // Half the rounds one of the four types; the rest zero, a near miss (one of the four with
    // one byte inverted) or any word at all.
    const int pick = round % 8;
    uint32_t type;
    if (pick < 4) {
      type = known[pick];
    } else if (pick == 4) {
      type = 0;
    } else if (pick == 5) {
      type = known[word(rng) % 4] ^ (0xFFu << (8 * (word(rng) % 4)));
    } else {
      type = word(rng);
    }

    const float sentinel = std::bit_cast<float>(word(rng));
    float value = sentinel;
    float want = 0.0f;
    const bool ok = DecodeSmcValue(*record, type, &value);
    ASSERT_EQ(ok, Expected(type, record->bytes + kSmcDataOffset, &want)) << std::hex << type;
    if (!ok) {
      ASSERT_EQ(std::bit_cast<uint32_t>(value), std::bit_cast<uint32_t>(sentinel));
      ++refused;
      continue;
    }
    ++decoded;
    ASSERT_EQ(std::bit_cast<uint32_t>(value), std::bit_cast<uint32_t>(want)) << std::hex << type;

    // Scrambling every byte outside the type's data bytes changes nothing.
    const size_t used = SmcTypeSize(type);
    auto scrambled = std::make_unique<SmcParamRecord>(*record);
    for (size_t i = 0; i < kSmcRecordSize; ++i) {
      if (i < kSmcDataOffset || i >= kSmcDataOffset + used) {
        scrambled->bytes[i] = static_cast<uint8_t>(byte(rng));
      }
    }
    float again = sentinel;
    ASSERT_TRUE(DecodeSmcValue(*scrambled, type, &again));
    ASSERT_EQ(std::bit_cast<uint32_t>(again), std::bit_cast<uint32_t>(value));
  }
  EXPECT_EQ(decoded, 10000);
  EXPECT_EQ(refused, 10000);
}

}  // namespace
}  // namespace ostrel
