// fake_mac.h: a recorded stand-in for the macOS libraries, behind the macOS layers' resolver.
//
// FakeMac is a SymbolResolver whose symbols are fake functions of the exact types of mac_api.h
// (CoreFoundation, the HID event system, IOKit services, libIOReport, the Objective-C runtime,
// NSLog) and whose objc_msgSend is one fake per message signature. Every call is appended to
// `log` as one line, "Function(arguments)=result" or "[receiver selector arguments]=result".
// Objects are counted: each created object starts with one reference, containers hold their
// own, and the destructor fails the test for any object not released exactly once. The SMC
// service is a FakeSmc; the HID services, IOReport channels and Objective-C answers
// are scripted below. One FakeMac at a time, on one thread: the fake functions reach it
// through a process-wide pointer.
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

// One object of the fake system (a CF object, or an Objective-C class or instance).
struct FakeObject {
  std::string name;                // how the log shows it: kind and number, or @"text"
  std::string text;                // a string's or URL's text; a class's name
  double value = 0;                // an event's temperature; a channel's or service's index
  int refs = 1;                    // references owned by the code under test or containers
  std::vector<FakeObject*> holds;  // objects this one keeps a reference to
};

// A HID temperature service: its "Product" name (none: no property) and temperature (none: no
// event).
struct FakeHidService {
  std::optional<std::string> product;
  std::optional<double> celsius;
};

// Lines of the log, and their concatenation, for expected sequences built from parts.
using Lines = std::vector<std::string>;
inline Lines operator+(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class FakeMac final : public SymbolResolver {
 public:
  FakeMac();
  ~FakeMac() override;  // fails the test for every object not released exactly once
  static FakeMac& Current();

  void* Open(const char* path) override;
  void* Symbol(void* library, const char* name) override;
  void* Messenger(void* library, const char* types) override;

  // --- Script ---
  std::set<std::string> missing;  // library paths, symbol and class names that don't exist
  bool client_fails = false;      // IOHIDEventSystemClientCreate answers null
  bool services_fail = false;     // IOHIDEventSystemClientCopyServices answers null
  std::vector<FakeHidService> hid;
  ostrel::testing::FakeSmc smc;      // answers the IOKit service and user-client calls
  bool group = true;                 // IOReportCopyChannelsInGroup finds channels
  bool subscription = true;          // IOReportCreateSubscription succeeds
  bool hands_back = false;           // ... and hands back a channel set of its own
  std::deque<bool> samples, deltas;  // outcomes of IOReportCreateSamples / ...Delta (empty: ok)
  std::deque<double> clock;          // CFAbsoluteTimeGetCurrent answers (empty: 0)
  std::vector<ostrel::testing::FakeChannel> channels;  // the channels of every delta
  long modal_response = 1000;                          // -[NSAlert runModal]
  std::optional<std::string> app_url;                  // URLForApplicationWithBundleIdentifier:
  std::optional<std::string> login_error;              // register/unregister fail with this text
  long login_status = 0;                               // -[SMAppService status]

  // --- Observations ---
  Lines log;           // every call, in order
  int pool_depth = 0;  // autorelease pools pushed and not yet popped

  // Shared by the fake functions.
  FakeObject* New(const std::string& kind, std::string text = "", int refs = 1);
  FakeObject* String(const std::string& text, int refs = 1);
  void Release(FakeObject* object);
  std::string Name(const void* object) const;
  void Log(std::string line) { log.push_back(std::move(line)); }
  // The one object named `name` that the system keeps (a class, a shared instance): borrowed.
  FakeObject* Shared(const std::string& name);
  const char* Intern(const std::string& text) { return interned_.insert(text).first->c_str(); }
  void* did_finish_launching = nullptr;  // the method a class was given for it
  FakeObject* delegate = nullptr;        // set with setDelegate:

 private:
  std::deque<FakeObject> objects_;             // everything made, at stable addresses
  std::set<std::string> interned_;             // library paths and selector names
  std::map<std::string, int> counters_;        // numbers the objects of each kind
  std::map<std::string, FakeObject*> shared_;  // by name
};

}  // namespace ostrel::macos::testing

#endif  // OSTREL_TESTS_MACOS_FAKE_MAC_H_
