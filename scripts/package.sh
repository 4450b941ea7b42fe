#!/usr/bin/env bash
# Builds the two Debian packages, build/package/ostrel-sensor-helper_<version>_<arch>.deb (the
# helper) and build/package/ostrel_<version>_<arch>.deb (the window), installing what is missing:
# a Release build without tests, compiled and linked with Debian's hardening flags, packed by one
# CPack run. Prints the helper's package, then the window's, one per line.
# Usage: scripts/package.sh [check]
#   check: then checks both packages: exactly the expected files, their control fields, the
#          desktop entry, and lintian with no error.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build package
build=build/package

# The flags Debian builds its own packages with: stack protector, _FORTIFY_SOURCE, format
# checks, full RELRO with immediate binding. CMake reads no CPPFLAGS, so they join the compiler
# flags.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DOSTREL_BUILD_TESTS=OFF -DOSTREL_WERROR=ON \
  -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags" \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/ostrel-sensor-helper_*.deb "$build"/ostrel_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/ostrel-sensor-helper_*.deb)
deb=${debs[0]}
window_debs=("$build"/ostrel_*.deb)
window_deb=${window_debs[0]}
echo "$deb"
echo "$window_deb"
[[ "${1:-}" == check ]] || exit 0

passed=0 failed=0
check() {  # check NAME EXPECTED ACTUAL
  if [[ "$2" == "$3" ]]; then
    echo "ok: $1"
    passed=$((passed + 1))
  else
    echo "FAILED: $1"$'\n'"  expected: ${2//$'\n'/ }"$'\n'"  actual:   ${3//$'\n'/ }"
    failed=$((failed + 1))
  fi
}

echo "--- dpkg-deb -c $deb"
dpkg-deb -c "$deb"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}' | sort -k3)
check "files, their modes and owners" "-rwxr-xr-x root/root ./usr/bin/ostrel-sensor-helper
-rw-r--r-- root/root ./usr/lib/udev/rules.d/70-ostrel-power.rules
-rw-r--r-- root/root ./usr/share/doc/ostrel-sensor-helper/README.md
-rw-r--r-- root/root ./usr/share/doc/ostrel-sensor-helper/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/ostrel-sensor-helper/copyright
-rw-r--r-- root/root ./usr/share/man/man1/ostrel-sensor-helper.1.gz" "$files"

echo "--- dpkg-deb -I $deb"
dpkg-deb -I "$deb"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
check "Package" ostrel-sensor-helper "$(dpkg-deb -f "$deb" Package)"
check "Version is the project's" "$version" "$(dpkg-deb -f "$deb" Version)"
# Package names only: the version bounds come from the libraries' symbols files.
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/([^)]*)//; s/ //g' | sort | paste -sd' ')
check "Depends" "adduser libc6 libgcc-s1 libicu72 libstdc++6" "$depends"
check "Recommends" "zenity | kdialog" "$(dpkg-deb -f "$deb" Recommends)"
check "maintainer scripts" "postinst postrm" \
  "$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed -n 's|^\./\(post.*\)|\1|p' | sort | paste -sd' ')"
check "changelog names the package's version" "ostrel-sensor-helper ($version) stable; urgency=medium" \
  "$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/ostrel-sensor-helper/changelog.gz |
    gzip -dc | head -1)"

# The window's package: the window, its desktop entry and icon; the helper's package of the same
# version, and GTK 4, gtkmm and libsoup through their libraries.
echo "--- dpkg-deb -c $window_deb"
dpkg-deb -c "$window_deb"
files=$(dpkg-deb -c "$window_deb" | awk '$1 !~ /^d/ {print $1, $2, $6}' | sort -k3)
check "window: files, their modes and owners" "-rwxr-xr-x root/root ./usr/bin/ostrel
-rw-r--r-- root/root ./usr/share/applications/com.ostrel.Ostrel.desktop
-rw-r--r-- root/root ./usr/share/doc/ostrel/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/ostrel/copyright
-rw-r--r-- root/root ./usr/share/icons/hicolor/scalable/apps/com.ostrel.Ostrel.svg
-rw-r--r-- root/root ./usr/share/man/man1/ostrel.1.gz" "$files"
echo "--- dpkg-deb -I $window_deb"
dpkg-deb -I "$window_deb"
check "window: Package" ostrel "$(dpkg-deb -f "$window_deb" Package)"
check "window: Version is the project's" "$version" "$(dpkg-deb -f "$window_deb" Version)"
depends=$(dpkg-deb -f "$window_deb" Depends | tr ',' '\n' | sed 's/ //g' | sort)
check "window: Depends on the helper of its version" "ostrel-sensor-helper(=$version)" \
  "$(grep '^ostrel-sensor-helper' <<<"$depends" || true)"
for lib in libgtkmm-4.0-0 libsoup-3.0-0; do  # gtkmm brings GTK 4
  check "window: Depends on $lib" yes "$(grep -q "^$lib(" <<<"$depends" && echo yes || echo no)"
done
check "window: no maintainer scripts" "" \
  "$(dpkg-deb --ctrl-tarfile "$window_deb" | tar -t | sed -n 's|^\./\(p[or].*\)|\1|p' | paste -sd' ')"
check "window: changelog names the package's version" "ostrel ($version) stable; urgency=medium" \
  "$(dpkg-deb --fsys-tarfile "$window_deb" | tar -xO ./usr/share/doc/ostrel/changelog.gz |
    gzip -dc | head -1)"
entry=$(mktemp --suffix=.desktop)
dpkg-deb --fsys-tarfile "$window_deb" | tar -xO ./usr/share/applications/com.ostrel.Ostrel.desktop \
  >"$entry"
check "window: desktop entry is valid" "" "$(desktop-file-validate "$entry" 2>&1 | sed "s|$entry: ||")"
rm -f "$entry"

for package in "$deb" "$window_deb"; do
  echo "--- lintian $package"
  lintian_out=$(lintian --info --display-info --fail-on error "$package" 2>&1) && lintian_status=0 ||
    lintian_status=$?
  echo "$lintian_out"
  summary=$(grep -oE '^[EWI]:' <<<"$lintian_out" | sort | uniq -c |
    awk '{sub(":", "", $2); printf "%s%s %s", sep, $1, $2; sep = ", "}' || true)
  echo "lintian: ${summary:-no tags}"
  check "lintian reports no error for $(dpkg-deb -f "$package" Package)" 0 "$lintian_status"
done

echo "package check: $passed passed, $failed failed"
exit $((failed > 0))
