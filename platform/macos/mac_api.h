// mac_api.h: our own declarations of the few macOS types and functions the macOS layers call.
//
// Nothing here includes a system header: every macOS function is reached at run time through a
// SymbolResolver (symbol_resolver.h), so these files compile with any C++20 compiler, on a Mac
// and elsewhere. Each function is declared once, as the pointer type it is called through; the
// tests' fakes are defined with the same types, so a call and its fake can never disagree on a
// signature. Objects are opaque pointers; the ownership rules are the frameworks' own: what a
// Create or Copy function returns is the caller's and is given up with CFRelease, everything
// else is borrowed.
//
// Plain declarations, no state: safe on any thread.
#ifndef OSTREL_PLATFORM_MACOS_MAC_API_H_
#define OSTREL_PLATFORM_MACOS_MAC_API_H_

#include <stddef.h>
#include <stdint.h>

namespace ostrel::macos {

// --- The system's library files, loaded by path. ---
inline constexpr char kSystemPath[] = "/usr/lib/libSystem.B.dylib";
inline constexpr char kCoreFoundationPath[] =
    "/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation";
inline constexpr char kIOKitPath[] = "/System/Library/Frameworks/IOKit.framework/IOKit";
inline constexpr char kIOReportPath[] = "/usr/lib/libIOReport.dylib";
inline constexpr char kObjcPath[] = "/usr/lib/libobjc.A.dylib";
inline constexpr char kFoundationPath[] =
    "/System/Library/Frameworks/Foundation.framework/Foundation";
inline constexpr char kAppKitPath[] = "/System/Library/Frameworks/AppKit.framework/AppKit";
inline constexpr char kServiceManagementPath[] =
    "/System/Library/Frameworks/ServiceManagement.framework/ServiceManagement";
inline constexpr char kIcuCorePath[] = "/usr/lib/libicucore.A.dylib";

// --- Mach and IOKit kernel objects: 32-bit port names; 0 is none. ---
using mach_port_t = unsigned int;
using kern_return_t = int;  // 0 (KERN_SUCCESS) is success
using io_object_t = mach_port_t;
using io_service_t = io_object_t;
using io_connect_t = io_object_t;

// --- CoreFoundation. ---
using CFTypeRef = const void*;
using CFAllocatorRef = const struct OpaqueCFAllocator*;
using CFStringRef = const struct OpaqueCFString*;
using CFNumberRef = const struct OpaqueCFNumber*;
using CFArrayRef = const struct OpaqueCFArray*;
using CFDictionaryRef = const struct OpaqueCFDictionary*;
using CFMutableDictionaryRef = struct OpaqueCFDictionary*;
using CFIndex = long;
using Boolean = unsigned char;
using CFNumberType = CFIndex;
using CFStringEncoding = uint32_t;
using CFAbsoluteTime = double;
// Only ever passed by address (the frameworks' kCFTypeDictionary...CallBacks).
struct CFDictionaryKeyCallBacks;
struct CFDictionaryValueCallBacks;

inline constexpr CFNumberType kCFNumberIntType = 9;  // a C int (32 bits)
inline constexpr CFStringEncoding kCFStringEncodingUTF8 = 0x08000100;

using CFReleaseFn = void (*)(CFTypeRef object);
using CFNumberCreateFn = CFNumberRef (*)(CFAllocatorRef allocator, CFNumberType type,
                                         const void* value);
using CFDictionaryCreateFn = CFDictionaryRef (*)(CFAllocatorRef allocator, const void** keys,
                                                 const void** values, CFIndex count,
                                                 const CFDictionaryKeyCallBacks* key_callbacks,
                                                 const CFDictionaryValueCallBacks* value_callbacks);
using CFDictionaryCreateMutableCopyFn = CFMutableDictionaryRef (*)(CFAllocatorRef allocator,
                                                                   CFIndex capacity,
                                                                   CFDictionaryRef dictionary);
using CFArrayGetCountFn = CFIndex (*)(CFArrayRef array);
using CFArrayGetValueAtIndexFn = const void* (*)(CFArrayRef array, CFIndex index);
using CFStringCreateWithCStringFn = CFStringRef (*)(CFAllocatorRef allocator, const char* text,
                                                    CFStringEncoding encoding);
using CFStringGetCStringFn = Boolean (*)(CFStringRef string, char* buffer, CFIndex size,
                                         CFStringEncoding encoding);
using CFAbsoluteTimeGetCurrentFn = CFAbsoluteTime (*)();

// --- IOKit: the HID event system (temperature sensors). ---
using IOHIDEventSystemClientRef = struct OpaqueHIDClient*;
using IOHIDServiceClientRef = struct OpaqueHIDService*;
using IOHIDEventRef = struct OpaqueHIDEvent*;

inline constexpr int64_t kIOHIDEventTypeTemperature = 15;
// The temperature level field: the event type shifted left by 16.
inline constexpr uint32_t kIOHIDEventFieldTemperatureLevel = 15u << 16;

using IOHIDEventSystemClientCreateFn = IOHIDEventSystemClientRef (*)(CFAllocatorRef allocator);
using IOHIDEventSystemClientSetMatchingFn = void (*)(IOHIDEventSystemClientRef client,
                                                     CFDictionaryRef matching);
using IOHIDEventSystemClientCopyServicesFn = CFArrayRef (*)(IOHIDEventSystemClientRef client);
using IOHIDServiceClientCopyPropertyFn = CFTypeRef (*)(IOHIDServiceClientRef service,
                                                       CFStringRef key);
// `matching` narrows which event is copied; null: the service's current one.
using IOHIDServiceClientCopyEventFn = IOHIDEventRef (*)(IOHIDServiceClientRef service, int64_t type,
                                                        CFDictionaryRef matching, uint32_t options);
using IOHIDEventGetFloatValueFn = double (*)(IOHIDEventRef event, uint32_t field);

// --- IOKit: services and user clients (the SMC). ---
using IOServiceMatchingFn = CFMutableDictionaryRef (*)(const char* class_name);
// Consumes one reference of `matching`.
using IOServiceGetMatchingServiceFn = io_service_t (*)(mach_port_t main_port,
                                                       CFDictionaryRef matching);
using IOServiceOpenFn = kern_return_t (*)(io_service_t service, mach_port_t owning_task,
                                          uint32_t type, io_connect_t* connection);
using IOObjectReleaseFn = kern_return_t (*)(io_object_t object);
using IOConnectCallStructMethodFn = kern_return_t (*)(mach_port_t connection, uint32_t selector,
                                                      const void* input, size_t input_size,
                                                      void* output, size_t* output_size);
using IOServiceCloseFn = kern_return_t (*)(io_connect_t connection);

// --- libIOReport: energy counters. ---
using IOReportSubscriptionRef = struct OpaqueIOReportSubscription*;
using IOReportSampleRef = CFDictionaryRef;  // one channel of a sample or delta

// The start of every block (the Apple block ABI), here for the one block this system hands to
// the platform: IOReportIterate's per-channel visitor. A block is called as invoke(block, ...).
struct BlockDescriptor {
  unsigned long reserved;  // always 0
  unsigned long size;      // the size of the whole block literal, captures included
};
struct IOReportIterateBlock {
  void* isa;         // &_NSConcreteStackBlock: a block on the caller's stack
  int32_t flags;     // 0: no copy or dispose helpers, no signature
  int32_t reserved;  // 0
  int (*invoke)(IOReportIterateBlock* block, IOReportSampleRef channel);  // 0 goes on
  const BlockDescriptor* descriptor;                                      // size of this struct
  void* context;  // the one capture: what invoke works for
};

using IOReportCopyChannelsInGroupFn = CFMutableDictionaryRef (*)(CFStringRef group,
                                                                 CFStringRef subgroup, uint64_t a,
                                                                 uint64_t b, uint64_t c);
using IOReportCreateSubscriptionFn = IOReportSubscriptionRef (*)(void* reserved,
                                                                 CFMutableDictionaryRef desired,
                                                                 CFMutableDictionaryRef* subscribed,
                                                                 uint64_t channel_id,
                                                                 CFTypeRef options);
using IOReportCreateSamplesFn = CFDictionaryRef (*)(IOReportSubscriptionRef subscription,
                                                    CFMutableDictionaryRef channels,
                                                    CFTypeRef options);
using IOReportCreateSamplesDeltaFn = CFDictionaryRef (*)(CFDictionaryRef older,
                                                         CFDictionaryRef newer, CFTypeRef options);
using IOReportIterateFn = void (*)(CFDictionaryRef samples, IOReportIterateBlock* block);
using IOReportChannelGetChannelNameFn = CFStringRef (*)(IOReportSampleRef channel);
// `reserved` is an optional out-parameter the helper does not use: always null.
using IOReportSimpleGetIntegerValueFn = int64_t (*)(IOReportSampleRef channel, int32_t* reserved);
using IOReportChannelGetUnitLabelFn = CFStringRef (*)(IOReportSampleRef channel);

// --- The system library's allocator. ---
// Gives the free pages of `zone` (null: every zone) back to the system, `goal` bytes at most
// (0: as many as it can); answers how many it gave back.
using malloc_zone_pressure_reliefFn = size_t (*)(void* zone, size_t goal);

// --- The system library's threads. ---
using QosClass = unsigned int;                      // qos_class_t
inline constexpr QosClass kQosClassUtility = 0x11;  // QOS_CLASS_UTILITY
// Sets the calling thread's quality-of-service class; 0 on success, an errno value otherwise.
using pthread_set_qos_class_self_npFn = int (*)(QosClass qos_class, int relative_priority);

// --- libicucore: the system's ICU, whose C functions carry unversioned names. ---
using UErrorCode = int;  // 0 is success, negative a warning (also success), positive a failure
using UText = struct OpaqueUText;
using UBreakIterator = struct OpaqueUBreakIterator;
inline constexpr int32_t kUBreakCharacter = 0;  // UBRK_CHARACTER: grapheme clusters
inline constexpr int32_t kUBreakDone = -1;      // UBRK_DONE: no boundary left

// A text over UTF-8 bytes read in place (its indexes are byte offsets); `reuse` null: a new one.
using utext_openUTF8Fn = UText* (*)(UText* reuse, const char* text, int64_t length,
                                    UErrorCode* status);
using utext_closeFn = UText* (*)(UText* text);  // answers null
// `text` null and `length` 0: the text is set later with ubrk_setUText.
using ubrk_openFn = UBreakIterator* (*)(int32_t type, const char* locale, const uint16_t* text,
                                        int32_t length, UErrorCode* status);
using ubrk_setUTextFn = void (*)(UBreakIterator* iterator, UText* text, UErrorCode* status);
using ubrk_nextFn = int32_t (*)(UBreakIterator* iterator);
using ubrk_closeFn = void (*)(UBreakIterator* iterator);

// --- The Objective-C runtime. ---
using id = struct OpaqueObjcObject*;
using Class = id;  // a class is an object that answers class methods
using SEL = const struct OpaqueObjcSelector*;
using Protocol = struct OpaqueObjcProtocol;
using IMP = void (*)();
// BOOL is C++ bool on Apple silicon, signed char on Intel Macs.
#if defined(__APPLE__) && defined(__x86_64__)
using BOOL = signed char;
#else
using BOOL = bool;
#endif
using NSInteger = long;
using NSUInteger = unsigned long;
inline constexpr NSUInteger kNSUTF8StringEncoding = 4;

using objc_getClassFn = Class (*)(const char* name);
using sel_registerNameFn = SEL (*)(const char* name);
using objc_allocateClassPairFn = Class (*)(Class superclass, const char* name, size_t extra);
using class_addMethodFn = BOOL (*)(Class cls, SEL selector, IMP method, const char* types);
using objc_registerClassPairFn = void (*)(Class cls);
using objc_getProtocolFn = Protocol* (*)(const char* name);
using class_addProtocolFn = BOOL (*)(Class cls, Protocol* protocol);
using objc_autoreleasePoolPushFn = void* (*)();
using objc_autoreleasePoolPopFn = void (*)(void* pool);
// Foundation's log function: a format string object and its arguments.
using NSLogFn = void (*)(id format, ...);

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_MAC_API_H_
