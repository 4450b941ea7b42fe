// hid_temp_source.cc: one HID event-system walk over the temperature sensors.
#include "platform/macos/hid_temp_source.h"

#include <string.h>

namespace ostrel::macos {
namespace {

// The matching that selects temperature sensors: vendor usage page 0xFF00, usage 5.
constexpr int32_t kTemperatureUsagePage = 0xFF00;
constexpr int32_t kTemperatureUsage = 5;
// A service's name is converted into this many bytes, its terminating zero included.
constexpr CFIndex kNameBufferSize = 128;

}  // namespace

HidTempSource::HidTempSource(MacLibraries& libraries)
    : libraries_(libraries), cf_(libraries.core_foundation) {}

void* HidTempSource::iokit_sym(const char* symbol) { return libraries_.iokit.Symbol(symbol); }

void HidTempSource::ForEachSensor(const Visitor& visit) {
  // All six are looked up before any is tested; only the name lookup may be missing.
  const auto create =
      reinterpret_cast<IOHIDEventSystemClientCreateFn>(iokit_sym("IOHIDEventSystemClientCreate"));
  const auto set_matching = reinterpret_cast<IOHIDEventSystemClientSetMatchingFn>(
      iokit_sym("IOHIDEventSystemClientSetMatching"));
  const auto copy_services = reinterpret_cast<IOHIDEventSystemClientCopyServicesFn>(
      iokit_sym("IOHIDEventSystemClientCopyServices"));
  const auto copy_property = reinterpret_cast<IOHIDServiceClientCopyPropertyFn>(
      iokit_sym("IOHIDServiceClientCopyProperty"));
  const auto copy_event =
      reinterpret_cast<IOHIDServiceClientCopyEventFn>(iokit_sym("IOHIDServiceClientCopyEvent"));
  const auto get_float =
      reinterpret_cast<IOHIDEventGetFloatValueFn>(iokit_sym("IOHIDEventGetFloatValue"));
  if (!create || !set_matching || !copy_services || !copy_event || !get_float) return;
  if (!cf_.complete()) return;

  CFOwned<IOHIDEventSystemClientRef> client = cf_.Own(create(cf_.kCFAllocatorDefault));
  if (!client) return;

  {
    // The dictionary holds its own references to keys and values, so the numbers and key
    // strings are given up as soon as it exists.
    CFOwned<CFStringRef> page_key = cf_.String("PrimaryUsagePage");
    CFOwned<CFStringRef> usage_key = cf_.String("PrimaryUsage");
    const int32_t page_value = kTemperatureUsagePage, usage_value = kTemperatureUsage;
    CFOwned<CFNumberRef> page = cf_.Own(cf_.CFNumberCreate(nullptr, kCFNumberIntType, &page_value));
    CFOwned<CFNumberRef> usage =
        cf_.Own(cf_.CFNumberCreate(nullptr, kCFNumberIntType, &usage_value));
    if (!page_key || !usage_key || !page || !usage) return;
    const void* keys[] = {page_key.get(), usage_key.get()};
    const void* values[] = {page.get(), usage.get()};
    CFOwned<CFDictionaryRef> matching =
        cf_.Own(cf_.CFDictionaryCreate(nullptr, keys, values, 2, cf_.kCFTypeDictionaryKeyCallBacks,
                                       cf_.kCFTypeDictionaryValueCallBacks));
    page.reset();
    usage.reset();
    page_key.reset();
    usage_key.reset();
    if (!matching) return;
    set_matching(client.get(), matching.get());
  }

  CFOwned<CFArrayRef> services = cf_.Own(copy_services(client.get()));
  if (!services) return;
  // Without the name lookup every name is empty, so every value goes unclassified.
  CFOwned<CFStringRef> product_key;
  if (copy_property != nullptr) product_key = cf_.String("Product");

  const CFIndex count = cf_.CFArrayGetCount(services.get());
  for (CFIndex i = 0; i < count; ++i) {
    // Borrowed from the array.
    auto* service = static_cast<IOHIDServiceClientRef>(
        const_cast<void*>(cf_.CFArrayGetValueAtIndex(services.get(), i)));
    CFOwned<CFTypeRef> product;
    if (product_key) product = cf_.Own(copy_property(service, product_key.get()));
    CFOwned<IOHIDEventRef> event =
        cf_.Own(copy_event(service, kIOHIDEventTypeTemperature, nullptr, 0));
    if (!event) continue;
    const double celsius = get_float(event.get(), kIOHIDEventFieldTemperatureLevel);
    char name[kNameBufferSize];
    memset(name, 0, sizeof name);
    if (product) {
      // A name that can't be converted stays empty; the conversion's result is not needed.
      cf_.CFStringGetCString(static_cast<CFStringRef>(product.get()), name, sizeof name,
                             kCFStringEncodingUTF8);
    }
    visit(product ? name : nullptr, celsius);
    event.reset();
    product.reset();
  }
  product_key.reset();
  services.reset();
  client.reset();
}

}  // namespace ostrel::macos
