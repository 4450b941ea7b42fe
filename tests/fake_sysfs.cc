// fake_sysfs.cc: sysfs-like fixture trees built with std::filesystem.
#include "tests/fake_sysfs.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>

namespace ostrel::testing {

namespace fs = std::filesystem;

FakeSysfs::FakeSysfs(std::string root) : root_(std::move(root)) {}

void FakeSysfs::WriteFile(const std::string& path, std::string_view contents) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void FakeSysfs::Link(const std::string& target, const std::string& link) {
  const fs::path link_path(link);
  fs::create_directories(link_path.parent_path());
  fs::create_directory_symlink(fs::relative(target, link_path.parent_path()), link_path);
}

std::string FakeSysfs::AddChip(int n, const std::string& device, std::string_view name) const {
  const std::string hwmon = "hwmon" + std::to_string(n);
  const std::string device_dir = root_ + "/" + device;
  const std::string chip = device_dir + "/hwmon/" + hwmon;
  WriteFile(chip + "/name", std::string(name) + "\n");
  Link(device_dir, chip + "/device");
  Link(chip, root_ + "/class/hwmon/" + hwmon);
  return chip;
}

std::string FakeSysfs::AddOldStyleChip(int n, const std::string& device,
                                       std::string_view name) const {
  const std::string hwmon = "hwmon" + std::to_string(n);
  const std::string device_dir = root_ + "/" + device;
  const std::string chip = device_dir + "/hwmon/" + hwmon;
  WriteFile(device_dir + "/name", std::string(name) + "\n");
  fs::create_directories(chip);
  Link(device_dir, chip + "/device");
  Link(chip, root_ + "/class/hwmon/" + hwmon);
  return device_dir;
}

std::string FakeSysfs::AddSupply(const std::string& device, const std::string& name,
                                 std::string_view type, std::string_view temp) const {
  const std::string supply = root_ + "/" + device + "/power_supply/" + name;
  WriteFile(supply + "/type", std::string(type) + "\n");
  if (!temp.empty()) WriteFile(supply + "/temp", std::string(temp) + "\n");
  Link(supply, root_ + "/class/power_supply/" + name);
  return supply;
}

std::string FakeSysfs::AddSupplyTwin(int n, const std::string& supply_dir,
                                     std::string_view supply_name, std::string_view milli) const {
  const std::string hwmon = "hwmon" + std::to_string(n);
  const std::string chip = supply_dir + "/" + hwmon;
  std::string name(supply_name);
  std::replace(name.begin(), name.end(), '-', '_');
  WriteFile(chip + "/name", name + "\n");
  Link(supply_dir, chip + "/device");
  AddTemp(chip, 1, std::string(milli) + "\n", "temp");
  Link(chip, root_ + "/class/hwmon/" + hwmon);
  return chip;
}

void FakeSysfs::AddTemp(const std::string& dir, int index, std::string_view input,
                        const char* label) {
  const std::string prefix = dir + "/temp" + std::to_string(index);
  WriteFile(prefix + "_input", input);
  if (label != nullptr) WriteFile(prefix + "_label", std::string(label) + "\n");
}

}  // namespace ostrel::testing
