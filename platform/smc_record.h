// smc_record.h: the system management controller's (SMC) request and response record, and the
// codes and value encodings carried in it.
//
// The record is the wire format of the SMC transport: the fan reader builds requests and decodes
// responses with these functions, and the Linux transport builds its responses with the same
// ones, so both sides agree on every byte. Everything here is a pure function over caller-owned
// records: no state, safe on any thread.
#ifndef OSTREL_PLATFORM_SMC_RECORD_H_
#define OSTREL_PLATFORM_SMC_RECORD_H_

#include <stddef.h>
#include <stdint.h>

#include <optional>

namespace ostrel {

// Layout of the 80-byte record. 32-bit fields are stored least significant byte first; every
// byte not named here is zero in a request.
constexpr size_t kSmcRecordSize = 80;
constexpr size_t kSmcKeyOffset = 0;        // key code, 4 bytes
constexpr size_t kSmcDataSizeOffset = 28;  // data size in bytes, 4 bytes
constexpr size_t kSmcTypeOffset = 32;      // type code, 4 bytes
constexpr size_t kSmcCommandOffset = 42;   // command, 1 byte
constexpr size_t kSmcDataOffset = 48;      // data bytes, 32 bytes
constexpr size_t kSmcDataCapacity = 32;

// Commands (the byte at kSmcCommandOffset).
constexpr uint8_t kSmcReadCommand = 5;     // read a key's value
constexpr uint8_t kSmcKeyInfoCommand = 9;  // ask a key's data size and type

// One record, exactly as it travels: a plain byte image, so its layout never depends on the
// compiler's structure padding or on the host's byte order.
struct SmcParamRecord {
  uint8_t bytes[kSmcRecordSize];  // the wire image; offsets as above
};
static_assert(sizeof(SmcParamRecord) == kSmcRecordSize, "the record is exactly 80 bytes");

// Packs four characters with the first in the most significant byte: "FNum" -> 0x464E756D.
// Reads at most four bytes of `text` and stops at a terminating zero; missing characters count
// as zero bytes. Used for both key codes and type codes.
constexpr uint32_t SmcCode(const char* text) {
  uint32_t code = 0;
  bool ended = false;
  for (int i = 0; i < 4; ++i) {
    ended = ended || text[i] == '\0';
    code = (code << 8) | (ended ? 0u : static_cast<uint8_t>(text[i]));
  }
  return code;
}

// Type codes of the values this system decodes.
constexpr uint32_t kSmcTypeFlt = SmcCode("flt ");   // IEEE-754 single, least significant first
constexpr uint32_t kSmcTypeFpe2 = SmcCode("fpe2");  // unsigned 14.2 fixed point, big-endian
constexpr uint32_t kSmcTypeUi8 = SmcCode("ui8 ");   // unsigned 8-bit
constexpr uint32_t kSmcTypeUi16 = SmcCode("ui16");  // unsigned 16-bit, big-endian

// 32-bit little-endian field access; `offset` + 4 must not exceed kSmcRecordSize.
uint32_t LoadSmcField(const SmcParamRecord& record, size_t offset);
void StoreSmcField(SmcParamRecord* record, size_t offset, uint32_t value);

// The key-information request for `key`: all zero but the key code and command 9.
SmcParamRecord SmcKeyInfoRequest(uint32_t key);
// The read request for `key`: all zero but the key code, `data_size` and command 5.
SmcParamRecord SmcReadRequest(uint32_t key, uint32_t data_size);

// Decodes the value in the data bytes (offsets 48 to 51) of a read response by `type`:
// "flt " from 4 bytes, "fpe2" and "ui16" from 2, "ui8 " from 1; nothing for any other type (zero
// included). Reads nothing else of the record: the data size field is not consulted.
std::optional<float> DecodeSmcValue(const SmcParamRecord& response, uint32_t type);

// The data size of a value of `type` (4, 2, 2, 1), or 0 for a type DecodeSmcValue refuses.
uint32_t SmcTypeSize(uint32_t type);

// The inverse of DecodeSmcValue, for the side that answers: writes `value` into the data bytes
// as `type` and returns the data size. Integer types take the value truncated toward zero and
// clamped to their range ("ui8 " 0..255, "ui16" 0..65535, "fpe2" 0..16383; NaN gives 0), so
// the answer is always a value the type can carry. Returns 0 and writes nothing for any other
// type.
uint32_t EncodeSmcValue(uint32_t type, float value, SmcParamRecord* record);

// The answer to a key-information request: key code, data size and type code, the rest zero.
SmcParamRecord SmcKeyInfoResponse(uint32_t key, uint32_t data_size, uint32_t type);
// The answer to a read request: key code, data size and the value encoded as `type`, the rest
// zero. `type` must be one of the four decodable types (otherwise the data stays zero and the
// size 0).
SmcParamRecord SmcReadResponse(uint32_t key, uint32_t type, float value);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_SMC_RECORD_H_
