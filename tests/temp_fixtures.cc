// temp_fixtures.cc: the fixture trees of temp_fixtures.h.
#include "tests/temp_fixtures.h"

#include <filesystem>
#include <fstream>

namespace ostrel::testing {

namespace fs = std::filesystem;

void WriteTree(const std::string& root, const FixtureTree& tree) {
  for (const auto& [path, contents] : tree) {
    const fs::path relative(path);
    const std::vector<fs::path> parts(relative.begin(), relative.end());
    fs::path file = fs::path(root) / path;
    if (parts.size() >= 4 && parts[0] == "class") {
      const fs::path device = fs::path(root) / "devices" / parts[1] / parts[2];
      const fs::path entry = fs::path(root) / "class" / parts[1] / parts[2];
      fs::create_directories(device);
      fs::create_directories(entry.parent_path());
      if (!fs::is_symlink(entry)) fs::create_directory_symlink(device, entry);
      file = device / relative.lexically_relative(fs::path("class") / parts[1] / parts[2]);
    }
    fs::create_directories(file.parent_path());
    if (contents.starts_with("->")) {
      fs::create_directory_symlink(fs::path(root) / contents.substr(2), file);
    } else {
      std::ofstream(file, std::ios::binary) << contents;
    }
  }
}

FixtureTree Chip(const std::string& hwmon, const std::string& name,
                 const std::vector<FixtureTemp>& temps) {
  const std::string dir = "class/hwmon/" + hwmon + "/";
  FixtureTree tree = {{dir + "name", name + "\n"}};
  for (size_t i = 0; i < temps.size(); ++i) {
    const std::string temp = dir + "temp" + std::to_string(i + 1);
    tree.emplace_back(temp + "_input", std::to_string(temps[i].second) + "\n");
    if (temps[i].first != nullptr)
      tree.emplace_back(temp + "_label", std::string(temps[i].first) + "\n");
  }
  return tree;
}

FixtureTree Concat(std::initializer_list<FixtureTree> parts) {
  FixtureTree tree;
  for (const FixtureTree& part : parts) tree.insert(tree.end(), part.begin(), part.end());
  return tree;
}

FixtureTree CoretempEightCores(const std::string& hwmon) {
  return Chip(hwmon, "coretemp",
              {{"Package id 0", 58000},
               {"Core 0", 52000},
               {"Core 1", 55000},
               {"Core 2", 51000},
               {"Core 3", 58000},
               {"Core 4", 50000},
               {"Core 5", 53000},
               {"Core 6", 54000},
               {"Core 7", 49000}});
}

FixtureTree IntelDesktop() {
  return Concat({
      Chip("hwmon0", "acpitz", {{nullptr, 27800}, {nullptr, 29800}}),
      Chip("hwmon1", "nvme", {{"Composite", 38850}, {"Sensor 1", 38850}, {"Sensor 2", 41850}}),
      Chip("hwmon2", "pch_cannonlake", {{nullptr, 47000}}),
      CoretempEightCores("hwmon3"),
      Chip("hwmon4", "nct6798", {{"SYSTIN", 34000}, {"CPUTIN", 40500}, {"AUXTIN0", -62000}}),
      Chip("hwmon5", "iwlwifi_1", {{nullptr, 41000}}),
      Chip("hwmon6", "drivetemp", {{nullptr, 33000}}),
      {{"class/hwmon/hwmon1/temp1_crit", "84850\n"},
       {"class/hwmon/hwmon3/temp2_crit_alarm", "0\n"},
       {"class/hwmon/hwmon4/fan1_input", "1054\n"},
       {"class/hwmon/hwmon6/temp1_lowest", "21000\n"}},
  });
}

FixtureTree AmdLaptop(bool tdie, bool battery_temp) {
  const std::string pad = "class/power_supply/ps-controller-battery-a0:5a:5c:00:00:01/";
  FixtureTree tree = Concat({
      Chip("hwmon0", "acpitz", {{nullptr, 45000}}),
      Chip("hwmon2", "thinkpad", {{nullptr, 45000}, {nullptr, 40000}, {nullptr, -128000}}),
      Chip("hwmon3", "nvme", {{"Composite", 36850}, {"Sensor 1", 36850}, {"Sensor 2", 41850}}),
      Chip("hwmon4", "amdgpu", {{"edge", 44000}}),
      tdie ? Chip("hwmon5", "k10temp",
                  {{"Tctl", 66625}, {"Tdie", 46625}, {"Tccd1", 44250}, {"Tccd2", 48500}})
           : Chip("hwmon5", "k10temp", {{"Tctl", 46625}}),
      {{"class/hwmon/hwmon2/fan1_input", "2370\n"},
       {"class/hwmon/hwmon6/name", "ucsi_source_psy_USBC000:001\n"},
       {"class/hwmon/hwmon6/in0_input", "5000\n"},
       {"class/power_supply/AC/type", "Mains\n"},
       {"class/power_supply/BAT0/type", "Battery\n"},
       {pad + "type", "Battery\n"},
       {pad + "scope", "Device\n"},
       {pad + "temp", "240\n"}},
  });
  if (battery_temp) {
    tree = Concat({tree,
                   Chip("hwmon1", "BAT0", {{"temp", 31200}}),
                   {{"class/power_supply/BAT0/temp", "312\n"},
                    {"class/hwmon/hwmon1/device", "->class/power_supply/BAT0"}}});
  }
  return tree;
}

}  // namespace ostrel::testing
