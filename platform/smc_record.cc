// smc_record.cc: byte-exact building and reading of SMC records.
#include "platform/smc_record.h"

#include <bit>

namespace ostrel {
namespace {

// Truncates toward zero and clamps to [0, max]; NaN gives 0.
uint32_t ClampedWhole(float value, uint32_t max) {
  if (!(value > 0.0f)) return 0;  // also NaN
  if (value >= static_cast<float>(max)) return max;
  return static_cast<uint32_t>(value);
}

}  // namespace

uint32_t LoadSmcField(const SmcParamRecord& record, size_t offset) {
  const uint8_t* p = record.bytes + offset;
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void StoreSmcField(SmcParamRecord* record, size_t offset, uint32_t value) {
  uint8_t* p = record->bytes + offset;
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

SmcParamRecord SmcKeyInfoRequest(uint32_t key) {
  SmcParamRecord record{};
  StoreSmcField(&record, kSmcKeyOffset, key);
  record.bytes[kSmcCommandOffset] = kSmcKeyInfoCommand;
  return record;
}

SmcParamRecord SmcReadRequest(uint32_t key, uint32_t data_size) {
  SmcParamRecord record{};
  StoreSmcField(&record, kSmcKeyOffset, key);
  StoreSmcField(&record, kSmcDataSizeOffset, data_size);
  record.bytes[kSmcCommandOffset] = kSmcReadCommand;
  return record;
}

std::optional<float> DecodeSmcValue(const SmcParamRecord& response, uint32_t type) {
  const uint8_t* b = response.bytes + kSmcDataOffset;
  switch (type) {
    case kSmcTypeFlt:
      return std::bit_cast<float>(LoadSmcField(response, kSmcDataOffset));
    case kSmcTypeFpe2:
      // 14 whole bits then 2 fraction bits, most significant byte first; the fraction is dropped.
      return static_cast<float>((static_cast<uint32_t>(b[0]) << 8 | b[1]) >> 2);
    case kSmcTypeUi8:
      return static_cast<float>(b[0]);
    case kSmcTypeUi16:
      return static_cast<float>(static_cast<uint32_t>(b[0]) << 8 | b[1]);
    default:
      return std::nullopt;
  }
}

uint32_t SmcTypeSize(uint32_t type) {
  switch (type) {
    case kSmcTypeFlt:
      return 4;
    case kSmcTypeFpe2:
    case kSmcTypeUi16:
      return 2;
    case kSmcTypeUi8:
      return 1;
    default:
      return 0;
  }
}

uint32_t EncodeSmcValue(uint32_t type, float value, SmcParamRecord* record) {
  uint8_t* b = record->bytes + kSmcDataOffset;
  switch (type) {
    case kSmcTypeFlt:
      StoreSmcField(record, kSmcDataOffset, std::bit_cast<uint32_t>(value));
      break;
    case kSmcTypeFpe2: {
      const uint32_t raw = ClampedWhole(value, 16383) << 2;
      b[0] = static_cast<uint8_t>(raw >> 8);
      b[1] = static_cast<uint8_t>(raw);
      break;
    }
    case kSmcTypeUi8:
      b[0] = static_cast<uint8_t>(ClampedWhole(value, 255));
      break;
    case kSmcTypeUi16: {
      const uint32_t whole = ClampedWhole(value, 65535);
      b[0] = static_cast<uint8_t>(whole >> 8);
      b[1] = static_cast<uint8_t>(whole);
      break;
    }
    default:
      return 0;
  }
  return SmcTypeSize(type);
}

SmcParamRecord SmcKeyInfoResponse(uint32_t key, uint32_t data_size, uint32_t type) {
  SmcParamRecord record{};
  StoreSmcField(&record, kSmcKeyOffset, key);
  StoreSmcField(&record, kSmcDataSizeOffset, data_size);
  StoreSmcField(&record, kSmcTypeOffset, type);
  return record;
}

SmcParamRecord SmcReadResponse(uint32_t key, uint32_t type, float value) {
  SmcParamRecord record{};
  StoreSmcField(&record, kSmcKeyOffset, key);
  StoreSmcField(&record, kSmcDataSizeOffset, EncodeSmcValue(type, value, &record));
  return record;
}

}  // namespace ostrel
