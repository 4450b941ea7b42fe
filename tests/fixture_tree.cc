// fixture_tree.cc: fixture trees from text.
#include "tests/fixture_tree.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace ostrel::testing {

namespace fs = std::filesystem;

void WriteTree(const std::string& root, std::string_view lines) {
  std::istringstream in{std::string(lines)};
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('='), arrow = line.find("->");
    const bool link = arrow != std::string::npos && arrow < eq;
    const fs::path relative = line.substr(0, link ? arrow : eq);
    const std::vector<fs::path> parts(relative.begin(), relative.end());
    fs::path file = fs::path(root) / relative;
    if (parts.size() >= 4 && parts[0] == "class") {
      const fs::path device = fs::path(root) / "devices" / parts[1] / parts[2];
      const fs::path entry = fs::path(root) / "class" / parts[1] / parts[2];
      fs::create_directories(device);
      fs::create_directories(entry.parent_path());
      if (!fs::is_symlink(entry)) fs::create_directory_symlink(device, entry);
      file = device / relative.lexically_relative(fs::path("class") / parts[1] / parts[2]);
    }
    fs::create_directories(file.parent_path());
    if (link) {
      fs::create_directory_symlink(fs::path(root) / line.substr(arrow + 2), file);
    } else {
      std::ofstream(file, std::ios::binary) << line.substr(eq + 1) << "\n";
    }
  }
}

}  // namespace ostrel::testing
