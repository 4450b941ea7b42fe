// core_foundation.cc: resolving the CoreFoundation table.
#include "platform/macos/core_foundation.h"

namespace ostrel::macos {

CoreFoundation::CoreFoundation(DynamicLibrary& library)
    : CFRelease(library.Function<CFReleaseFn>("CFRelease")),
      CFNumberCreate(library.Function<CFNumberCreateFn>("CFNumberCreate")),
      CFDictionaryCreate(library.Function<CFDictionaryCreateFn>("CFDictionaryCreate")),
      CFDictionaryCreateMutableCopy(
          library.Function<CFDictionaryCreateMutableCopyFn>("CFDictionaryCreateMutableCopy")),
      CFArrayGetCount(library.Function<CFArrayGetCountFn>("CFArrayGetCount")),
      CFArrayGetValueAtIndex(library.Function<CFArrayGetValueAtIndexFn>("CFArrayGetValueAtIndex")),
      CFStringCreateWithCString(
          library.Function<CFStringCreateWithCStringFn>("CFStringCreateWithCString")),
      CFStringGetCString(library.Function<CFStringGetCStringFn>("CFStringGetCString")),
      CFAbsoluteTimeGetCurrent(
          library.Function<CFAbsoluteTimeGetCurrentFn>("CFAbsoluteTimeGetCurrent")),
      kCFAllocatorDefault(nullptr),
      kCFTypeDictionaryKeyCallBacks(static_cast<const CFDictionaryKeyCallBacks*>(
          library.Symbol("kCFTypeDictionaryKeyCallBacks"))),
      kCFTypeDictionaryValueCallBacks(static_cast<const CFDictionaryValueCallBacks*>(
          library.Symbol("kCFTypeDictionaryValueCallBacks"))) {
  // The default allocator is a variable of the framework; its value (null in practice) is what
  // is passed, so only the variable's presence is tested.
  const auto* allocator = static_cast<const CFAllocatorRef*>(library.Symbol("kCFAllocatorDefault"));
  if (allocator != nullptr) kCFAllocatorDefault = *allocator;
  complete_ = CFRelease && CFNumberCreate && CFDictionaryCreate && CFDictionaryCreateMutableCopy &&
              CFArrayGetCount && CFArrayGetValueAtIndex && CFStringCreateWithCString &&
              CFStringGetCString && CFAbsoluteTimeGetCurrent && allocator != nullptr &&
              kCFTypeDictionaryKeyCallBacks != nullptr &&
              kCFTypeDictionaryValueCallBacks != nullptr;
}

}  // namespace ostrel::macos
