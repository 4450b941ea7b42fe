// Cost of one temperature reading over a twelve-chip laptop tree, beside the bare cost of
// opening, reading and closing the files it reads (full paths through class/hwmon, as a naive
// reader would): the values that count, then also the names and labels that choose them. The
// ratio ReadTemps / BareValueReads is the source's overhead: listing the folders, reading chip
// names and labels, and the grouping.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/linux/hwmon_temp_source.h"
#include "sensors/temps.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

// The benchmark tree, built once and removed at exit.
class Tree {
 public:
  Tree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-bench-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) abort();
    root_ = pattern;
    testing::WriteTree(
        root_, testing::ReadWholeFile(OSTREL_FIXTURES_DIR "/trees/twelve_chip_laptop.tree"));
    const std::string hwmon = root_ + "/class/hwmon/hwmon";
    // What one call reads. Values: the ones that count, the temperatures of coretemp's eight
    // cores (hwmon5, temp2..temp9), of the two nvme composites (hwmon3, hwmon4) and drivetemp
    // (hwmon11), and the battery's own temperature.
    for (int i = 2; i <= 9; ++i) values_.push_back(hwmon + "5/temp" + std::to_string(i) + "_input");
    for (int chip : {3, 4, 11}) values_.push_back(hwmon + std::to_string(chip) + "/temp1_input");
    values_.push_back(root_ + "/class/power_supply/BAT0/temp");
    // Besides the values: every chip's name, coretemp's labels, the battery's type.
    attributes_ = values_;
    for (int chip = 0; chip < 12; ++chip)
      attributes_.push_back(hwmon + std::to_string(chip) + "/name");
    for (int i = 1; i <= 9; ++i)
      attributes_.push_back(hwmon + "5/temp" + std::to_string(i) + "_label");
    attributes_.push_back(root_ + "/class/power_supply/BAT0/type");
  }
  ~Tree() { std::filesystem::remove_all(root_); }

  const std::string& root() const { return root_; }
  const std::vector<std::string>& values() const { return values_; }
  const std::vector<std::string>& attributes() const { return attributes_; }

 private:
  std::string root_;                     // the tree's top, standing for /sys
  std::vector<std::string> values_;      // the value files one call reads
  std::vector<std::string> attributes_;  // every file one call reads
};

const Tree& TheTree() {
  static const Tree tree;
  return tree;
}

void BareReads(benchmark::State& state, const std::vector<std::string>& files) {
  char buf[64];
  for (auto _ : state) {
    for (const std::string& file : files) {
      const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
      benchmark::DoNotOptimize(read(fd, buf, sizeof buf));
      close(fd);
    }
  }
  state.counters["files"] = static_cast<double>(files.size());
}

void BM_ReadTemps(benchmark::State& state) {
  const Tree& tree = TheTree();
  OstrelTemp out[16];
  int32_t count = 0;
  for (auto _ : state) {
    HwmonTempSource source(tree.root());
    count = ReadTemps(source, out, 16);
    benchmark::DoNotOptimize(out);
  }
  if (count != 4) state.SkipWithError("the tree should give four readings");
}
BENCHMARK(BM_ReadTemps);

void BM_BareValueReads(benchmark::State& state) { BareReads(state, TheTree().values()); }
BENCHMARK(BM_BareValueReads);

void BM_BareAttributeReads(benchmark::State& state) { BareReads(state, TheTree().attributes()); }
BENCHMARK(BM_BareAttributeReads);

}  // namespace
}  // namespace ostrel
