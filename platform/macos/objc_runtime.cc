// objc_runtime.cc: looking up the runtime, and the string and release helpers.
#include "platform/macos/objc_runtime.h"

namespace ostrel::macos {

ObjcRuntime::ObjcRuntime(MacLibraries& libraries)
    : send_id(libraries.objc, "@@:"),
      send_void(libraries.objc, "v@:"),
      send_void_id(libraries.objc, "v@:@"),
      send_id_id(libraries.objc, "@@:@"),
      send_bool_id(libraries.objc, "B@:@"),
      send_bool_long(libraries.objc, "B@:q"),
      send_void_bool(libraries.objc, "v@:B"),
      send_void_ulong(libraries.objc, "v@:Q"),
      send_long(libraries.objc, "q@:"),
      send_void_id_id_id(libraries.objc, "v@:@@@"),
      send_bool_error(libraries.objc, "B@:^@"),
      send_cstring(libraries.objc, "r*@:"),
      send_id_bytes(libraries.objc, "@@:r^vQQ"),
      objc_allocateClassPair(
          libraries.objc.Function<objc_allocateClassPairFn>("objc_allocateClassPair")),
      class_addMethod(libraries.objc.Function<class_addMethodFn>("class_addMethod")),
      objc_registerClassPair(
          libraries.objc.Function<objc_registerClassPairFn>("objc_registerClassPair")),
      objc_getProtocol(libraries.objc.Function<objc_getProtocolFn>("objc_getProtocol")),
      class_addProtocol(libraries.objc.Function<class_addProtocolFn>("class_addProtocol")),
      objc_getClass_(libraries.objc.Function<objc_getClassFn>("objc_getClass")),
      sel_registerName_(libraries.objc.Function<sel_registerNameFn>("sel_registerName")),
      pool_push_(libraries.objc.Function<objc_autoreleasePoolPushFn>("objc_autoreleasePoolPush")),
      pool_pop_(libraries.objc.Function<objc_autoreleasePoolPopFn>("objc_autoreleasePoolPop")) {
  complete_ = send_id && send_void && send_void_id && send_id_id && send_bool_id &&
              send_bool_long && send_void_bool && send_void_ulong && send_long &&
              send_void_id_id_id && send_bool_error && send_cstring && send_id_bytes &&
              objc_allocateClassPair && class_addMethod && objc_registerClassPair &&
              objc_getProtocol && class_addProtocol && objc_getClass_ && sel_registerName_ &&
              pool_push_ && pool_pop_;
  if (!complete_) return;
  // Foundation's classes exist in the runtime once the framework is loaded.
  libraries.foundation.Handle();
  string_class_ = objc_getClass_("NSString");
  alloc_ = sel_registerName_("alloc");
  init_bytes_ = sel_registerName_("initWithBytes:length:encoding:");
  utf8_ = sel_registerName_("UTF8String");
  release_ = sel_registerName_("release");
  complete_ = string_class_ != nullptr;
}

Class ObjcRuntime::GetClass(const char* name) const {
  return complete_ ? objc_getClass_(name) : nullptr;
}

SEL ObjcRuntime::Selector(const char* name) const {
  return complete_ ? sel_registerName_(name) : nullptr;
}

id ObjcRuntime::NewString(std::string_view text) const {
  if (!complete_) return nullptr;
  // alloc gives the caller one reference; the initialiser consumes it and returns the string
  // (or releases it and returns null).
  return send_id_bytes(send_id(string_class_, alloc_), init_bytes_, text.data(), text.size(),
                       kNSUTF8StringEncoding);
}

std::string ObjcRuntime::Text(id string) const {
  if (!complete_ || string == nullptr) return std::string();
  const char* text = send_cstring(string, utf8_);
  return text == nullptr ? std::string() : std::string(text);
}

void ObjcRuntime::Release(id object) const {
  if (complete_ && object != nullptr) send_void(object, release_);
}

ObjcRuntime::AutoreleasePool::AutoreleasePool(const ObjcRuntime& runtime)
    : runtime_(runtime), pool_(runtime.complete_ ? runtime.pool_push_() : nullptr) {}

ObjcRuntime::AutoreleasePool::~AutoreleasePool() {
  if (pool_ != nullptr) runtime_.pool_pop_(pool_);
}

}  // namespace ostrel::macos
