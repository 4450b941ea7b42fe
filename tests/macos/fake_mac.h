// fake_mac.h: the macOS libraries faked behind the layers' resolver (C functions and one
// objc_msgSend per signature), each call appended to `log`; the destructor fails the test for any
// object not released exactly once. One FakeMac at a time, on one thread (reached via a global).
#ifndef OSTREL_TESTS_MACOS_FAKE_MAC_H_
#define OSTREL_TESTS_MACOS_FAKE_MAC_H_

#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/macos/symbol_resolver.h"
#include "tests/fakes.h"

namespace ostrel::macos::testing {

// One object of the fake system: a CF object, or an Objective-C class or instance.
struct FakeObject {
  std::string name, text;          // how the log shows it; a string's or URL's text
  double value = 0;                // an event's temperature; an array item's index
  int refs = 1;                    // references owned by the code under test or by holders
  std::vector<FakeObject*> holds;  // objects this one keeps a reference to
};

class FakeMac final : public SymbolResolver {
 public:
  FakeMac();
  ~FakeMac() override;
  static inline FakeMac* current = nullptr;  // the live fake, for the fake functions
  void* Open(const char* path) override;
  void* Symbol(void* library, const char* name) override;
  void* Messenger(void* library, const char* types) override;
  FakeObject* New(const std::string& kind, const std::string& text = "", int refs = 1);
  void Release(FakeObject* object);
  FakeObject* Shared(const std::string& name);  // a class or shared instance: borrowed
  void Log(const std::string& line) { log += (log.empty() ? "" : " ") + line; }

  std::set<std::string> missing;  // library paths, symbols and classes that don't exist
  std::vector<std::pair<std::optional<std::string>, std::optional<double>>> hid;  // name, °C
  ostrel::testing::FakeSmc smc;                        // answers the IOKit user-client calls
  std::vector<ostrel::testing::FakeChannel> channels;  // the channels of every energy delta
  std::deque<double> clock;                            // CFAbsoluteTimeGetCurrent's answers
  std::deque<int32_t> breaks;                          // ubrk_next's answers
  std::map<std::string, long> answers;                 // what runModal and status answer
  std::optional<std::string> app_url, error;  // the installed app; what register fails with
  std::string log;
  int pools = 0;                         // autorelease pools pushed, not yet popped
  void* did_finish_launching = nullptr;  // the method the delegate class was given
  FakeObject* delegate = nullptr;        // set with setDelegate:
  std::deque<FakeObject> objects;        // everything made, at stable addresses
  std::set<std::string> interned;        // library paths and selector names
  std::map<std::string, int> counters;   // how many of each kind were made
  std::map<std::string, FakeObject*> shared;
};

}  // namespace ostrel::macos::testing

#endif  // OSTREL_TESTS_MACOS_FAKE_MAC_H_
