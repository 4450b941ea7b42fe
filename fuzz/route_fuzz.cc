// route_fuzz.cc: libFuzzer target for request decoding and routing. Each input is one read of a
// connection (at most 8192 bytes, as the listener takes them). It is decoded as the listener
// does (well-formed UTF-8 or the empty text) and routed by a server whose readers report
// nothing, and the Unicode helpers' promises are checked on the same bytes:
// - route answers with the snapshot document or the login-item answer, never anything else,
//   and the login-item answer tells the state the (fake) login item ends up in;
// - ToValidUtf8 always gives well-formed UTF-8 and leaves well-formed text as it is;
// - the clusters of a well-formed text cover it exactly, in order, none of them empty.
// Any broken promise aborts, which libFuzzer reports as a crash with the input saved.
#include <stddef.h>
#include <stdint.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "server/listener.h"
#include "server/sensor_server.h"
#include "server/text.h"

namespace {

// A login item that keeps the last state it was set to, and logs nowhere.
class MemoryLoginItem final : public ostrel::LoginItemService, public ostrel::LogSink {
 public:
  ostrel::Status Register() override { return enabled_ = true, ostrel::Status::Ok(); }
  ostrel::Status Unregister() override { return enabled_ = false, ostrel::Status::Ok(); }
  ostrel::LoginItemStatus GetStatus() override {
    return enabled_ ? ostrel::LoginItemStatus::kEnabled : ostrel::LoginItemStatus::kNotRegistered;
  }
  void Write(std::string_view) override {}
  bool enabled() const { return enabled_; }

 private:
  bool enabled_ = false;  // the state last set; one fuzzing thread only
};

ostrel::SensorServer::Readers NoReaders() {
  ostrel::SensorServer::Readers readers;
  readers.temps = [](OstrelTemp*, int32_t) { return 0; };
  readers.fans = [](OstrelFan*, int32_t) { return 0; };
  readers.power = [](double*, double*, double*, double*) { return -1; };
  return readers;
}

void Check(bool promise) {
  if (!promise) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > ostrel::Listener::kMaxRequest) return 0;
  static MemoryLoginItem login;
  static ostrel::SensorServer server({login, login}, 0, NoReaders());

  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const bool valid = ostrel::IsValidUtf8(bytes);

  const std::string body = server.route(valid ? bytes : std::string_view());
  // Both documents tell the login item's state after the request.
  const std::string login_answer =
      std::string("{\"ok\":true,\"loginItem\":") + (login.enabled() ? "true" : "false") + "}";
  Check(body == server.snapshotJSON() || body == login_answer);

  const std::string repaired = ostrel::ToValidUtf8(bytes);
  Check(ostrel::IsValidUtf8(repaired));
  if (valid) Check(repaired == bytes);

  if (valid) {
    ostrel::ClusterCursor cursor(bytes);
    std::string_view cluster;
    size_t covered = 0;
    while (cursor.Next(&cluster)) {
      Check(!cluster.empty() && cluster.data() == bytes.data() + covered);
      covered += cluster.size();
    }
    Check(covered == bytes.size());
  }
  return 0;
}
