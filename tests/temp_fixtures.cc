// temp_fixtures.cc: whole-machine sysfs trees (see temp_fixtures.h for what each holds).
#include "tests/temp_fixtures.h"

#include <string>

namespace ostrel::testing {
namespace {

// The limit files drivers show beside an input; the source must look past them.
void AddLimits(const std::string& chip, int index, const char* max, const char* crit) {
  const std::string prefix = chip + "/temp" + std::to_string(index);
  FakeSysfs::WriteFile(prefix + "_max", std::string(max) + "\n");
  FakeSysfs::WriteFile(prefix + "_crit", std::string(crit) + "\n");
  FakeSysfs::WriteFile(prefix + "_crit_alarm", "0\n");
}

// The files every hwmon chip folder has besides its sensors.
void AddChipClutter(const std::string& chip) {
  FakeSysfs::WriteFile(chip + "/uevent", "");
  FakeSysfs::WriteFile(chip + "/power/runtime_status", "unsupported\n");
}

void AddNvme(const FakeSysfs& sys, int n, const std::string& device, const char* composite,
             const char* sensor1, const char* sensor2) {
  const std::string chip = sys.AddChip(n, device, "nvme");
  AddChipClutter(chip);
  FakeSysfs::AddTemp(chip, 1, composite, "Composite");
  AddLimits(chip, 1, "81850", "84850");
  FakeSysfs::WriteFile(chip + "/temp1_min", "-273150\n");
  FakeSysfs::WriteFile(chip + "/temp1_alarm", "0\n");
  FakeSysfs::AddTemp(chip, 2, sensor1, "Sensor 1");
  FakeSysfs::AddTemp(chip, 3, sensor2, "Sensor 2");
}

void AddCoretemp(const FakeSysfs& sys, int n, const char* package, const char* const cores[8]) {
  const std::string chip = sys.AddChip(n, "devices/platform/coretemp.0", "coretemp");
  AddChipClutter(chip);
  FakeSysfs::AddTemp(chip, 1, package, "Package id 0");
  AddLimits(chip, 1, "100000", "100000");
  for (int core = 0; core < 8; ++core) {
    const std::string label = "Core " + std::to_string(core);
    FakeSysfs::AddTemp(chip, core + 2, cores[core], label.c_str());
    AddLimits(chip, core + 2, "100000", "100000");
  }
}

}  // namespace

void BuildIntelDesktop(const FakeSysfs& sys) {
  std::string chip = sys.AddChip(0, "devices/virtual/thermal/thermal_zone0", "acpitz");
  FakeSysfs::AddTemp(chip, 1, "27800\n");
  FakeSysfs::AddTemp(chip, 2, "29800\n");
  FakeSysfs::WriteFile(chip + "/temp1_crit", "119000\n");

  AddNvme(sys, 1, "devices/pci0000:00/0000:00:1d.0/0000:03:00.0/nvme/nvme0", "38850\n", "38850\n",
          "41850\n");

  chip = sys.AddChip(2, "devices/pci0000:00/0000:00:12.0", "pch_cannonlake");
  FakeSysfs::AddTemp(chip, 1, "47000\n");

  const char* const cores[8] = {"52000\n", "55000\n", "51000\n", "58000\n",
                                "50000\n", "53000\n", "54000\n", "49000\n"};
  AddCoretemp(sys, 3, "58000\n", cores);

  chip = sys.AddChip(4, "devices/platform/nct6775.656", "nct6798");
  FakeSysfs::AddTemp(chip, 1, "34000\n", "SYSTIN");
  FakeSysfs::AddTemp(chip, 2, "40500\n", "CPUTIN");
  FakeSysfs::AddTemp(chip, 3, "-62000\n", "AUXTIN0");
  FakeSysfs::AddTemp(chip, 7, "56000\n", "PECI Agent 0 Calibration");
  FakeSysfs::WriteFile(chip + "/fan1_input", "1054\n");
  FakeSysfs::WriteFile(chip + "/in0_input", "1016\n");

  chip = sys.AddChip(5, "devices/pci0000:00/0000:00:1c.0/0000:04:00.0", "iwlwifi_1");
  FakeSysfs::AddTemp(chip, 1, "41000\n");

  chip =
      sys.AddChip(6, "devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", "drivetemp");
  FakeSysfs::AddTemp(chip, 1, "33000\n");
  FakeSysfs::WriteFile(chip + "/temp1_lowest", "21000\n");
  FakeSysfs::WriteFile(chip + "/temp1_highest", "45000\n");
}

void BuildAmdLaptop(const FakeSysfs& sys, bool with_tdie, bool battery_temp) {
  std::string chip = sys.AddChip(0, "devices/virtual/thermal/thermal_zone0", "acpitz");
  FakeSysfs::AddTemp(chip, 1, "45000\n");

  sys.AddSupply("devices/LNXSYSTM:00/LNXSYBUS:00/ACPI0003:00", "AC", "Mains", "");
  const std::string battery = sys.AddSupply("devices/LNXSYSTM:00/LNXSYBUS:00/PNP0C0A:00", "BAT0",
                                            "Battery", battery_temp ? "312" : "");
  if (battery_temp) sys.AddSupplyTwin(1, battery, "BAT0", "31200");
  const std::string pad = sys.AddSupply(
      "devices/pci0000:00/0000:00:08.1/0000:04:00.3/usb1/1-1/1-1:1.3/0003:054C:0CE6.0004",
      "ps-controller-battery-a0:5a:5c:00:00:01", "Battery", "240");
  FakeSysfs::WriteFile(pad + "/scope", "Device\n");

  chip = sys.AddChip(2, "devices/platform/thinkpad_hwmon", "thinkpad");
  FakeSysfs::AddTemp(chip, 1, "45000\n");
  FakeSysfs::AddTemp(chip, 2, "40000\n");
  FakeSysfs::AddTemp(chip, 3, "-128000\n");
  FakeSysfs::AddTemp(chip, 4, "38000\n");
  FakeSysfs::WriteFile(chip + "/fan1_input", "2370\n");

  AddNvme(sys, 3, "devices/pci0000:00/0000:00:02.4/0000:02:00.0/nvme/nvme0", "36850\n", "36850\n",
          "41850\n");

  chip = sys.AddChip(4, "devices/pci0000:00/0000:00:08.1/0000:04:00.0", "amdgpu");
  FakeSysfs::AddTemp(chip, 1, "44000\n", "edge");
  FakeSysfs::WriteFile(chip + "/in0_input", "1387\n");

  chip = sys.AddChip(5, "devices/pci0000:00/0000:00:18.3", "k10temp");
  if (with_tdie) {
    FakeSysfs::AddTemp(chip, 1, "66625\n", "Tctl");
    FakeSysfs::AddTemp(chip, 2, "46625\n", "Tdie");
    FakeSysfs::AddTemp(chip, 3, "44250\n", "Tccd1");
    FakeSysfs::AddTemp(chip, 4, "48500\n", "Tccd2");
  } else {
    FakeSysfs::AddTemp(chip, 1, "46625\n", "Tctl");
  }

  chip = sys.AddChip(6, "devices/platform/USBC000:00/power_supply/ucsi-source-psy-USBC000:001",
                     "ucsi_source_psy_USBC000:001");
  FakeSysfs::WriteFile(chip + "/in0_input", "5000\n");
  FakeSysfs::WriteFile(chip + "/curr1_input", "0\n");
}

void BuildTwelveChipLaptop(const FakeSysfs& sys) {
  std::string chip = sys.AddChip(0, "devices/virtual/thermal/thermal_zone0", "acpitz");
  FakeSysfs::AddTemp(chip, 1, "48000\n");

  const std::string battery = sys.AddSupply("devices/platform/battery", "BAT0", "Battery", "298");
  sys.AddSupply("devices/LNXSYSTM:00/LNXSYBUS:00/ACPI0003:00", "AC", "Mains", "");
  sys.AddSupplyTwin(1, battery, "BAT0", "29800");

  chip = sys.AddChip(2, "devices/platform/thinkpad_hwmon", "thinkpad");
  for (int i = 1; i <= 8; ++i) FakeSysfs::AddTemp(chip, i, std::to_string(40000 + i * 500) + "\n");

  AddNvme(sys, 3, "devices/pci0000:00/0000:00:1d.0/0000:05:00.0/nvme/nvme0", "35850\n", "35850\n",
          "40850\n");
  AddNvme(sys, 4, "devices/pci0000:00/0000:00:1d.4/0000:06:00.0/nvme/nvme1", "37850\n", "37850\n",
          "44850\n");

  const char* const cores[8] = {"52000\n", "55000\n", "51000\n", "58000\n",
                                "50000\n", "53000\n", "54000\n", "49000\n"};
  AddCoretemp(sys, 5, "58000\n", cores);

  chip = sys.AddChip(6, "devices/pci0000:00/0000:00:14.3", "iwlwifi_1");
  FakeSysfs::AddTemp(chip, 1, "43000\n");

  chip = sys.AddChip(7, "devices/pci0000:00/0000:00:12.0", "pch_cometlake");
  FakeSysfs::AddTemp(chip, 1, "51000\n");

  chip = sys.AddChip(8, "devices/platform/USBC000:00/power_supply/ucsi-source-psy-USBC000:001",
                     "ucsi_source_psy_USBC000:001");
  FakeSysfs::WriteFile(chip + "/in0_input", "5000\n");

  chip = sys.AddChip(9, "devices/pci0000:00/0000:00:1f.4/i2c-0/0-0050", "spd5118");
  FakeSysfs::AddTemp(chip, 1, "39250\n");
  chip = sys.AddChip(10, "devices/pci0000:00/0000:00:1f.4/i2c-0/0-0051", "spd5118");
  FakeSysfs::AddTemp(chip, 1, "39750\n");

  chip = sys.AddChip(11, "devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0",
                     "drivetemp");
  FakeSysfs::AddTemp(chip, 1, "33000\n");
}

}  // namespace ostrel::testing
