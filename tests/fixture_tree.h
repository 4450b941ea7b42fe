// fixture_tree.h: sysfs-like fixture trees written from text, one file a line, for tests and
// benchmarks (no test framework here). Plain function; safe on any thread for distinct roots.
#ifndef OSTREL_TESTS_FIXTURE_TREE_H_
#define OSTREL_TESTS_FIXTURE_TREE_H_

#include <string>
#include <string_view>

namespace ostrel::testing {

// Writes under `root` one entry per line: "path=contents" (written with a line end),
// "path->target" (a symbolic link to root/target); lines starting with '#' are comments. As in
// the kernel, anything below class/<class>/<entry>/ goes to devices/<class>/<entry>/, and the
// entry is a link to it.
void WriteTree(const std::string& root, std::string_view lines);

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_FIXTURE_TREE_H_
