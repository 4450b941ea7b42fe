// smc_record_fuzz.cc: libFuzzer target for the SMC record decoder and the fan reader that
// relies on it.
// - DecodeSmcValue, over any 80-byte record and any type code (the first 4 input bytes pick
//   it: one of the four decodable types or the raw code): it decodes exactly the types that
//   SmcTypeSize knows, leaves the value untouched otherwise, looks at no byte outside the data
//   bytes 48 to 51, gives whole numbers in range for the integer types, and decoding what
//   SmcReadResponse encodes from a decoded value gives the same value back.
// - ReadFans over a transport whose every structure call answers with the next bytes of the
//   input (a result byte, then a response record): whatever the controller says, the reader
//   asks only well-formed requests, reports at most min(capacity, 10) fans numbered from 0,
//   writes no record past its count, and closes every connection it opened.
// Any broken promise aborts, which libFuzzer reports as a crash with the input saved.
#include <stddef.h>
#include <stdint.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/smc_record.h"
#include "platform/smc_transport.h"
#include "sensors/fans.h"

namespace {

using ostrel::SmcParamRecord;

void Check(bool promise) {
  if (!promise) std::abort();
}

bool SameValue(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Hands out input bytes in order; zeros once they run out.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Next() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool empty() const { return pos_ >= size_; }
  void Fill(uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = Next();
  }

 private:
  const uint8_t* data_;  // the fuzz input, borrowed
  size_t size_;          // its length
  size_t pos_ = 0;       // next byte to hand out
};

void CheckDecoder(Bytes& in) {
  static constexpr uint32_t kTypes[] = {ostrel::kSmcTypeFlt, ostrel::kSmcTypeFpe2,
                                        ostrel::kSmcTypeUi8, ostrel::kSmcTypeUi16};
  uint32_t type = 0;
  for (int i = 0; i < 4; ++i) type = (type << 8) | in.Next();
  if ((type >> 24) < 4) type = kTypes[type >> 24];  // most inputs test a decodable type
  SmcParamRecord record;
  in.Fill(record.bytes, sizeof record.bytes);

  const std::optional<float> decoded = ostrel::DecodeSmcValue(record, type);
  Check(decoded.has_value() == (ostrel::SmcTypeSize(type) != 0));
  if (!decoded) return;
  const float value = *decoded;
  // Only the data bytes 48 to 51 count.
  SmcParamRecord other = record;
  for (size_t i = 0; i < sizeof other.bytes; ++i) {
    if (i < ostrel::kSmcDataOffset || i >= ostrel::kSmcDataOffset + 4) other.bytes[i] ^= 0xA5;
  }
  std::optional<float> again = ostrel::DecodeSmcValue(other, type);
  Check(again && SameValue(*again, value));

  if (type == ostrel::kSmcTypeUi8) Check(value >= 0.0f && value <= 255.0f);
  if (type == ostrel::kSmcTypeUi16) Check(value >= 0.0f && value <= 65535.0f);
  if (type == ostrel::kSmcTypeFpe2) Check(value >= 0.0f && value <= 16383.0f);
  if (type != ostrel::kSmcTypeFlt) Check(value == std::trunc(value));

  const SmcParamRecord encoded = ostrel::SmcReadResponse(ostrel::SmcCode("F0Ac"), type, value);
  again = ostrel::DecodeSmcValue(encoded, type);
  Check(again && SameValue(*again, value));
}

// A controller whose answers come from the fuzz input.
class ScriptedSmc : public ostrel::SmcTransport {
 public:
  explicit ScriptedSmc(Bytes& in) : in_(in) {}

  ostrel::SmcServiceHandle FindService(const char* class_name) override {
    Check(std::strcmp(class_name, "AppleSMC") == 0);
    services_++;
    return 7;
  }
  int32_t Open(ostrel::SmcServiceHandle service, uint32_t type,
               ostrel::SmcConnectionHandle* connection) override {
    Check(service == 7 && type == ostrel::kSmcConnectionType);
    if (in_.Next() == 0xFF) return ostrel::kSmcNotOpen;
    connections_++;
    *connection = 9;
    return ostrel::kSmcSuccess;
  }
  void ReleaseService(ostrel::SmcServiceHandle service) override {
    Check(service == 7);
    services_--;
  }
  int32_t CallStructMethod(ostrel::SmcConnectionHandle connection, uint32_t selector,
                           const SmcParamRecord* input, size_t input_size, SmcParamRecord* output,
                           size_t* output_size) override {
    Check(connection == 9 && connections_ == 1 && selector == ostrel::kSmcStructSelector);
    Check(input_size == ostrel::kSmcRecordSize && *output_size >= ostrel::kSmcRecordSize);
    const uint8_t command = input->bytes[ostrel::kSmcCommandOffset];
    Check(command == ostrel::kSmcKeyInfoCommand || command == ostrel::kSmcReadCommand);
    // A key is "FNum" or "F<digit>Ac", "F<digit>Mn", "F<digit>Mx".
    const uint32_t key = ostrel::LoadSmcField(*input, ostrel::kSmcKeyOffset);
    const char k[4] = {char(key >> 24), char(key >> 16), char(key >> 8), char(key)};
    const bool fan_key =
        k[0] == 'F' && k[1] >= '0' && k[1] <= '9' &&
        ((k[2] == 'A' && k[3] == 'c') || (k[2] == 'M' && (k[3] == 'n' || k[3] == 'x')));
    Check(key == ostrel::SmcCode("FNum") || fan_key);
    if (in_.empty()) return ostrel::kSmcNotFound;
    const uint8_t result = in_.Next();
    in_.Fill(output->bytes, sizeof output->bytes);
    return result < 200 ? ostrel::kSmcSuccess : ostrel::kSmcNotReadable;
  }
  void Close(ostrel::SmcConnectionHandle connection) override {
    Check(connection == 9);
    connections_--;
  }

  int services() const { return services_; }
  int connections() const { return connections_; }

 private:
  Bytes& in_;            // the answers
  int services_ = 0;     // found and not released
  int connections_ = 0;  // opened and not closed
};

void CheckReader(Bytes& in) {
  const int32_t capacity = static_cast<int32_t>(in.Next() % 16);
  OstrelFan fans[16];
  std::memset(fans, 0xCD, sizeof fans);
  ScriptedSmc smc(in);
  const int32_t count = ostrel::ReadFans(smc, fans, capacity);
  Check(count >= 0 && count <= capacity && count <= ostrel::kMaxKeyedFans);
  Check(smc.services() == 0 && smc.connections() == 0);
  for (int32_t n = 0; n < count; ++n) Check(fans[n].index == n);
  OstrelFan untouched;
  std::memset(&untouched, 0xCD, sizeof untouched);
  for (int32_t n = count; n < 16; ++n)
    Check(std::memcmp(&fans[n], &untouched, sizeof untouched) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes in(data, size);
  if (in.Next() & 1) {
    CheckDecoder(in);
  } else {
    CheckReader(in);
  }
  return 0;
}
