// sysfs_fuzz.cc: libFuzzer target for the sysfs value and name parsers.
// - ParseSysfsInt: what it accepts, strtoll reads to the same value; what it accepts stays
//   accepted with a kernel newline added; its value printed and parsed again is the same value.
// - NaturalLess: the input is split at 0xFF bytes into three names, which must be ordered as
//   std::sort requires of its comparison (a strict weak ordering): irreflexive, asymmetric,
//   transitive, and with transitive equivalence. A comparison that is not would let sort read
//   out of bounds while listing a folder.
// Any broken promise aborts, which libFuzzer reports as a crash with the input saved.
#include <stddef.h>
#include <stdint.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/sysfs.h"

namespace {

void Check(bool promise) {
  if (!promise) std::abort();
}

void CheckParse(std::string_view text) {
  const std::optional<int64_t> parsed = ostrel::ParseSysfsInt(text);
  if (!parsed) return;
  const int64_t value = *parsed;
  const std::string copy(text);
  errno = 0;
  char* end = nullptr;
  const long long expected = std::strtoll(copy.c_str(), &end, 10);
  Check(errno == 0 && expected == value);
  Check(ostrel::ParseSysfsInt(copy + "\n") == value);
  Check(ostrel::ParseSysfsInt(std::to_string(value)) == value);
}

void CheckOrder(std::string_view a, std::string_view b, std::string_view c) {
  using ostrel::NaturalLess;
  auto equivalent = [](std::string_view x, std::string_view y) {
    return !NaturalLess(x, y) && !NaturalLess(y, x);
  };
  Check(!NaturalLess(a, a));
  Check(!(NaturalLess(a, b) && NaturalLess(b, a)));
  if (NaturalLess(a, b) && NaturalLess(b, c)) Check(NaturalLess(a, c));
  if (equivalent(a, b) && equivalent(b, c)) Check(equivalent(a, c));
  // Something less than an equivalent of c is less than c.
  if (NaturalLess(a, b) && equivalent(b, c)) Check(NaturalLess(a, c));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckParse(bytes);

  std::string_view part[3];
  std::string_view rest = bytes;
  for (int i = 0; i < 3; ++i) {
    const size_t cut = rest.find('\xFF');
    part[i] = rest.substr(0, cut);
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  }
  CheckOrder(part[0], part[1], part[2]);
  CheckOrder(part[2], part[1], part[0]);
  CheckOrder(part[1], part[0], part[2]);
  return 0;
}
