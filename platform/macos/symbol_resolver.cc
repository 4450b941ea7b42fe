// symbol_resolver.cc: dlopen/dlsym, and libraries kept open once opened.
#include "platform/macos/symbol_resolver.h"

#include <dlfcn.h>

#include "platform/macos/mac_api.h"

namespace ostrel::macos {

void* SymbolResolver::Messenger(void* library, const char* /*types*/) {
  return Symbol(library, "objc_msgSend");
}

void* DlopenResolver::Open(const char* path) { return dlopen(path, RTLD_LAZY); }

void* DlopenResolver::Symbol(void* library, const char* name) { return dlsym(library, name); }

void* DynamicLibrary::Handle() {
  void* handle = handle_.load(std::memory_order_acquire);
  if (handle != nullptr) return handle;
  handle = resolver_.Open(path_);
  if (handle == nullptr) return nullptr;
  // Of two racing opens the first stored wins; the other handle is simply not kept (the
  // library stays loaded, nothing is ever closed).
  void* expected = nullptr;
  if (!handle_.compare_exchange_strong(expected, handle, std::memory_order_acq_rel)) {
    return expected;
  }
  return handle;
}

void* DynamicLibrary::Symbol(const char* name) {
  void* handle = Handle();
  return handle == nullptr ? nullptr : resolver_.Symbol(handle, name);
}

void* DynamicLibrary::Messenger(const char* types) {
  void* handle = Handle();
  return handle == nullptr ? nullptr : resolver_.Messenger(handle, types);
}

MacLibraries::MacLibraries(SymbolResolver& resolver_in)
    : resolver(resolver_in),
      system(resolver_in, kSystemPath),
      core_foundation(resolver_in, kCoreFoundationPath),
      iokit(resolver_in, kIOKitPath),
      io_report(resolver_in, kIOReportPath),
      objc(resolver_in, kObjcPath),
      foundation(resolver_in, kFoundationPath),
      appkit(resolver_in, kAppKitPath),
      service_management(resolver_in, kServiceManagementPath),
      icu_core(resolver_in, kIcuCorePath) {}

MacLibraries& MachineLibraries() {
  static DlopenResolver* resolver = new DlopenResolver();
  static MacLibraries* libraries = new MacLibraries(*resolver);
  return *libraries;
}

}  // namespace ostrel::macos
