// fake_smc_transport.h: an in-memory SMC that answers from a key table and records every
// operation it is asked, so tests can check the exact request bytes, the call order and that
// every service is released and every connection closed. One thread at a time.
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
    SmcConnectionHandle connection;  // the handle passed
    uint32_t selector;               // the selector passed
    SmcParamRecord input;            // the request bytes
    size_t input_size;               // the request size passed
    SmcParamRecord output_on_entry;  // what the output record held when the call began
    size_t output_size_on_entry;     // *output_size when the call began
  };

  // A key whose value is `value` encoded as `type` (type 0 or an unknown type: zero data).
  void SetKey(const char* key, uint32_t type, float value) {
    Entry& e = keys_[SmcCode(key)];
    e.type = type;
    e.data = SmcParamRecord{};
    EncodeSmcValue(type, value, &e.data);
    e.size = SmcTypeSize(type);
  }
  // A key whose key-information call fails.
  void FailInfo(const char* key) { keys_[SmcCode(key)].info_fails = true; }
  // A key whose read call fails (its key-information call still succeeds).
  void FailRead(const char* key) { keys_[SmcCode(key)].read_fails = true; }

  void set_has_service(bool has) { has_service_ = has; }
  void set_open_fails(bool fails) { open_fails_ = fails; }

  SmcServiceHandle FindService(const char* class_name) override {
    events_.push_back(std::string("find ") + class_name);
    return has_service_ ? kService : 0;
  }
  int32_t Open(SmcServiceHandle service, uint32_t type, SmcConnectionHandle* connection) override {
    events_.push_back("open " + std::to_string(service) + " type " + std::to_string(type) +
                      " var " + std::to_string(*connection));
    if (open_fails_) return kSmcNotOpen;
    *connection = kConnection;
    return kSmcSuccess;
  }
  void ReleaseService(SmcServiceHandle service) override {
    events_.push_back("release " + std::to_string(service));
  }
  int32_t CallStructMethod(SmcConnectionHandle connection, uint32_t selector,
                           const SmcParamRecord* input, size_t input_size, SmcParamRecord* output,
                           size_t* output_size) override {
    calls_.push_back(Call{connection, selector, *input, input_size, *output, *output_size});
    events_.push_back("call");
    // Each answer leaves a wrong size behind: the caller must set 80 again before its next call.
    auto it = keys_.find(LoadSmcField(*input, kSmcKeyOffset));
    if (it == keys_.end()) return kSmcNotFound;
    const Entry& e = it->second;
    switch (input->bytes[kSmcCommandOffset]) {
      case kSmcKeyInfoCommand:
        if (e.info_fails) return kSmcNotFound;
        *output = SmcKeyInfoResponse(LoadSmcField(*input, kSmcKeyOffset), e.size, e.type);
        *output_size = 0;
        return kSmcSuccess;
      case kSmcReadCommand:
        if (e.read_fails) return kSmcNotReadable;
        // Like the controller, only the data bytes are written by a read; the rest of the
        // output record keeps what the caller left in it.
        std::memcpy(output->bytes + kSmcDataOffset, e.data.bytes + kSmcDataOffset,
                    kSmcDataCapacity);
        *output_size = 0;
        return kSmcSuccess;
      default:
        return kSmcBadArgument;
    }
  }
  void Close(SmcConnectionHandle connection) override {
    events_.push_back("close " + std::to_string(connection));
  }

  const std::vector<Call>& calls() const { return calls_; }
  const std::vector<std::string>& events() const { return events_; }
  int Count(const std::string& event) const {
    int n = 0;
    for (const std::string& e : events_) n += e == event;
    return n;
  }

 private:
  // One key of the table.
  struct Entry {
    uint32_t type = 0;        // type code answered by key information
    uint32_t size = 0;        // data size answered by key information
    SmcParamRecord data{};    // data bytes a read copies out
    bool info_fails = false;  // key information fails
    bool read_fails = false;  // read fails
  };

  std::map<uint32_t, Entry> keys_;   // by key code
  bool has_service_ = true;          // FindService finds one
  bool open_fails_ = false;          // Open fails
  std::vector<Call> calls_;          // every structure call, in order
  std::vector<std::string> events_;  // every operation, in order
};

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_FAKE_SMC_TRANSPORT_H_
