// objc_runtime.h: Objective-C from C++, through the runtime library's C functions.
//
// Classes are found with objc_getClass, selectors with sel_registerName, and a message is sent
// by calling objc_msgSend through a function pointer cast to the exact C signature of that
// message (receiver, selector, arguments), never as a variadic function: on arm64 a variadic
// call passes its arguments where the method does not look for them. Message<R(A...)> is that
// cast, one per signature; ObjcRuntime holds one of each signature the macOS layers send, and
// the users look their classes and selectors up once, when they are made.
//
// Ownership follows the runtime's rules: an object from alloc (NewString) is the caller's and
// is given up with Release exactly once; every other object a message returns is borrowed,
// kept alive by the innermost autorelease pool (AutoreleasePool), which every operation that
// sends messages opens for its own duration, so that nothing piles up on server threads.
//
// Threads: the runtime table is read-only once made; messages may be sent from any thread,
// AppKit's only from the main thread (which the users' contracts already say).
#ifndef OSTREL_PLATFORM_MACOS_OBJC_RUNTIME_H_
#define OSTREL_PLATFORM_MACOS_OBJC_RUNTIME_H_

#include <string>
#include <string_view>
#include <type_traits>

#include "platform/macos/mac_api.h"
#include "platform/macos/symbol_resolver.h"

namespace ostrel::macos {

// objc_msgSend as a function of exactly R(id receiver, SEL selector, A... arguments).
template <typename Signature>
class Message;
template <typename R, typename... A>
class Message<R(A...)> {
  // Intel Macs answer these through other entry points (objc_msgSend_fpret, _stret); no
  // message this system sends has such an answer.
  static_assert(!std::is_floating_point_v<R> && !std::is_class_v<R>,
                "floating-point and structure answers need another entry point");

 public:
  // `types` is the signature's Objective-C type encoding, e.g. "v@:@" for void(id).
  Message(DynamicLibrary& objc, const char* types)
      : send_(reinterpret_cast<Send>(objc.Messenger(types))) {}

  explicit operator bool() const { return send_ != nullptr; }
  R operator()(id receiver, SEL selector, A... arguments) const {
    return send_(receiver, selector, arguments...);
  }

 private:
  using Send = R (*)(id, SEL, A...);
  const Send send_;  // objc_msgSend, or null when the runtime can't be loaded
};

class ObjcRuntime {
 public:
  // Loads the runtime and Foundation and looks up everything below.
  explicit ObjcRuntime(MacLibraries& libraries);
  ObjcRuntime(const ObjcRuntime&) = delete;
  ObjcRuntime& operator=(const ObjcRuntime&) = delete;

  // Whether every function, message and class below was found; when not, nothing may be sent
  // and the users fall back to doing nothing.
  bool complete() const { return complete_; }

  // The class named `name`, or null (no such class, or the runtime is incomplete).
  Class GetClass(const char* name) const;
  // The selector named `name`, or null when the runtime is incomplete.
  SEL Selector(const char* name) const;

  // [[NSString alloc] initWithBytes:length:encoding:] of `text` as UTF-8: a new string (owned),
  // or null when `text` is not UTF-8.
  id NewString(std::string_view text) const;
  // The UTF-8 text of the string object `string` (borrowed); empty for null.
  std::string Text(id string) const;
  // [object release]; nothing for null.
  void Release(id object) const;

  // An autorelease pool for the life of the object (objc_autoreleasePoolPush, then Pop).
  class AutoreleasePool {
   public:
    explicit AutoreleasePool(const ObjcRuntime& runtime);
    ~AutoreleasePool();
    AutoreleasePool(const AutoreleasePool&) = delete;
    AutoreleasePool& operator=(const AutoreleasePool&) = delete;

   private:
    const ObjcRuntime& runtime_;  // borrowed
    void* pool_;                  // the pushed pool, or null when none was pushed
  };

  // One message per signature (the type encoding in the comment).
  const Message<id()> send_id;                                           // "@@:"
  const Message<void()> send_void;                                       // "v@:"
  const Message<void(id)> send_void_id;                                  // "v@:@"
  const Message<id(id)> send_id_id;                                      // "@@:@"
  const Message<BOOL(id)> send_bool_id;                                  // "B@:@"
  const Message<BOOL(NSInteger)> send_bool_long;                         // "B@:q"
  const Message<void(BOOL)> send_void_bool;                              // "v@:B"
  const Message<void(NSUInteger)> send_void_ulong;                       // "v@:Q"
  const Message<NSInteger()> send_long;                                  // "q@:"
  const Message<void(id, id, id)> send_void_id_id_id;                    // "v@:@@@"
  const Message<BOOL(id*)> send_bool_error;                              // "B@:^@"
  const Message<const char*()> send_cstring;                             // "r*@:"
  const Message<id(const void*, NSUInteger, NSUInteger)> send_id_bytes;  // "@@:r^vQQ"

  // Making a class at run time.
  const objc_allocateClassPairFn objc_allocateClassPair;
  const class_addMethodFn class_addMethod;
  const objc_registerClassPairFn objc_registerClassPair;
  const objc_getProtocolFn objc_getProtocol;
  const class_addProtocolFn class_addProtocol;

 private:
  const objc_getClassFn objc_getClass_;
  const sel_registerNameFn sel_registerName_;
  const objc_autoreleasePoolPushFn pool_push_;
  const objc_autoreleasePoolPopFn pool_pop_;
  bool complete_ = false;
  // Looked up once, for NewString, Text and Release.
  Class string_class_ = nullptr;  // NSString
  SEL alloc_ = nullptr;
  SEL init_bytes_ = nullptr;  // initWithBytes:length:encoding:
  SEL utf8_ = nullptr;        // UTF8String
  SEL release_ = nullptr;
};

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_OBJC_RUNTIME_H_
