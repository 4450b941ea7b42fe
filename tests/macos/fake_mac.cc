// fake_mac.cc: the fake functions of fake_mac.h and their table.
#include "tests/macos/fake_mac.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>

#include "platform/macos/mac_api.h"

namespace ostrel::macos::testing {
namespace {

FakeMac* g_current = nullptr;
FakeMac& F() { return FakeMac::Current(); }
FakeObject* O(const void* p) { return static_cast<FakeObject*>(const_cast<void*>(p)); }
template <typename Ref>
Ref R(FakeObject* o) {
  return reinterpret_cast<Ref>(o);
}
std::string N(const void* p) { return F().Name(p); }
std::string Num(double v) {
  char text[32];
  snprintf(text, sizeof text, "%g", v);
  return text;
}
std::string Hex(unsigned long v) {
  char text[32];
  snprintf(text, sizeof text, "0x%lx", v);
  return text;
}
std::string Quote(const std::string& s) { return "\"" + s + "\""; }

// The frameworks' variables, each a FakeObject so that the log can name it.
FakeObject g_allocator{"default", "", 0, 0, {}};
CFAllocatorRef g_allocator_default = R<CFAllocatorRef>(&g_allocator);
FakeObject g_key_callbacks{"keys", "", 0, 0, {}}, g_value_callbacks{"values", "", 0, 0, {}};
FakeObject g_stack_block{"stackblock", "", 0, 0, {}};
FakeObject g_protocol{"NSApplicationDelegate", "", 0, 0, {}};
mach_port_t g_main_port = 0;  // kIOMainPortDefault
mach_port_t g_task = 0x103;   // mach_task_self_

// --- CoreFoundation ---
void CFRelease(CFTypeRef o) {
  F().Log("CFRelease(" + N(o) + ")");
  F().Release(O(o));
}
CFNumberRef CFNumberCreate(CFAllocatorRef a, CFNumberType type, const void* value) {
  FakeObject* n = F().New("number", std::to_string(*static_cast<const int32_t*>(value)));
  F().Log("CFNumberCreate(" + N(a) + "," + std::to_string(type) + "," + n->text + ")=" + n->name);
  return R<CFNumberRef>(n);
}
CFDictionaryRef CFDictionaryCreate(CFAllocatorRef a, const void** keys, const void** values,
                                   CFIndex count, const CFDictionaryKeyCallBacks* kc,
                                   const CFDictionaryValueCallBacks* vc) {
  FakeObject* d = F().New("dict");
  std::string k, v;
  for (CFIndex i = 0; i < count; ++i) {
    for (const void* o : {keys[i], values[i]}) {
      d->holds.push_back(O(o));
      ++O(o)->refs;
    }
    k += (i ? "," : "") + N(keys[i]);
    v += (i ? "," : "") + N(values[i]);
  }
  F().Log("CFDictionaryCreate(" + N(a) + ",[" + k + "],[" + v + "]," + std::to_string(count) + "," +
          N(kc) + "," + N(vc) + ")=" + d->name);
  return R<CFDictionaryRef>(d);
}
CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef a, CFIndex capacity,
                                                     CFDictionaryRef d) {
  FakeObject* copy = F().New("channels");
  F().Log("CFDictionaryCreateMutableCopy(" + N(a) + "," + std::to_string(capacity) + "," + N(d) +
          ")=" + copy->name);
  return R<CFMutableDictionaryRef>(copy);
}
CFIndex CFArrayGetCount(CFArrayRef a) {
  F().Log("CFArrayGetCount(" + N(a) + ")=" + std::to_string(O(a)->holds.size()));
  return static_cast<CFIndex>(O(a)->holds.size());
}
const void* CFArrayGetValueAtIndex(CFArrayRef a, CFIndex i) {
  FakeObject* item = O(a)->holds.at(i);
  F().Log("CFArrayGetValueAtIndex(" + N(a) + "," + std::to_string(i) + ")=" + item->name);
  return item;
}
CFStringRef CFStringCreateWithCString(CFAllocatorRef a, const char* text, CFStringEncoding e) {
  FakeObject* s = F().String(text);
  F().Log("CFStringCreateWithCString(" + N(a) + "," + s->name + "," + Hex(e) + ")");
  return R<CFStringRef>(s);
}
Boolean CFStringGetCString(CFStringRef s, char* buffer, CFIndex size, CFStringEncoding e) {
  const std::string& text = O(s)->text;
  const bool fits = static_cast<CFIndex>(text.size()) < size;
  if (fits) memcpy(buffer, text.c_str(), text.size() + 1);
  F().Log("CFStringGetCString(" + N(s) + "," + std::to_string(size) + "," + Hex(e) +
          ")=" + std::to_string(fits));
  return fits;
}
CFAbsoluteTime CFAbsoluteTimeGetCurrent() {
  const double now = F().clock.empty() ? 0 : F().clock.front();
  if (!F().clock.empty()) F().clock.pop_front();
  F().Log("CFAbsoluteTimeGetCurrent()=" + Num(now));
  return now;
}

// --- The HID event system ---
IOHIDEventSystemClientRef IOHIDEventSystemClientCreate(CFAllocatorRef a) {
  FakeObject* c = F().client_fails ? nullptr : F().New("client");
  F().Log("IOHIDEventSystemClientCreate(" + N(a) + ")=" + N(c));
  return R<IOHIDEventSystemClientRef>(c);
}
int IOHIDEventSystemClientSetMatching(IOHIDEventSystemClientRef c, CFDictionaryRef d) {
  F().Log("IOHIDEventSystemClientSetMatching(" + N(c) + "," + N(d) + ")");
  return 1;
}
CFArrayRef IOHIDEventSystemClientCopyServices(IOHIDEventSystemClientRef c) {
  FakeObject* a = nullptr;
  if (!F().services_fail) {
    a = F().New("array");
    for (size_t i = 0; i < F().hid.size(); ++i) {
      a->holds.push_back(F().New("service"));  // the array's reference
      a->holds.back()->value = static_cast<double>(i);
    }
  }
  F().Log("IOHIDEventSystemClientCopyServices(" + N(c) + ")=" + N(a));
  return R<CFArrayRef>(a);
}
const FakeHidService& Hid(IOHIDServiceClientRef s) {
  return F().hid.at(static_cast<size_t>(O(s)->value));
}
CFTypeRef IOHIDServiceClientCopyProperty(IOHIDServiceClientRef s, CFStringRef key) {
  const auto& product = Hid(s).product;
  FakeObject* p = product && O(key)->text == "Product" ? F().String(*product) : nullptr;
  F().Log("IOHIDServiceClientCopyProperty(" + N(s) + "," + N(key) + ")=" + N(p));
  return p;
}
IOHIDEventRef IOHIDServiceClientCopyEvent(IOHIDServiceClientRef s, int64_t type, int32_t options,
                                          int64_t timestamp) {
  FakeObject* e = nullptr;
  if (Hid(s).celsius && type == 15) (e = F().New("event"))->value = *Hid(s).celsius;
  F().Log("IOHIDServiceClientCopyEvent(" + N(s) + "," + std::to_string(type) + "," +
          std::to_string(options) + "," + std::to_string(timestamp) + ")=" + N(e));
  return R<IOHIDEventRef>(e);
}
double IOHIDEventGetFloatValue(IOHIDEventRef e, uint32_t field) {
  F().Log("IOHIDEventGetFloatValue(" + N(e) + "," + Hex(field) + ")=" + Num(O(e)->value));
  return O(e)->value;
}

// --- IOKit services and user clients, answered by the FakeSmcTransport ---
CFMutableDictionaryRef IOServiceMatching(const char* name) {
  FakeObject* d = F().New("dict", name);
  F().Log("IOServiceMatching(" + Quote(name) + ")=" + d->name);
  return R<CFMutableDictionaryRef>(d);
}
io_service_t IOServiceGetMatchingService(mach_port_t port, CFDictionaryRef d) {
  const io_service_t service = F().smc.FindService(O(d)->text.c_str());
  F().Log("IOServiceGetMatchingService(" + Hex(port) + "," + N(d) + ")=" + Hex(service));
  F().Release(O(d));  // consumed
  return service;
}
kern_return_t IOServiceOpen(io_service_t service, mach_port_t task, uint32_t type,
                            io_connect_t* connection) {
  const std::string entry = std::to_string(*connection);
  const kern_return_t result = F().smc.Open(service, type, connection);
  F().Log("IOServiceOpen(" + Hex(service) + "," + (task == g_task ? "task" : Hex(task)) + "," +
          std::to_string(type) + ",&" + entry + ")=" + std::to_string(result));
  return result;
}
kern_return_t IOObjectRelease(io_object_t object) {
  F().Log("IOObjectRelease(" + Hex(object) + ")");
  F().smc.ReleaseService(object);
  return 0;
}
kern_return_t IOConnectCallStructMethod(mach_port_t c, uint32_t selector, const void* input,
                                        size_t input_size, void* output, size_t* output_size) {
  const auto* request = static_cast<const SmcParamRecord*>(input);
  const uint32_t key = LoadSmcField(*request, kSmcKeyOffset);
  const char text[5] = {char(key >> 24), char(key >> 16), char(key >> 8), char(key), 0};
  const std::string sizes = std::to_string(input_size) + "," + std::to_string(*output_size);
  const kern_return_t result = F().smc.CallStructMethod(
      c, selector, request, input_size, static_cast<SmcParamRecord*>(output), output_size);
  F().Log("IOConnectCallStructMethod(" + Hex(c) + "," + std::to_string(selector) + "," + text +
          "/" + std::to_string(request->bytes[kSmcCommandOffset]) + "," + sizes +
          ")=" + std::to_string(result));
  return result;
}
kern_return_t IOServiceClose(io_connect_t c) {
  F().Log("IOServiceClose(" + Hex(c) + ")");
  F().smc.Close(c);
  return 0;
}

// --- libIOReport ---
// The next scripted outcome of `queue` (success when it is empty).
bool Next(std::deque<bool>& queue) {
  const bool ok = queue.empty() || queue.front();
  if (!queue.empty()) queue.pop_front();
  return ok;
}
CFMutableDictionaryRef IOReportCopyChannelsInGroup(CFStringRef group, CFStringRef sub, uint64_t a,
                                                   uint64_t b, uint64_t c) {
  FakeObject* d = F().group ? F().New("channels") : nullptr;
  F().Log("IOReportCopyChannelsInGroup(" + N(group) + "," + N(sub) + "," + std::to_string(a) + "," +
          std::to_string(b) + "," + std::to_string(c) + ")=" + N(d));
  return R<CFMutableDictionaryRef>(d);
}
IOReportSubscriptionRef IOReportCreateSubscription(void* reserved, CFMutableDictionaryRef desired,
                                                   CFMutableDictionaryRef* subscribed,
                                                   uint64_t channel_id, CFTypeRef options) {
  const std::string entry = N(*subscribed);
  FakeObject* s = F().subscription ? F().New("subscription") : nullptr;
  if (s && F().hands_back) *subscribed = R<CFMutableDictionaryRef>(F().New("channels"));
  F().Log("IOReportCreateSubscription(" + N(reserved) + "," + N(desired) + ",&" + entry + "," +
          std::to_string(channel_id) + "," + N(options) + ")=" + N(s) + "," + N(*subscribed));
  return R<IOReportSubscriptionRef>(s);
}
CFDictionaryRef IOReportCreateSamples(IOReportSubscriptionRef s, CFMutableDictionaryRef c,
                                      CFTypeRef options) {
  FakeObject* sample = Next(F().samples) ? F().New("sample") : nullptr;
  F().Log("IOReportCreateSamples(" + N(s) + "," + N(c) + "," + N(options) + ")=" + N(sample));
  return R<CFDictionaryRef>(sample);
}
CFDictionaryRef IOReportCreateSamplesDelta(CFDictionaryRef a, CFDictionaryRef b,
                                           CFTypeRef options) {
  FakeObject* d = nullptr;
  if (Next(F().deltas)) {
    d = F().New("delta");
    for (size_t i = 0; i < F().channels.size(); ++i) {
      d->holds.push_back(F().New("channel"));  // the delta's reference
      d->holds.back()->value = static_cast<double>(i);
    }
  }
  F().Log("IOReportCreateSamplesDelta(" + N(a) + "," + N(b) + "," + N(options) + ")=" + N(d));
  return R<CFDictionaryRef>(d);
}
void IOReportIterate(CFDictionaryRef delta, IOReportIterateBlock* block) {
  F().Log("IOReportIterate(" + N(delta) + ",block)");
  EXPECT_EQ(block->isa, &g_stack_block);
  EXPECT_EQ(block->flags, 0);
  EXPECT_EQ(block->descriptor->size, sizeof *block);
  for (FakeObject* channel : O(delta)->holds) {
    EXPECT_EQ(block->invoke(block, R<IOReportSampleRef>(channel)), 0);
  }
}
const ostrel::testing::FakeChannel& Channel(IOReportSampleRef c) {
  return F().channels.at(static_cast<size_t>(O(c)->value));
}
// A text the channel's delta keeps: borrowed by the caller.
CFStringRef Borrowed(IOReportSampleRef c, const std::optional<std::string>& text) {
  if (!text) return nullptr;
  O(c)->holds.push_back(F().String(*text));
  return R<CFStringRef>(O(c)->holds.back());
}
CFStringRef IOReportChannelGetChannelName(IOReportSampleRef c) {
  CFStringRef name = Borrowed(c, Channel(c).name);
  F().Log("IOReportChannelGetChannelName(" + N(c) + ")=" + N(name));
  return name;
}
CFStringRef IOReportChannelGetUnitLabel(IOReportSampleRef c) {
  CFStringRef unit = Borrowed(c, Channel(c).unit);
  F().Log("IOReportChannelGetUnitLabel(" + N(c) + ")=" + N(unit));
  return unit;
}
int64_t IOReportSimpleGetIntegerValue(IOReportSampleRef c, int32_t index) {
  F().Log("IOReportSimpleGetIntegerValue(" + N(c) + "," + std::to_string(index) +
          ")=" + std::to_string(Channel(c).count));
  return Channel(c).count;
}

// --- The Objective-C runtime ---
Class objc_getClass(const char* name) {
  FakeObject* c = F().missing.count(name) ? nullptr : F().Shared(name);
  F().Log("objc_getClass(" + Quote(name) + ")=" + N(c));
  return R<Class>(c);
}
SEL sel_registerName(const char* name) { return reinterpret_cast<SEL>(F().Intern(name)); }
std::string S(SEL selector) { return reinterpret_cast<const char*>(selector); }
Class objc_allocateClassPair(Class base, const char* name, size_t extra) {
  FakeObject* c = F().Shared(name);
  F().Log("objc_allocateClassPair(" + N(base) + "," + Quote(name) + "," + std::to_string(extra) +
          ")=" + c->name);
  return R<Class>(c);
}
BOOL class_addMethod(Class c, SEL selector, IMP method, const char* types) {
  F().Log("class_addMethod(" + N(c) + "," + S(selector) + "," + types + ")");
  if (S(selector) == "applicationDidFinishLaunching:") {
    F().did_finish_launching = reinterpret_cast<void*>(method);
  }
  return true;
}
void objc_registerClassPair(Class c) {
  F().Log("objc_registerClassPair(" + N(c) + ")");
  F().missing.erase(O(c)->text);  // a class made at run time exists from now on
}
Protocol* objc_getProtocol(const char* name) {
  F().Log("objc_getProtocol(" + Quote(name) + ")");
  return reinterpret_cast<Protocol*>(&g_protocol);
}
BOOL class_addProtocol(Class c, Protocol* p) {
  F().Log("class_addProtocol(" + N(c) + "," + N(p) + ")");
  return true;
}
void* objc_autoreleasePoolPush() { return reinterpret_cast<void*>(++F().pool_depth); }
void objc_autoreleasePoolPop(void* pool) {
  EXPECT_EQ(reinterpret_cast<intptr_t>(pool), F().pool_depth) << "pools pop in order";
  --F().pool_depth;
}
void NSLog(id format, ...) {
  va_list arguments;
  va_start(arguments, format);
  id line = va_arg(arguments, id);
  va_end(arguments);
  F().Log("NSLog(" + N(format) + "," + N(line) + ")");
}

// Answers the message `selector` to `self` with up to three arguments (as words, shown in the
// log as `shown`); `result` is the signature's return type code.
uintptr_t Answer(char result, id self_id, SEL sel, const std::string& shown, uintptr_t a = 0,
                 uintptr_t b = 0) {
  FakeMac& f = F();
  FakeObject* self = O(self_id);
  const std::string selector = S(sel);
  uintptr_t answer = 0;
  auto object = [](FakeObject* o) { return reinterpret_cast<uintptr_t>(o); };
  if (selector == "alloc") {
    answer = object(f.New(self->name));
  } else if (selector == "init") {
    answer = object(self);
  } else if (selector == "initWithBytes:length:encoding:") {
    self->text.assign(reinterpret_cast<const char*>(a), b);
    self->name = "@" + Quote(self->text);
    return object(self);  // the string is shown by its text from now on
  } else if (selector == "UTF8String") {
    return reinterpret_cast<uintptr_t>(self->text.c_str());
  } else if (selector == "release") {
    f.Release(self);
  } else if (selector == "sharedApplication") {
    answer = object(f.Shared("NSApp"));
  } else if (selector == "sharedWorkspace" || selector == "mainAppService") {
    answer = object(f.Shared(selector));
  } else if (selector == "setDelegate:") {
    f.delegate = O(reinterpret_cast<void*>(a));
  } else if (selector == "setActivationPolicy:" || selector == "openURL:") {
    answer = 1;
  } else if (selector == "addButtonWithTitle:") {
    answer = object(f.New("NSButton", "", 0));
  } else if (selector == "runModal") {
    answer = static_cast<uintptr_t>(f.modal_response);
  } else if (selector == "URLForApplicationWithBundleIdentifier:" && f.app_url) {
    answer = object(f.New("NSURL", *f.app_url, 0));
  } else if (selector == "URLWithString:" && !O(reinterpret_cast<void*>(a))->text.empty()) {
    answer = object(f.New("NSURL", O(reinterpret_cast<void*>(a))->text, 0));
  } else if (selector == "absoluteString" || selector == "description") {
    FakeObject* s = f.String(self->text, 0);
    s->name = "@" + s->name;
    answer = object(s);
  } else if (selector == "configuration") {
    answer = object(f.New("configuration", "", 0));
  } else if (selector == "registerAndReturnError:" || selector == "unregisterAndReturnError:") {
    if (f.login_error) *reinterpret_cast<id*>(a) = R<id>(f.New("NSError", *f.login_error, 0));
    answer = !f.login_error;
  } else if (selector == "status") {
    answer = static_cast<uintptr_t>(f.login_status);
  }
  if (self->name == "NSString" && selector == "alloc") return answer;  // shown by its text
  std::string line = "[" + self->name + " " + selector + shown + "]";
  if (result == '@') line += "=" + N(reinterpret_cast<void*>(answer));
  if (result == 'B' || result == 'q') line += "=" + std::to_string(static_cast<long>(answer));
  f.Log(line);
  if (selector == "run" && f.delegate != nullptr && f.did_finish_launching != nullptr) {
    reinterpret_cast<void (*)(id, SEL, id)>(f.did_finish_launching)(
        R<id>(f.delegate), sel_registerName("applicationDidFinishLaunching:"), nullptr);
  }
  return answer;
}
std::string W(id o) { return " " + N(o); }
uintptr_t U(const void* p) { return reinterpret_cast<uintptr_t>(p); }
id SendId(id s, SEL c) { return reinterpret_cast<id>(Answer('@', s, c, "")); }
void SendVoid(id s, SEL c) { Answer('v', s, c, ""); }
void SendVoidId(id s, SEL c, id a) { Answer('v', s, c, W(a), U(a)); }
id SendIdId(id s, SEL c, id a) { return reinterpret_cast<id>(Answer('@', s, c, W(a), U(a))); }
BOOL SendBoolId(id s, SEL c, id a) { return Answer('B', s, c, W(a), U(a)) != 0; }
BOOL SendBoolLong(id s, SEL c, NSInteger v) { return Answer('B', s, c, " " + std::to_string(v)); }
void SendVoidBool(id s, SEL c, BOOL v) { Answer('v', s, c, v ? " YES" : " NO"); }
void SendVoidUlong(id s, SEL c, NSUInteger v) { Answer('v', s, c, " " + std::to_string(v)); }
NSInteger SendLong(id s, SEL c) { return static_cast<NSInteger>(Answer('q', s, c, "")); }
void SendVoidIdIdId(id s, SEL c, id a, id b, id d) { Answer('v', s, c, W(a) + W(b) + W(d)); }
BOOL SendBoolError(id s, SEL c, id* e) { return Answer('B', s, c, " &error", U(e)) != 0; }
const char* SendCString(id s, SEL c) {
  return reinterpret_cast<const char*>(Answer('*', s, c, ""));
}
id SendIdBytes(id s, SEL c, const void* p, NSUInteger n, NSUInteger encoding) {
  EXPECT_EQ(encoding, 4u);
  return reinterpret_cast<id>(Answer('@', s, c, "", U(p), n));
}

// Every symbol by name, each converted from the exact type it is called through.
template <typename Fn>
void* E(Fn fn) {
  return reinterpret_cast<void*>(fn);
}
const std::map<std::string, void*>& Table() {
  static const auto* table = new std::map<std::string, void*>{
      {"CFRelease", E<CFReleaseFn>(CFRelease)},
      {"CFNumberCreate", E<CFNumberCreateFn>(CFNumberCreate)},
      {"CFDictionaryCreate", E<CFDictionaryCreateFn>(CFDictionaryCreate)},
      {"CFDictionaryCreateMutableCopy",
       E<CFDictionaryCreateMutableCopyFn>(CFDictionaryCreateMutableCopy)},
      {"CFArrayGetCount", E<CFArrayGetCountFn>(CFArrayGetCount)},
      {"CFArrayGetValueAtIndex", E<CFArrayGetValueAtIndexFn>(CFArrayGetValueAtIndex)},
      {"CFStringCreateWithCString", E<CFStringCreateWithCStringFn>(CFStringCreateWithCString)},
      {"CFStringGetCString", E<CFStringGetCStringFn>(CFStringGetCString)},
      {"CFAbsoluteTimeGetCurrent", E<CFAbsoluteTimeGetCurrentFn>(CFAbsoluteTimeGetCurrent)},
      {"kCFAllocatorDefault", &g_allocator_default},
      {"kCFTypeDictionaryKeyCallBacks", &g_key_callbacks},
      {"kCFTypeDictionaryValueCallBacks", &g_value_callbacks},
      {"IOHIDEventSystemClientCreate",
       E<IOHIDEventSystemClientCreateFn>(IOHIDEventSystemClientCreate)},
      {"IOHIDEventSystemClientSetMatching",
       E<IOHIDEventSystemClientSetMatchingFn>(IOHIDEventSystemClientSetMatching)},
      {"IOHIDEventSystemClientCopyServices",
       E<IOHIDEventSystemClientCopyServicesFn>(IOHIDEventSystemClientCopyServices)},
      {"IOHIDServiceClientCopyProperty",
       E<IOHIDServiceClientCopyPropertyFn>(IOHIDServiceClientCopyProperty)},
      {"IOHIDServiceClientCopyEvent",
       E<IOHIDServiceClientCopyEventFn>(IOHIDServiceClientCopyEvent)},
      {"IOHIDEventGetFloatValue", E<IOHIDEventGetFloatValueFn>(IOHIDEventGetFloatValue)},
      {"IOServiceMatching", E<IOServiceMatchingFn>(IOServiceMatching)},
      {"IOServiceGetMatchingService",
       E<IOServiceGetMatchingServiceFn>(IOServiceGetMatchingService)},
      {"IOServiceOpen", E<IOServiceOpenFn>(IOServiceOpen)},
      {"IOObjectRelease", E<IOObjectReleaseFn>(IOObjectRelease)},
      {"IOConnectCallStructMethod", E<IOConnectCallStructMethodFn>(IOConnectCallStructMethod)},
      {"IOServiceClose", E<IOServiceCloseFn>(IOServiceClose)},
      {"kIOMainPortDefault", &g_main_port},
      {"mach_task_self_", &g_task},
      {"_NSConcreteStackBlock", &g_stack_block},
      {"IOReportCopyChannelsInGroup",
       E<IOReportCopyChannelsInGroupFn>(IOReportCopyChannelsInGroup)},
      {"IOReportCreateSubscription", E<IOReportCreateSubscriptionFn>(IOReportCreateSubscription)},
      {"IOReportCreateSamples", E<IOReportCreateSamplesFn>(IOReportCreateSamples)},
      {"IOReportCreateSamplesDelta", E<IOReportCreateSamplesDeltaFn>(IOReportCreateSamplesDelta)},
      {"IOReportIterate", E<IOReportIterateFn>(IOReportIterate)},
      {"IOReportChannelGetChannelName",
       E<IOReportChannelGetChannelNameFn>(IOReportChannelGetChannelName)},
      {"IOReportSimpleGetIntegerValue",
       E<IOReportSimpleGetIntegerValueFn>(IOReportSimpleGetIntegerValue)},
      {"IOReportChannelGetUnitLabel",
       E<IOReportChannelGetUnitLabelFn>(IOReportChannelGetUnitLabel)},
      {"objc_getClass", E<objc_getClassFn>(objc_getClass)},
      {"sel_registerName", E<sel_registerNameFn>(sel_registerName)},
      {"objc_allocateClassPair", E<objc_allocateClassPairFn>(objc_allocateClassPair)},
      {"class_addMethod", E<class_addMethodFn>(class_addMethod)},
      {"objc_registerClassPair", E<objc_registerClassPairFn>(objc_registerClassPair)},
      {"objc_getProtocol", E<objc_getProtocolFn>(objc_getProtocol)},
      {"class_addProtocol", E<class_addProtocolFn>(class_addProtocol)},
      {"objc_autoreleasePoolPush", E<objc_autoreleasePoolPushFn>(objc_autoreleasePoolPush)},
      {"objc_autoreleasePoolPop", E<objc_autoreleasePoolPopFn>(objc_autoreleasePoolPop)},
      {"NSLog", E<NSLogFn>(NSLog)},
      {"objc_msgSend @@:", E<id (*)(id, SEL)>(SendId)},
      {"objc_msgSend v@:", E<void (*)(id, SEL)>(SendVoid)},
      {"objc_msgSend v@:@", E<void (*)(id, SEL, id)>(SendVoidId)},
      {"objc_msgSend @@:@", E<id (*)(id, SEL, id)>(SendIdId)},
      {"objc_msgSend B@:@", E<BOOL (*)(id, SEL, id)>(SendBoolId)},
      {"objc_msgSend B@:q", E<BOOL (*)(id, SEL, NSInteger)>(SendBoolLong)},
      {"objc_msgSend v@:B", E<void (*)(id, SEL, BOOL)>(SendVoidBool)},
      {"objc_msgSend v@:Q", E<void (*)(id, SEL, NSUInteger)>(SendVoidUlong)},
      {"objc_msgSend q@:", E<NSInteger (*)(id, SEL)>(SendLong)},
      {"objc_msgSend v@:@@@", E<void (*)(id, SEL, id, id, id)>(SendVoidIdIdId)},
      {"objc_msgSend B@:^@", E<BOOL (*)(id, SEL, id*)>(SendBoolError)},
      {"objc_msgSend r*@:", E<const char* (*)(id, SEL)>(SendCString)},
      {"objc_msgSend @@:r^vQQ",
       E<id (*)(id, SEL, const void*, NSUInteger, NSUInteger)>(SendIdBytes)},
  };
  return *table;
}

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

void* FakeMac::Messenger(void* library, const char* types) {
  auto it = Table().find(std::string("objc_msgSend ") + types);
  return it == Table().end() || missing.count(static_cast<const char*>(library)) ? nullptr
                                                                                 : it->second;
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
