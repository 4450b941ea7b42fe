// fake_mac.cc: the fake functions of fake_mac.h and their table.
#include "tests/macos/fake_mac.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "platform/macos/mac_api.h"

namespace ostrel::macos::testing {
namespace {

FakeMac* g_current = nullptr;
FakeMac& F() { return FakeMac::Current(); }
FakeObject* O(const void* p) { return static_cast<FakeObject*>(const_cast<void*>(p)); }
template <typename Ref>
Ref R(const void* o) {
  return reinterpret_cast<Ref>(const_cast<void*>(o));
}
std::string Hex(unsigned long v) {
  char text[32];
  snprintf(text, sizeof text, "0x%lx", v);
  return text;
}
std::string Quote(const std::string& s) { return "\"" + s + "\""; }

// An argument or answer as the log shows it: objects by name, numbers in decimal.
std::string T(const std::string& s) { return s; }
std::string T(const char* s) { return s; }
template <typename P>
std::string T(P* object) {
  return F().Name(object);
}
template <typename V>
requires std::is_arithmetic_v<V> std::string T(V v) {
  if constexpr (std::is_integral_v<V>) return std::to_string(v + 0);
  char text[32];
  snprintf(text, sizeof text, "%g", static_cast<double>(v));
  return text;
}
// "function(argument,...)".
template <typename... A>
std::string Call(const char* function, const A&... arguments) {
  std::string call = std::string(function) + "(";
  ((call += T(arguments) + ","), ...);
  if (sizeof...(arguments) > 0) call.pop_back();
  return call + ")";
}
// Logs `call` with its answer and returns the answer.
template <typename V>
V Ret(const std::string& call, V answer) {
  F().Log(call + "=" + T(answer));
  return answer;
}

// The frameworks' variables, each a FakeObject so that the log can name it.
FakeObject g_allocator{"default", "", 0, 0, {}};
CFAllocatorRef g_allocator_default = R<CFAllocatorRef>(&g_allocator);
FakeObject g_key_callbacks{"keys", "", 0, 0, {}}, g_value_callbacks{"values", "", 0, 0, {}};
FakeObject g_stack_block{"stackblock", "", 0, 0, {}};
FakeObject g_protocol{"NSApplicationDelegate", "", 0, 0, {}};
mach_port_t g_main_port = 0;  // kIOMainPortDefault
mach_port_t g_task = 0x103;   // mach_task_self_

// The next scripted outcome of `queue` (success when it is empty).
bool Next(std::deque<bool>& queue) {
  const bool ok = queue.empty() || queue.front();
  if (!queue.empty()) queue.pop_front();
  return ok;
}
// A new object of `kind` holding `count` new objects of `item_kind`, numbered by `value`.
FakeObject* Holder(const char* kind, const char* item_kind, size_t count) {
  FakeObject* holder = F().New(kind);
  for (size_t i = 0; i < count; ++i) {
    holder->holds.push_back(F().New(item_kind));  // the holder's reference
    holder->holds.back()->value = static_cast<double>(i);
  }
  return holder;
}

// --- CoreFoundation ---
void CFRelease(CFTypeRef o) {
  F().Log(Call("CFRelease", o));
  F().Release(O(o));
}
CFNumberRef CFNumberCreate(CFAllocatorRef a, CFNumberType type, const void* value) {
  FakeObject* n = F().New("number", std::to_string(*static_cast<const int32_t*>(value)));
  return Ret(Call("CFNumberCreate", a, type, n->text), R<CFNumberRef>(n));
}
CFDictionaryRef CFDictionaryCreate(CFAllocatorRef a, const void** keys, const void** values,
                                   CFIndex count, const CFDictionaryKeyCallBacks* kc,
                                   const CFDictionaryValueCallBacks* vc) {
  FakeObject* d = F().New("dict");
  std::string k = "[", v = "[";
  for (CFIndex i = 0; i < count; ++i) {
    for (const void* o : {keys[i], values[i]}) d->holds.push_back(O(o)), ++O(o)->refs;
    k += (i ? "," : "") + T(keys[i]), v += (i ? "," : "") + T(values[i]);
  }
  return Ret(Call("CFDictionaryCreate", a, k + "]", v + "]", count, kc, vc), R<CFDictionaryRef>(d));
}
CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef a, CFIndex n,
                                                     CFDictionaryRef d) {
  return Ret(Call("CFDictionaryCreateMutableCopy", a, n, d),
             R<CFMutableDictionaryRef>(F().New("channels")));
}
CFIndex CFArrayGetCount(CFArrayRef a) {
  return Ret(Call("CFArrayGetCount", a), static_cast<CFIndex>(O(a)->holds.size()));
}
const void* CFArrayGetValueAtIndex(CFArrayRef a, CFIndex i) {
  return Ret(Call("CFArrayGetValueAtIndex", a, i), static_cast<const void*>(O(a)->holds.at(i)));
}
CFStringRef CFStringCreateWithCString(CFAllocatorRef a, const char* text, CFStringEncoding e) {
  F().Log(Call("CFStringCreateWithCString", a, Quote(text), Hex(e)));
  return R<CFStringRef>(F().String(text));
}
Boolean CFStringGetCString(CFStringRef s, char* buffer, CFIndex size, CFStringEncoding e) {
  const std::string& text = O(s)->text;
  const bool fits = static_cast<CFIndex>(text.size()) < size;
  if (fits) memcpy(buffer, text.c_str(), text.size() + 1);
  return Ret(Call("CFStringGetCString", s, size, Hex(e)), static_cast<Boolean>(fits));
}
CFAbsoluteTime CFAbsoluteTimeGetCurrent() {
  const double now = F().clock.empty() ? 0 : F().clock.front();
  if (!F().clock.empty()) F().clock.pop_front();
  return Ret(Call("CFAbsoluteTimeGetCurrent"), now);
}

// --- The HID event system ---
IOHIDEventSystemClientRef IOHIDEventSystemClientCreate(CFAllocatorRef a) {
  return Ret(Call("IOHIDEventSystemClientCreate", a),
             R<IOHIDEventSystemClientRef>(F().client_fails ? nullptr : F().New("client")));
}
int IOHIDEventSystemClientSetMatching(IOHIDEventSystemClientRef c, CFDictionaryRef d) {
  F().Log(Call("IOHIDEventSystemClientSetMatching", c, d));
  return 1;
}
CFArrayRef IOHIDEventSystemClientCopyServices(IOHIDEventSystemClientRef c) {
  FakeObject* a = F().services_fail ? nullptr : Holder("array", "service", F().hid.size());
  return Ret(Call("IOHIDEventSystemClientCopyServices", c), R<CFArrayRef>(a));
}
const FakeHidService& Hid(IOHIDServiceClientRef s) { return F().hid.at(O(s)->value); }
CFTypeRef IOHIDServiceClientCopyProperty(IOHIDServiceClientRef s, CFStringRef key) {
  const auto& product = Hid(s).product;
  return Ret(Call("IOHIDServiceClientCopyProperty", s, key),
             R<CFTypeRef>(product && O(key)->text == "Product" ? F().String(*product) : nullptr));
}
IOHIDEventRef IOHIDServiceClientCopyEvent(IOHIDServiceClientRef s, int64_t type, int32_t options,
                                          int64_t timestamp) {
  FakeObject* e = Hid(s).celsius && type == 15 ? F().New("event") : nullptr;
  if (e != nullptr) e->value = *Hid(s).celsius;
  return Ret(Call("IOHIDServiceClientCopyEvent", s, type, options, timestamp), R<IOHIDEventRef>(e));
}
double IOHIDEventGetFloatValue(IOHIDEventRef e, uint32_t field) {
  return Ret(Call("IOHIDEventGetFloatValue", e, Hex(field)), O(e)->value);
}

// --- IOKit services and user clients, answered by the FakeSmcTransport ---
CFMutableDictionaryRef IOServiceMatching(const char* name) {
  return Ret(Call("IOServiceMatching", Quote(name)),
             R<CFMutableDictionaryRef>(F().New("dict", name)));
}
io_service_t IOServiceGetMatchingService(mach_port_t port, CFDictionaryRef d) {
  const io_service_t service = F().smc.FindService(O(d)->text.c_str());
  F().Log(Call("IOServiceGetMatchingService", Hex(port), d) + "=" + Hex(service));
  F().Release(O(d));  // consumed
  return service;
}
kern_return_t IOServiceOpen(io_service_t service, mach_port_t task, uint32_t type,
                            io_connect_t* connection) {
  const std::string call = Call("IOServiceOpen", Hex(service), task == g_task ? "task" : Hex(task),
                                type, "&" + T(*connection));
  return Ret(call, F().smc.Open(service, type, connection));
}
kern_return_t IOObjectRelease(io_object_t object) {
  F().Log(Call("IOObjectRelease", Hex(object)));
  F().smc.ReleaseService(object);
  return 0;
}
kern_return_t IOConnectCallStructMethod(mach_port_t c, uint32_t selector, const void* input,
                                        size_t input_size, void* output, size_t* output_size) {
  const auto* request = static_cast<const SmcParamRecord*>(input);
  const uint32_t key = LoadSmcField(*request, kSmcKeyOffset);
  const char text[5] = {char(key >> 24), char(key >> 16), char(key >> 8), char(key), 0};
  const std::string call =
      Call("IOConnectCallStructMethod", Hex(c), selector,
           text + ("/" + T(request->bytes[kSmcCommandOffset])), input_size, *output_size);
  return Ret(call, F().smc.CallStructMethod(c, selector, request, input_size,
                                            static_cast<SmcParamRecord*>(output), output_size));
}
kern_return_t IOServiceClose(io_connect_t c) {
  F().Log(Call("IOServiceClose", Hex(c)));
  F().smc.Close(c);
  return 0;
}

// --- libIOReport ---
CFMutableDictionaryRef IOReportCopyChannelsInGroup(CFStringRef group, CFStringRef sub, uint64_t a,
                                                   uint64_t b, uint64_t c) {
  return Ret(Call("IOReportCopyChannelsInGroup", group, sub, a, b, c),
             R<CFMutableDictionaryRef>(F().group ? F().New("channels") : nullptr));
}
IOReportSubscriptionRef IOReportCreateSubscription(void* reserved, CFMutableDictionaryRef desired,
                                                   CFMutableDictionaryRef* subscribed,
                                                   uint64_t channel_id, CFTypeRef options) {
  const std::string call = Call("IOReportCreateSubscription", reserved, desired,
                                "&" + T(*subscribed), channel_id, options);
  FakeObject* s = F().subscription ? F().New("subscription") : nullptr;
  if (s && F().hands_back) *subscribed = R<CFMutableDictionaryRef>(F().New("channels"));
  F().Log(call + "=" + T(s) + "," + T(*subscribed));
  return R<IOReportSubscriptionRef>(s);
}
CFDictionaryRef IOReportCreateSamples(IOReportSubscriptionRef s, CFMutableDictionaryRef c,
                                      CFTypeRef options) {
  return Ret(Call("IOReportCreateSamples", s, c, options),
             R<CFDictionaryRef>(Next(F().samples) ? F().New("sample") : nullptr));
}
CFDictionaryRef IOReportCreateSamplesDelta(CFDictionaryRef a, CFDictionaryRef b, CFTypeRef o) {
  FakeObject* d = Next(F().deltas) ? Holder("delta", "channel", F().channels.size()) : nullptr;
  return Ret(Call("IOReportCreateSamplesDelta", a, b, o), R<CFDictionaryRef>(d));
}
void IOReportIterate(CFDictionaryRef delta, IOReportIterateBlock* block) {
  F().Log(Call("IOReportIterate", delta, "block"));
  EXPECT_EQ(block->isa, &g_stack_block);
  EXPECT_EQ(block->flags, 0);
  EXPECT_EQ(block->descriptor->size, sizeof *block);
  for (FakeObject* channel : O(delta)->holds) {
    EXPECT_EQ(block->invoke(block, R<IOReportSampleRef>(channel)), 0);
  }
}
const ostrel::testing::FakeChannel& Channel(IOReportSampleRef c) {
  return F().channels.at(O(c)->value);
}
// A text the channel (and so its delta) keeps: borrowed by the caller.
CFStringRef Borrowed(IOReportSampleRef c, const std::optional<std::string>& text) {
  if (!text) return nullptr;
  O(c)->holds.push_back(F().String(*text));
  return R<CFStringRef>(O(c)->holds.back());
}
CFStringRef IOReportChannelGetChannelName(IOReportSampleRef c) {
  return Ret(Call("IOReportChannelGetChannelName", c), Borrowed(c, Channel(c).name));
}
CFStringRef IOReportChannelGetUnitLabel(IOReportSampleRef c) {
  return Ret(Call("IOReportChannelGetUnitLabel", c), Borrowed(c, Channel(c).unit));
}
int64_t IOReportSimpleGetIntegerValue(IOReportSampleRef c, int32_t index) {
  return Ret(Call("IOReportSimpleGetIntegerValue", c, index), Channel(c).count);
}

// --- The system library's allocator ---
size_t malloc_zone_pressure_relief(void* zone, size_t goal) {
  return Ret(Call("malloc_zone_pressure_relief", zone, goal), size_t{0});
}

// --- The Objective-C runtime ---
Class objc_getClass(const char* name) {
  return Ret(Call("objc_getClass", Quote(name)),
             R<Class>(F().missing.count(name) ? nullptr : F().Shared(name)));
}
SEL sel_registerName(const char* name) { return reinterpret_cast<SEL>(F().Intern(name)); }
std::string S(SEL selector) { return reinterpret_cast<const char*>(selector); }
Class objc_allocateClassPair(Class base, const char* name, size_t extra) {
  return Ret(Call("objc_allocateClassPair", base, Quote(name), extra), R<Class>(F().Shared(name)));
}
BOOL class_addMethod(Class c, SEL selector, IMP method, const char* types) {
  F().Log(Call("class_addMethod", c, S(selector), types));
  if (S(selector) == "applicationDidFinishLaunching:") {
    F().did_finish_launching = reinterpret_cast<void*>(method);
  }
  return true;
}
void objc_registerClassPair(Class c) {
  F().Log(Call("objc_registerClassPair", c));
  F().missing.erase(O(c)->text);  // a class made at run time exists from now on
}
Protocol* objc_getProtocol(const char* name) {
  F().Log(Call("objc_getProtocol", Quote(name)));
  return reinterpret_cast<Protocol*>(&g_protocol);
}
BOOL class_addProtocol(Class c, Protocol* p) {
  F().Log(Call("class_addProtocol", c, p));
  return true;
}
void* objc_autoreleasePoolPush() { return reinterpret_cast<void*>(++F().pool_depth); }
void objc_autoreleasePoolPop(void* pool) {
  EXPECT_EQ(reinterpret_cast<intptr_t>(pool), F().pool_depth--) << "pools pop in order";
}
void NSLog(id format, ...) {
  va_list arguments;
  va_start(arguments, format);
  id line = va_arg(arguments, id);
  va_end(arguments);
  F().Log(Call("NSLog", format, line));
}

// Answers the message `sel` to `self_id` (its arguments as words, shown in the log as `shown`);
// `result` is the type code of the signature's answer.
uintptr_t Answer(char result, id self_id, SEL sel, const std::string& shown, uintptr_t a = 0,
                 uintptr_t b = 0) {
  FakeMac& f = F();
  FakeObject* self = O(self_id);
  FakeObject* arg = O(reinterpret_cast<void*>(a));
  const std::string selector = S(sel);
  auto object = [](FakeObject* o) { return reinterpret_cast<uintptr_t>(o); };
  auto string = [&](const std::string& text) {
    FakeObject* s = f.String(text, 0);
    s->name = "@" + s->name;
    return object(s);
  };
  uintptr_t answer = 0;
  if (selector == "initWithBytes:length:encoding:") {  // shown by its text from now on
    self->text.assign(reinterpret_cast<const char*>(a), b);
    self->name = "@" + Quote(self->text);
    return object(self);
  } else if (selector == "UTF8String") {
    return reinterpret_cast<uintptr_t>(self->text.c_str());
  } else if (selector == "alloc") {
    answer = object(f.New(self->name));
    if (self->name == "NSString") return answer;
  } else if (selector == "init") {
    answer = object(self);
  } else if (selector == "release") {
    f.Release(self);
  } else if (selector == "sharedApplication") {
    answer = object(f.Shared("NSApp"));
  } else if (selector == "sharedWorkspace" || selector == "mainAppService") {
    answer = object(f.Shared(selector));
  } else if (selector == "setDelegate:") {
    f.delegate = arg;
  } else if (selector == "setActivationPolicy:" || selector == "openURL:") {
    answer = 1;
  } else if (selector == "addButtonWithTitle:") {
    answer = object(f.New("NSButton", "", 0));
  } else if (selector == "runModal") {
    answer = static_cast<uintptr_t>(f.modal_response);
  } else if (selector == "URLForApplicationWithBundleIdentifier:" && f.app_url) {
    answer = object(f.New("NSURL", *f.app_url, 0));
  } else if (selector == "URLWithString:" && !arg->text.empty()) {
    answer = object(f.New("NSURL", arg->text, 0));
  } else if (selector == "absoluteString" || selector == "description") {
    answer = string(self->text);
  } else if (selector == "configuration") {
    answer = object(f.New("configuration", "", 0));
  } else if (selector == "registerAndReturnError:" || selector == "unregisterAndReturnError:") {
    if (f.login_error) *reinterpret_cast<id*>(a) = R<id>(f.New("NSError", *f.login_error, 0));
    answer = !f.login_error;
  } else if (selector == "status") {
    answer = static_cast<uintptr_t>(f.login_status);
  }
  std::string line = "[" + self->name + " " + selector + shown + "]";
  if (result == '@') line += "=" + T(reinterpret_cast<void*>(answer));
  if (result == 'B' || result == 'q') line += "=" + std::to_string(static_cast<long>(answer));
  f.Log(line);
  if (selector == "run" && f.delegate != nullptr && f.did_finish_launching != nullptr) {
    reinterpret_cast<void (*)(id, SEL, id)>(f.did_finish_launching)(
        R<id>(f.delegate), sel_registerName("applicationDidFinishLaunching:"), nullptr);
  }
  return answer;
}
// One fake objc_msgSend per signature.
std::string W(id o) { return " " + T(o); }
uintptr_t U(const void* p) { return reinterpret_cast<uintptr_t>(p); }
id SendId(id s, SEL c) { return R<id>(reinterpret_cast<void*>(Answer('@', s, c, ""))); }
void SendVoid(id s, SEL c) { Answer('v', s, c, ""); }
void SendVoidId(id s, SEL c, id a) { Answer('v', s, c, W(a), U(a)); }
id SendIdId(id s, SEL c, id a) {
  return R<id>(reinterpret_cast<void*>(Answer('@', s, c, W(a), U(a))));
}
BOOL SendBoolId(id s, SEL c, id a) { return Answer('B', s, c, W(a), U(a)) != 0; }
BOOL SendBoolLong(id s, SEL c, NSInteger v) { return Answer('B', s, c, " " + T(v)) != 0; }
void SendVoidBool(id s, SEL c, BOOL v) { Answer('v', s, c, v ? " YES" : " NO"); }
void SendVoidUlong(id s, SEL c, NSUInteger v) { Answer('v', s, c, " " + T(v)); }
NSInteger SendLong(id s, SEL c) { return static_cast<NSInteger>(Answer('q', s, c, "")); }
void SendVoidIdIdId(id s, SEL c, id a, id b, id d) { Answer('v', s, c, W(a) + W(b) + W(d)); }
BOOL SendBoolError(id s, SEL c, id* e) { return Answer('B', s, c, " &error", U(e)) != 0; }
const char* SendCString(id s, SEL c) {
  return reinterpret_cast<const char*>(Answer('*', s, c, ""));
}
id SendIdBytes(id s, SEL c, const void* p, NSUInteger n, NSUInteger encoding) {
  EXPECT_EQ(encoding, 4u);
  return R<id>(reinterpret_cast<void*>(Answer('@', s, c, "", U(p), n)));
}

// Every symbol by name, each converted from the exact type it is called through.
template <typename Fn>
void* E(Fn fn) {
  return reinterpret_cast<void*>(fn);
}
// clang-format off
#define FAKE(name) {#name, E<name##Fn>(name)}
#define MESSAGE(types, fn, ...) {"objc_msgSend " types, E<__VA_ARGS__>(fn)}
const std::map<std::string, void*>& Table() {
  static const auto* table = new std::map<std::string, void*>{
      FAKE(CFRelease), FAKE(CFNumberCreate), FAKE(CFDictionaryCreate),
      FAKE(CFDictionaryCreateMutableCopy), FAKE(CFArrayGetCount), FAKE(CFArrayGetValueAtIndex),
      FAKE(CFStringCreateWithCString), FAKE(CFStringGetCString), FAKE(CFAbsoluteTimeGetCurrent),
      FAKE(IOHIDEventSystemClientCreate), FAKE(IOHIDEventSystemClientSetMatching),
      FAKE(IOHIDEventSystemClientCopyServices), FAKE(IOHIDServiceClientCopyProperty),
      FAKE(IOHIDServiceClientCopyEvent), FAKE(IOHIDEventGetFloatValue), FAKE(IOServiceMatching),
      FAKE(IOServiceGetMatchingService), FAKE(IOServiceOpen), FAKE(IOObjectRelease),
      FAKE(IOConnectCallStructMethod), FAKE(IOServiceClose), FAKE(IOReportCopyChannelsInGroup),
      FAKE(IOReportCreateSubscription), FAKE(IOReportCreateSamples),
      FAKE(IOReportCreateSamplesDelta), FAKE(IOReportIterate),
      FAKE(IOReportChannelGetChannelName), FAKE(IOReportSimpleGetIntegerValue),
      FAKE(IOReportChannelGetUnitLabel), FAKE(objc_getClass), FAKE(sel_registerName),
      FAKE(objc_allocateClassPair), FAKE(class_addMethod), FAKE(objc_registerClassPair),
      FAKE(objc_getProtocol), FAKE(class_addProtocol), FAKE(objc_autoreleasePoolPush),
      FAKE(objc_autoreleasePoolPop), FAKE(NSLog), FAKE(malloc_zone_pressure_relief),
      {"kCFAllocatorDefault", &g_allocator_default}, {"kIOMainPortDefault", &g_main_port},
      {"kCFTypeDictionaryKeyCallBacks", &g_key_callbacks}, {"mach_task_self_", &g_task},
      {"kCFTypeDictionaryValueCallBacks", &g_value_callbacks},
      {"_NSConcreteStackBlock", &g_stack_block},
      MESSAGE("@@:", SendId, id (*)(id, SEL)), MESSAGE("v@:", SendVoid, void (*)(id, SEL)),
      MESSAGE("v@:@", SendVoidId, void (*)(id, SEL, id)),
      MESSAGE("@@:@", SendIdId, id (*)(id, SEL, id)),
      MESSAGE("B@:@", SendBoolId, BOOL (*)(id, SEL, id)),
      MESSAGE("B@:q", SendBoolLong, BOOL (*)(id, SEL, NSInteger)),
      MESSAGE("v@:B", SendVoidBool, void (*)(id, SEL, BOOL)),
      MESSAGE("v@:Q", SendVoidUlong, void (*)(id, SEL, NSUInteger)),
      MESSAGE("q@:", SendLong, NSInteger (*)(id, SEL)),
      MESSAGE("v@:@@@", SendVoidIdIdId, void (*)(id, SEL, id, id, id)),
      MESSAGE("B@:^@", SendBoolError, BOOL (*)(id, SEL, id*)),
      MESSAGE("r*@:", SendCString, const char* (*)(id, SEL)),
      MESSAGE("@@:r^vQQ", SendIdBytes, id (*)(id, SEL, const void*, NSUInteger, NSUInteger)),
  };
  return *table;
}
// clang-format on

}  // namespace

FakeMac::FakeMac() {
  EXPECT_EQ(g_current, nullptr) << "one FakeMac at a time";
  g_current = this;
}

FakeMac::~FakeMac() {
  for (const FakeObject& o : objects_) {
    EXPECT_EQ(o.refs, 0) << o.name << (o.refs > 0 ? " never released" : " released too often");
  }
  EXPECT_EQ(pool_depth, 0) << "every autorelease pool popped";
  g_current = nullptr;
}

FakeMac& FakeMac::Current() { return *g_current; }

void* FakeMac::Open(const char* path) {
  Log(std::string("dlopen ") + path);
  return missing.count(path) ? nullptr : const_cast<char*>(Intern(path));
}

void* FakeMac::Symbol(void* library, const char* name) {
  const std::string path = static_cast<const char*>(library);
  Log("dlsym " + path.substr(path.rfind('/') + 1) + " " + name);
  auto it = Table().find(name);
  return it == Table().end() || missing.count(name) ? nullptr : it->second;
}

void* FakeMac::Messenger(void* /*library*/, const char* types) {
  auto it = Table().find(std::string("objc_msgSend ") + types);
  return it == Table().end() ? nullptr : it->second;
}

FakeObject* FakeMac::New(const std::string& kind, std::string text, int refs) {
  const std::string name = kind + std::to_string(++counters_[kind]);
  return &objects_.emplace_back(FakeObject{name, std::move(text), 0, refs, {}});
}

FakeObject* FakeMac::String(const std::string& text, int refs) {
  return &objects_.emplace_back(FakeObject{Quote(text), text, 0, refs, {}});
}

void FakeMac::Release(FakeObject* object) {
  if (--object->refs == 0) {
    for (FakeObject* held : object->holds) Release(held);
  }
}

std::string FakeMac::Name(const void* object) const {
  return object == nullptr ? "null" : static_cast<const FakeObject*>(object)->name;
}

FakeObject* FakeMac::Shared(const std::string& name) {
  FakeObject*& o = shared_[name];
  if (o == nullptr) o = &objects_.emplace_back(FakeObject{name, name, 0, 0, {}});
  return o;
}

}  // namespace ostrel::macos::testing
