// core_foundation.h: the CoreFoundation functions the macOS layers call, resolved from the
// framework at run time, and an owning holder that gives an object up with CFRelease.
//
// A CoreFoundation table is resolved once by whoever makes it and is read-only afterwards, so
// any number of threads may call through one. CFOwned holds one reference that its holder owns
// (what a Create or Copy function returned) and releases it exactly once.
#ifndef OSTREL_PLATFORM_MACOS_CORE_FOUNDATION_H_
#define OSTREL_PLATFORM_MACOS_CORE_FOUNDATION_H_

#include <memory>
#include <type_traits>

#include "platform/macos/mac_api.h"
#include "platform/macos/symbol_resolver.h"

namespace ostrel::macos {

// Gives up one reference with CFRelease; never called with null.
struct CFReleaser {
  CFReleaseFn release;  // the framework's CFRelease
  void operator()(const void* object) const { release(object); }
};

// One owned reference to an object of the CoreFoundation type `Ref` (CFStringRef, ...).
template <typename Ref>
using CFOwned = std::unique_ptr<std::remove_pointer_t<Ref>, CFReleaser>;

struct CoreFoundation {
  // Resolves every entry below from `library`; complete() tells whether all were found.
  explicit CoreFoundation(DynamicLibrary& library);

  // Whether every function and constant was found. Nothing may be called otherwise.
  bool complete() const { return complete_; }

  // `object` (owned by the caller) as an owning holder; empty for null.
  template <typename Ref>
  CFOwned<Ref> Own(Ref object) const {
    return CFOwned<Ref>(object, CFReleaser{CFRelease});
  }

  // The constant string `text` as a new string object (owned), or an empty holder.
  CFOwned<CFStringRef> String(const char* text) const {
    return Own(CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8));
  }

  CFReleaseFn CFRelease;
  CFNumberCreateFn CFNumberCreate;
  CFDictionaryCreateFn CFDictionaryCreate;
  CFDictionaryCreateMutableCopyFn CFDictionaryCreateMutableCopy;
  CFArrayGetCountFn CFArrayGetCount;
  CFArrayGetValueAtIndexFn CFArrayGetValueAtIndex;
  CFStringCreateWithCStringFn CFStringCreateWithCString;
  CFStringGetCStringFn CFStringGetCString;
  CFAbsoluteTimeGetCurrentFn CFAbsoluteTimeGetCurrent;
  CFAllocatorRef kCFAllocatorDefault;  // the value of the framework's constant
  const CFDictionaryKeyCallBacks* kCFTypeDictionaryKeyCallBacks;
  const CFDictionaryValueCallBacks* kCFTypeDictionaryValueCallBacks;

 private:
  bool complete_ = false;  // every entry above was found
};

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_CORE_FOUNDATION_H_
