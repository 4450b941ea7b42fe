// fake_mac.cc: the fake functions of fake_mac.h, found by name in this program.
#include "tests/macos/fake_mac.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>

#include "platform/macos/mac_api.h"

namespace ostrel::macos::testing {
namespace {

FakeMac& F() { return *FakeMac::current; }
// A string that lives as long as the fake.
const char* Intern(const std::string& text) { return F().interned.insert(text).first->c_str(); }
FakeObject* O(const void* p) { return static_cast<FakeObject*>(const_cast<void*>(p)); }
// A fake object as whichever framework pointer type is asked for.
struct Any {
  const void* p;
  template <typename P>
  operator P*() const {
    return reinterpret_cast<P*>(const_cast<void*>(p));
  }
};
Any R(const void* o) { return Any{o}; }
// An argument or answer as the log shows it: texts as they are, objects by name, numbers.
template <typename V>
std::string T(const V& v) {
  if constexpr (std::is_convertible_v<V, std::string>) return std::string(v);
  if constexpr (std::is_same_v<V, id*>) return "&error";
  if constexpr (std::is_same_v<V, Any>) return v.p ? O(v.p)->name : "null";
  if constexpr (std::is_pointer_v<V>) return v ? O(v)->name : "null";
  if constexpr (std::is_arithmetic_v<V>) return std::to_string(static_cast<long long>(v));
}
template <typename... A>
std::string Call(const char* function, const A&... arguments) {
  std::string call = std::string(function) + "(";
  ((call += T(arguments) + ","), ...);
  return call.replace(call.size() - 1, 1, ")");
}
template <typename V>
V Ret(const std::string& call, V answer) {
  return F().Log(call + "=" + T(answer)), answer;
}
FakeObject* Str(const std::string& text, int refs = 1, const char* mark = "") {
  FakeObject* s = F().New("string", text, refs);
  return s->name = mark + ("\"" + text + "\""), s;
}
// A new `kind` holding `count` new `item`s, each knowing its index.
FakeObject* Holder(const char* kind, const char* item, size_t count) {
  FakeObject* holder = F().New(kind);
  for (size_t i = 0; i < count; ++i) {
    holder->holds.push_back(F().New(item)), holder->holds.back()->value = static_cast<double>(i);
  }
  return holder;
}

const auto& Hid(const void* s) { return F().hid.at(O(s)->value); }
const auto& Channel(const void* c) { return F().channels.at(O(c)->value); }
CFStringRef Kept(const void* c, const std::optional<std::string>& text) {  // borrowed
  if (text) O(c)->holds.push_back(Str(*text));
  return R(text ? O(c)->holds.back() : nullptr);
}
std::string S(SEL selector) { return reinterpret_cast<const char*>(selector); }
// The answer to the message `s` to `self`, its arguments as words `w`; Send logs it.
uintptr_t Answer(FakeObject* self, const std::string& s, const uintptr_t* w) {
  FakeMac& f = F();
  FakeObject* arg = O(reinterpret_cast<void*>(w[0]));
  auto obj = [](FakeObject* o) { return reinterpret_cast<uintptr_t>(o); };
  if (s == "initWithBytes:length:encoding:") {
    EXPECT_EQ(w[2], 4u) << "UTF-8";
    self->text.assign(reinterpret_cast<const char*>(w[0]), w[1]);
    self->name = "@\"" + self->text + "\"";
    return self->text.find('\xff') == std::string::npos ? obj(self) : (f.Release(self), 0);
  }
  if (s == "UTF8String") return reinterpret_cast<uintptr_t>(self->text.c_str());
  if (s == "release") return f.Release(self), 0;
  if (s == "alloc") return obj(f.New(self->name));
  if (s == "init") return obj(self);
  if (s.starts_with("shared") || s == "mainAppService") return obj(f.Shared(s.substr(0, 6)));
  if (s == "setDelegate:") f.delegate = arg;
  if (s == "addButtonWithTitle:" || s == "configuration") return obj(f.New(s.substr(0, 6), "", 0));
  if (s == "URLForApplicationWithBundleIdentifier:" && f.app_url)
    return obj(f.New("NSURL", *f.app_url, 0));
  if (s == "URLWithString:") return obj(f.New("NSURL", arg->text, 0));
  if (s == "absoluteString" || s == "description") return obj(Str(self->text, 0, "@"));
  if (s.ends_with("registerAndReturnError:")) {
    return (f.error ? *reinterpret_cast<id*>(w[0]) = R(f.New("NSError", *f.error, 0)) : nullptr),
           !f.error;
  }
  return f.answers.count(s) ? static_cast<uintptr_t>(f.answers[s]) : 0;
}
// objc_msgSend as R(id, SEL, A...): "[receiver selector arguments]=answer".
template <typename Res, typename... A>
Res Send(id self, SEL sel, A... arguments) {
  const uintptr_t words[] = {(uintptr_t)(arguments)..., 0, 0, 0};
  const uintptr_t answer = Answer(O(self), S(sel), words);
  const bool logged = S(sel) != "release" && S(sel) != "UTF8String" &&
                      !S(sel).starts_with("initWithBytes") && O(self)->name != "NSString";
  std::string line = "[" + O(self)->name + " " + S(sel);
  if (logged) ((line += " " + T(arguments)), ...);
  if constexpr (std::is_same_v<Res, id>) line += "]=" + T(reinterpret_cast<FakeObject*>(answer));
  if constexpr (std::is_integral_v<Res>) line += "]=" + T(static_cast<long>(answer));
  if (logged) F().Log(std::is_void_v<Res> ? line + "]" : line);
  if (S(sel) == "run" && F().did_finish_launching != nullptr)
    reinterpret_cast<void (*)(id, SEL, id)>(F().did_finish_launching)(R(F().delegate), sel, {});
  if constexpr (!std::is_void_v<Res>) return (Res)(answer);
}

// clang-format off
#define M(types, ...) {types, reinterpret_cast<void*>(Send<__VA_ARGS__>)}
const std::map<std::string, void*> kMessengers = {
    M("@@:", id), M("v@:", void), M("v@:@", void, id), M("@@:@", id, id), M("B@:@", BOOL, id),
    M("B@:q", BOOL, NSInteger), M("v@:B", void, BOOL), M("v@:Q", void, NSUInteger),
    M("q@:", NSInteger), M("v@:@@@", void, id, id, id), M("B@:^@", BOOL, id*),
    M("r*@:", const char*), M("@@:r^vQQ", id, const void*, NSUInteger, NSUInteger)};
// clang-format on

}  // namespace

// The frameworks' variables and functions, found by name with dlsym in this program.
extern "C" {
FakeObject kCFTypeDictionaryKeyCallBacks{"keys", "", 0, 0, {}},
    _NSConcreteStackBlock{"block", "", 0, 0, {}}, g_default{"default", "", 0, 0, {}},
    kCFTypeDictionaryValueCallBacks{"values", "", 0, 0, {}};
CFAllocatorRef kCFAllocatorDefault = R(&g_default);
mach_port_t kIOMainPortDefault = 0, mach_task_self_ = 0x103;

void CFRelease(CFTypeRef o) { F().Release(O(o)); }
CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType type, const void* value) {
  FakeObject* n = F().New("number", std::to_string(type) + ":" + T(*(const int32_t*)value));
  return R((n->name = n->text, n));
}
CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void** keys, const void** values,
                                   CFIndex count, const CFDictionaryKeyCallBacks* kc,
                                   const CFDictionaryValueCallBacks* vc) {
  FakeObject* d = F().New("d");
  std::string pairs;
  for (CFIndex i = 0; i < count; ++i) {
    for (const void* o : {keys[i], values[i]}) d->holds.push_back(O(o)), ++O(o)->refs;
    pairs += (i ? ";" : "") + T(O(keys[i])) + "=" + T(O(values[i]));
  }
  return Ret(Call("Dict", pairs, count, kc, vc), R(d));
}
CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef a, CFIndex, CFDictionaryRef d) {
  return Ret(Call("Copy", a, d), R(F().New("ch")));
}
CFIndex CFArrayGetCount(CFArrayRef a) { return static_cast<CFIndex>(O(a)->holds.size()); }
const void* CFArrayGetValueAtIndex(CFArrayRef a, CFIndex i) { return O(a)->holds.at(i); }
CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* text, CFStringEncoding e) {
  EXPECT_EQ(e, 0x08000100u);
  return R(Str(text));
}
Boolean CFStringGetCString(CFStringRef s, char* buffer, CFIndex size, CFStringEncoding) {
  const bool fits = static_cast<CFIndex>(O(s)->text.size()) < size;
  if (fits) memcpy(buffer, O(s)->text.c_str(), O(s)->text.size() + 1);
  return Ret(Call("Text", s, size), static_cast<Boolean>(fits));
}
CFAbsoluteTime CFAbsoluteTimeGetCurrent() {
  const double now = F().clock.at(0);
  return F().clock.pop_front(), now;
}

IOHIDEventSystemClientRef IOHIDEventSystemClientCreate(CFAllocatorRef a) {
  return Ret(Call("Client", a), R(F().New("c")));
}
void IOHIDEventSystemClientSetMatching(IOHIDEventSystemClientRef c, CFDictionaryRef d) {
  F().Log(Call("Match", c, d));
}
CFArrayRef IOHIDEventSystemClientCopyServices(IOHIDEventSystemClientRef c) {
  return Ret(Call("Services", c), R(Holder("a", "s", F().hid.size())));
}
CFTypeRef IOHIDServiceClientCopyProperty(IOHIDServiceClientRef s, CFStringRef key) {
  const auto& name = Hid(s).first;
  return Ret(Call("Property", s, key), R(name && O(key)->text == "Product" ? Str(*name) : nullptr));
}
IOHIDEventRef IOHIDServiceClientCopyEvent(IOHIDServiceClientRef s, int64_t ty, CFDictionaryRef m,
                                          uint32_t o) {
  EXPECT_EQ(m, nullptr);
  FakeObject* e = Hid(s).second && ty == 15 ? F().New("e") : nullptr;
  if (e != nullptr) e->value = *Hid(s).second;
  return Ret(Call("Event", s, ty + o), R(e));
}
double IOHIDEventGetFloatValue(IOHIDEventRef e, uint32_t f) {
  return Ret(Call("Float", e, f), O(e)->value);
}

// IOKit services and user clients: the FakeSmc records them.
CFMutableDictionaryRef IOServiceMatching(const char* name) { return R(F().New("d", name)); }
io_service_t IOServiceGetMatchingService(mach_port_t, CFDictionaryRef d) {
  F().Release(O(d));  // consumed
  return F().smc.FindService(O(d)->text.c_str());
}
kern_return_t IOServiceOpen(io_service_t s, mach_port_t, uint32_t type, io_connect_t* c) {
  return F().smc.Open(s, type, c);
}
kern_return_t IOObjectRelease(io_object_t object) { return F().smc.ReleaseService(object), 0; }
kern_return_t IOConnectCallStructMethod(mach_port_t c, uint32_t selector, const void* in,
                                        size_t in_size, void* out, size_t* out_size) {
  return F().smc.CallStructMethod(c, selector, static_cast<const SmcParamRecord*>(in), in_size,
                                  static_cast<SmcParamRecord*>(out), out_size);
}
kern_return_t IOServiceClose(io_connect_t c) { return F().smc.Close(c), 0; }

CFMutableDictionaryRef IOReportCopyChannelsInGroup(CFStringRef g, CFStringRef s, uint64_t a,
                                                   uint64_t b, uint64_t c) {
  return Ret(Call("Group", g, s, a + b + c), R(F().New("ch")));
}
IOReportSubscriptionRef IOReportCreateSubscription(void*, CFMutableDictionaryRef desired,
                                                   CFMutableDictionaryRef* subscribed, uint64_t,
                                                   CFTypeRef) {
  const std::string call = Call("Subscribe", desired, *subscribed);
  FakeObject* s = F().missing.count("sub") ? nullptr : F().New("sub");  // "sub": refused
  return F().Log(call + "=" + T(s) + "," + T(*subscribed)), R(s);
}
CFDictionaryRef IOReportCreateSamples(IOReportSubscriptionRef s, CFMutableDictionaryRef c,
                                      CFTypeRef) {
  return Ret(Call("Sample", s, c), R(F().New("smp")));
}
CFDictionaryRef IOReportCreateSamplesDelta(CFDictionaryRef a, CFDictionaryRef b, CFTypeRef) {
  return Ret(Call("Delta", a, b), R(Holder("dl", "chan", F().channels.size())));
}
void IOReportIterate(CFDictionaryRef delta, IOReportIterateBlock* block) {
  EXPECT_EQ(block->isa, &_NSConcreteStackBlock);
  EXPECT_EQ(block->flags, 0);
  EXPECT_EQ(block->descriptor->size, sizeof *block);
  for (FakeObject* c : O(delta)->holds) EXPECT_EQ(block->invoke(block, R(c)), 0);
}
CFStringRef IOReportChannelGetChannelName(IOReportSampleRef c) { return Kept(c, Channel(c).name); }
CFStringRef IOReportChannelGetUnitLabel(IOReportSampleRef c) { return Kept(c, Channel(c).unit); }
int64_t IOReportSimpleGetIntegerValue(IOReportSampleRef c, int32_t* reserved) {
  EXPECT_EQ(reserved, nullptr);
  return Channel(c).count;
}

size_t malloc_zone_pressure_relief(void* z, size_t n) { return Ret(Call("relief", z, n), 0ul); }
// pthread's header declares the real one: a fake under this prefix stands for it (Symbol).
int ostrel_fake_pthread_set_qos_class_self_np(QosClass qos, int relative) {
  return Ret(Call("qos", qos, relative), 0);
}

// libicucore: the walk breaks at `breaks`, then answers UBRK_DONE; "iterator" missing: refused.
UText* utext_openUTF8(UText* reuse, const char* text, int64_t length, UErrorCode*) {
  return Ret(Call("openUTF8", reuse, std::string(text, length), length), R(F().New("ut")));
}
UText* utext_close(UText* t) { return F().Log(Call("closeText", t)), F().Release(O(t)), nullptr; }
UBreakIterator* ubrk_open(int32_t type, const char* locale, const uint16_t* text, int32_t length,
                          UErrorCode* status) {
  const bool refused = F().missing.count("iterator") > 0;
  if (refused) *status = 1;  // U_ILLEGAL_ARGUMENT_ERROR
  return Ret(Call("openBreaks", type, "'" + std::string(locale) + "'", text, length),
             R(refused ? nullptr : F().New("bi")));
}
void ubrk_setUText(UBreakIterator* b, UText* t, UErrorCode*) { F().Log(Call("setText", b, t)); }
int32_t ubrk_next(UBreakIterator*) {
  if (F().breaks.empty()) return -1;
  const int32_t next = F().breaks.front();
  return F().breaks.pop_front(), next;
}
void ubrk_close(UBreakIterator* b) { F().Log(Call("closeBreaks", b)), F().Release(O(b)); }

Class objc_getClass(const char* name) {
  return Ret(Call("getClass", name), R(F().missing.count(name) ? nullptr : F().Shared(name)));
}
SEL sel_registerName(const char* name) { return reinterpret_cast<SEL>(Intern(name)); }
Class objc_allocateClassPair(Class base, const char* name, size_t extra) {
  return Ret(Call("allocateClass", base, name, extra), R(F().Shared(name)));
}
BOOL class_addMethod(Class c, SEL selector, IMP method, const char* types) {
  F().did_finish_launching = reinterpret_cast<void*>(method);
  return F().Log(Call("addMethod", c, S(selector), types)), true;
}
void objc_registerClassPair(Class c) { F().Log(Call("register", c)); }
Protocol* objc_getProtocol(const char* name) {
  return F().Log(Call("getProtocol", name)), R(F().Shared(name));
}
BOOL class_addProtocol(Class c, Protocol* p) { return F().Log(Call("addProtocol", c, p)), true; }
void* objc_autoreleasePoolPush() { return reinterpret_cast<void*>(++F().pools); }
void objc_autoreleasePoolPop(void* pool) {
  EXPECT_EQ(reinterpret_cast<intptr_t>(pool), F().pools--) << "pools pop in order";
}
void NSLog(id format, ...) {
  va_list arguments;
  va_start(arguments, format);
  F().Log(Call("NSLog", format, va_arg(arguments, id)));
  va_end(arguments);
}

}  // extern "C"

FakeMac::FakeMac() { current = this; }
FakeMac::~FakeMac() {
  for (const FakeObject& o : objects) EXPECT_EQ(o.refs, 0) << o.name << " released wrongly";
  EXPECT_EQ(pools, 0) << "every autorelease pool popped";
  current = nullptr;
}
void* FakeMac::Open(const char* path) {
  Log(Call("dlopen", strrchr(path, '/') + 1));
  return missing.count(path) ? nullptr : const_cast<char*>(Intern(path));
}
void* FakeMac::Symbol(void*, const char* name) {
  if (missing.count(name)) return nullptr;
  void* renamed = dlsym(RTLD_DEFAULT, ("ostrel_fake_" + std::string(name)).c_str());
  return renamed ? renamed : dlsym(RTLD_DEFAULT, name);
}
void* FakeMac::Messenger(void*, const char* types) { return kMessengers.at(types); }
FakeObject* FakeMac::New(const std::string& kind, const std::string& text, int refs) {
  const std::string name = kind + std::to_string(++counters[kind]);
  return &objects.emplace_back(FakeObject{name, text, 0, refs, {}});
}
void FakeMac::Release(FakeObject* object) {
  if (--object->refs == 0) {
    for (FakeObject* held : object->holds) Release(held);
  }
}
FakeObject* FakeMac::Shared(const std::string& name) {
  FakeObject*& o = shared[name];
  return o ? o : (o = &objects.emplace_back(FakeObject{name, name, 0, 0, {}}));
}

}  // namespace ostrel::macos::testing
