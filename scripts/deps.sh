#!/usr/bin/env bash
# Installs the Debian packages a task needs, only those missing. Usage: deps.sh GROUP...
# Groups: build, test, format, bench (the micro benchmarks), load (the load run), fuzz, package
# (the Debian package and its checks), roundtrip (the install round trip in a throwaway Debian
# tree).
set -euo pipefail

declare -A groups=(
  [build]="cmake g++ make pkg-config libasio-dev nlohmann-json3-dev libicu-dev libgtkmm-4.0-dev libsoup-3.0-dev"
  [test]="libgtest-dev libgmock-dev curl xvfb zenity kdialog xdotool x11-apps imagemagick dbus libglib2.0-bin fuse3 python3-fusepy"
  [format]="clang-format"
  [bench]="libbenchmark-dev"
  [load]="wrk nginx-light prometheus-node-exporter gnuplot-nox curl util-linux iproute2 strace"
  [fuzz]="clang-14 libclang-rt-14-dev"
  [package]="dpkg-dev fakeroot lintian desktop-file-utils"
  [roundtrip]="mmdebstrap util-linux iproute2 curl"
)

wanted=()
for group in "$@"; do
  [[ -n "${groups[$group]+x}" ]] || { echo "deps.sh: unknown group '$group'" >&2; exit 2; }
  wanted+=(${groups[$group]})
done

missing=()
for pkg in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
((${#missing[@]} == 0)) && exit 0

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
echo "Installing: ${missing[*]}" >&2
$sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >&2
