// fake_smc_transport.h: an in-memory SMC that answers from a key table and records every
// operation, so tests can check the request bytes, the call order and that every service is
// released and every connection closed. One thread at a time.
#ifndef OSTREL_TESTS_FAKE_SMC_TRANSPORT_H_
#define OSTREL_TESTS_FAKE_SMC_TRANSPORT_H_

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/smc_record.h"
#include "platform/smc_transport.h"

namespace ostrel::testing {

class FakeSmcTransport : public SmcTransport {
 public:
  static constexpr SmcServiceHandle kService = 0x51;
  static constexpr SmcConnectionHandle kConnection = 0xC0;

  // One structure call as it arrived.
  struct Call {
    SmcConnectionHandle connection;
    uint32_t selector;
    SmcParamRecord input;
    size_t input_size;
    SmcParamRecord output_on_entry;  // what the output record held when the call began
    size_t output_size_on_entry;
  };

  // A key holding `value` encoded as `type` (an unknown type leaves the data zero).
  void SetKey(const char* key, uint32_t type, float value) {
    Entry& e = keys_[SmcCode(key)];
    e.type = type;
    e.data = {};
    EncodeSmcValue(type, value, &e.data);
  }
  void FailInfo(const char* key) { keys_[SmcCode(key)].info_fails = true; }
  void FailRead(const char* key) { keys_[SmcCode(key)].read_fails = true; }

  bool has_service = true;  // FindService finds one
  bool open_fails = false;  // Open fails

  SmcServiceHandle FindService(const char* class_name) override {
    events.push_back(std::string("find ") + class_name);
    return has_service ? kService : 0;
  }
  int32_t Open(SmcServiceHandle service, uint32_t type, SmcConnectionHandle* connection) override {
    events.push_back("open " + std::to_string(service) + " type " + std::to_string(type) + " var " +
                     std::to_string(*connection));
    if (open_fails) return kSmcNotOpen;
    *connection = kConnection;
    return kSmcSuccess;
  }
  void ReleaseService(SmcServiceHandle service) override {
    events.push_back("release " + std::to_string(service));
  }
  // Each answer sets *output_size to 0, so the caller must set 80 again before its next call.
  // Like the controller, a read writes only the data bytes.
  int32_t CallStructMethod(SmcConnectionHandle connection, uint32_t selector,
                           const SmcParamRecord* input, size_t input_size, SmcParamRecord* output,
                           size_t* output_size) override {
    calls.push_back(Call{connection, selector, *input, input_size, *output, *output_size});
    events.push_back("call");
    auto it = keys_.find(LoadSmcField(*input, kSmcKeyOffset));
    if (it == keys_.end()) return kSmcNotFound;
    const Entry& e = it->second;
    const uint8_t command = input->bytes[kSmcCommandOffset];
    if (command == kSmcKeyInfoCommand && !e.info_fails) {
      *output = SmcKeyInfoResponse(it->first, SmcTypeSize(e.type), e.type);
    } else if (command == kSmcReadCommand && !e.read_fails) {
      std::memcpy(output->bytes + kSmcDataOffset, e.data.bytes + kSmcDataOffset, kSmcDataCapacity);
    } else {
      return kSmcNotReadable;
    }
    *output_size = 0;
    return kSmcSuccess;
  }
  void Close(SmcConnectionHandle connection) override {
    events.push_back("close " + std::to_string(connection));
  }

  std::vector<Call> calls;          // every structure call, in order
  std::vector<std::string> events;  // every operation, in order

 private:
  struct Entry {
    uint32_t type = 0;         // answered by key information
    SmcParamRecord data = {};  // data bytes a read copies out
    bool info_fails = false;
    bool read_fails = false;
  };

  std::map<uint32_t, Entry> keys_;  // by key code
};

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_FAKE_SMC_TRANSPORT_H_
