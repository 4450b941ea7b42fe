// symbol_resolver.h: how the macOS layers reach the system's frameworks: by library path and
// function name, at run time.
//
// The product's resolver is dlopen/dlsym (DlopenResolver). Tests hand in a table of fake
// functions by name instead; nothing else in the macOS layers knows the difference. A
// DynamicLibrary opens its file on first use and keeps the handle for the life of the process
// (libraries are never closed); MacLibraries holds one per system library, and
// MachineLibraries() is the product's set over dlopen/dlsym.
//
// Threads: resolvers and libraries are safe to use from any number of threads at once. Two
// threads racing on a library's first open both open it; one handle is kept, which one doesn't
// matter (the loader counts opens and the library stays loaded either way).
#ifndef OSTREL_PLATFORM_MACOS_SYMBOL_RESOLVER_H_
#define OSTREL_PLATFORM_MACOS_SYMBOL_RESOLVER_H_

#include <atomic>

namespace ostrel::macos {

class SymbolResolver {
 public:
  virtual ~SymbolResolver() = default;

  // Loads the library at `path` with lazy binding; its handle, or null when it can't be loaded.
  virtual void* Open(const char* path) = 0;

  // The address of the function or variable `name` in `library` (a handle from Open) or in a
  // library it depends on; null when there is none.
  virtual void* Symbol(void* library, const char* name) = 0;

  // objc_msgSend from the Objective-C runtime `library`, to be called as a function of the
  // message signature `types` (Objective-C type encoding: "v@:@" returns nothing and takes one
  // object). The system has one entry point for every signature, which is what this returns by
  // default; the signature lets a resolver of fakes hand out one typed function per signature.
  virtual void* Messenger(void* library, const char* types);
};

// dlopen(path, RTLD_LAZY) and dlsym.
class DlopenResolver final : public SymbolResolver {
 public:
  void* Open(const char* path) override;
  void* Symbol(void* library, const char* name) override;
};

// One library file, opened by the first lookup that can open it.
class DynamicLibrary {
 public:
  // `resolver` is borrowed; `path` must be a string that lives as long as this object.
  DynamicLibrary(SymbolResolver& resolver, const char* path) : resolver_(resolver), path_(path) {}
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // The library's handle: kept from the first open that succeeds; null while it can't be
  // opened, and then every call tries the open again.
  void* Handle();

  // The address of `name` in the library, or null when the library can't be opened or has no
  // such symbol.
  void* Symbol(const char* name);

  // Symbol(name) as the function pointer type `Fn` (one of those of mac_api.h).
  template <typename Fn>
  Fn Function(const char* name) {
    return reinterpret_cast<Fn>(Symbol(name));
  }

  // objc_msgSend typed by `types` (see SymbolResolver::Messenger); null when not loadable.
  void* Messenger(const char* types);

 private:
  SymbolResolver& resolver_;            // borrowed
  const char* const path_;              // the file, by its system path
  std::atomic<void*> handle_{nullptr};  // null until an open succeeded
};

// The system libraries the macOS layers use, each opened on first use.
struct MacLibraries {
  explicit MacLibraries(SymbolResolver& resolver);

  SymbolResolver& resolver;           // borrowed; every library below resolves through it
  DynamicLibrary system;              // libSystem: mach_task_self_, _NSConcreteStackBlock, QoS
  DynamicLibrary core_foundation;     // numbers, strings, dictionaries, arrays, CFRelease
  DynamicLibrary iokit;               // the HID event system, services and user clients
  DynamicLibrary io_report;           // the energy counters
  DynamicLibrary objc;                // the Objective-C runtime
  DynamicLibrary foundation;          // NSString, NSURL, NSLog
  DynamicLibrary appkit;              // NSApplication, NSAlert, NSWorkspace
  DynamicLibrary service_management;  // SMAppService
  DynamicLibrary icu_core;            // the system's ICU: grapheme clusters
};

// The product's libraries, over dlopen/dlsym; made on first use, never destroyed.
MacLibraries& MachineLibraries();

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_SYMBOL_RESOLVER_H_
