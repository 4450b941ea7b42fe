#!/usr/bin/env bash
# Install round trip of the Debian packages in a throwaway Debian 12 tree (as root, installing
# what is missing): makes a minimal tree with mmdebstrap from this machine's own Debian 12 apt
# sources, installs the helper's package and the window's there with apt (which brings their
# dependencies), checks the group, the udev rule and the window's files, runs the installed helper
# in its own network namespace, fetches a document over its loopback and runs `ostrel --text`
# against it, reinstalls the helper's package under the running helper and registers the login
# item, then removes the window's package (the helper stays), removes and purges both and checks
# what is left.
# Usage: scripts/install_roundtrip.sh [ostrel-sensor-helper_*.deb [ostrel_*.deb]]
#   (without an argument, scripts/package.sh builds both packages first; with the helper's
#   package alone, the window's checks are left out)
#
# Nothing on this machine changes but a temporary folder: the tree lives on a tmpfs mounted in
# a private mount namespace, and every process started here runs in a private PID namespace, so
# the tree, its mounts and any process left behind vanish when the script ends, however it ends.
# No udev runs in the tree (no /run/udev/control), so the maintainer scripts leave this
# machine's /sys alone.
set -euo pipefail
self=$(realpath -- "$0")
window_deb=""
if [[ $# -gt 0 && "$1" != --inside ]]; then
  deb=$(realpath -- "$1")  # before leaving the caller's folder
  [[ $# -lt 2 ]] || window_deb=$(realpath -- "$2")
fi
cd "$(dirname "$0")/.."

if [[ "${1:-}" != --inside ]]; then
  scripts/deps.sh roundtrip
  if [[ $# -eq 0 ]]; then
    built=$(scripts/package.sh | tail -2)
    deb=$(head -1 <<<"$built")
    window_deb=$(tail -1 <<<"$built")
  fi
  for file in "$deb" ${window_deb:+"$window_deb"}; do
    [[ -f "$file" ]] || { echo "install_roundtrip.sh: no package at '$file'" >&2; exit 2; }
  done
  # The Debian 12 entries of this machine's apt sources, pasted into the tree's sources as they
  # are (they name the mirror this machine reaches and its keyring).
  sources=()
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
    /etc/apt/sources.list.d/*.sources; do
    if [[ -s "$file" ]] && grep -qs '^[^#]*bookworm' "$file"; then sources+=("$file"); fi
  done
  ((${#sources[@]} > 0)) || { echo "install_roundtrip.sh: no Debian 12 apt source" >&2; exit 2; }
  work=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-roundtrip.XXXXXX")
  trap 'rm -rf --one-file-system "$work"' EXIT
  cp "$deb" ${window_deb:+"$window_deb"} "$work/"
  start=$SECONDS
  status=0
  unshare --mount --pid --fork --mount-proc --propagation private -- \
    "$self" --inside "$work" "$(basename "$deb")" "$(basename "${window_deb:-none}")" \
    "${sources[@]}" || status=$?
  echo "install round trip took $((SECONDS - start)) s"
  exit "$status"
fi

# Inside the private mount and PID namespaces.
work=$2
deb=$3
window_deb=$4  # "none" without the window's package
shift 4
root=$work/root
passed=0 failed=0
check() {  # check NAME EXPECTED ACTUAL
  if [[ "$2" == "$3" ]]; then
    echo "ok: $1"
    passed=$((passed + 1))
  else
    echo "FAILED: $1"$'\n'"  expected: $2"$'\n'"  actual:   $3"
    failed=$((failed + 1))
  fi
}
in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}
exists() { [[ -e "$root$1" ]] && echo yes || echo no; }
package_status() { in_root dpkg-query -W -f='${Status}' "${1:-ostrel-sensor-helper}" 2>/dev/null || true; }
group_line() { in_root getent group ostrel-power | cut -d: -f1,4 || true; }
# Fetches a target from the helper's own loopback; the first try may come before it listens.
fetch() {
  local tries=0
  until nsenter --target "$helper" --net curl -sf --max-time 5 "http://127.0.0.1:53843$1"; do
    (( ++tries < 100 )) || return 1
    sleep 0.1
  done
}

mkdir "$root"
mount -t tmpfs -o mode=0755 ostrel-roundtrip "$root"
phase=$SECONDS
if ! mmdebstrap --mode=root --variant=minbase --include=debian-archive-keyring \
  --skip=cleanup/apt/lists bookworm "$root" "$@" >"$work/mmdebstrap.log" 2>&1; then
  tail -n 40 "$work/mmdebstrap.log"
  exit 1
fi
echo "minimal Debian 12 tree: $((SECONDS - phase)) s, $(du -sm "$root" | cut -f1) MB"
mount -t proc proc "$root/proc"  # dpkg, and the helper's /proc/self/exe
debs=("/tmp/$deb")
[[ "$window_deb" == none ]] || debs+=("/tmp/$window_deb")
cp "$work/$deb" "$root/tmp/"
[[ "$window_deb" == none ]] || cp "$work/$window_deb" "$root/tmp/"

phase=$SECONDS
in_root apt-get install -y -q --no-install-recommends "${debs[@]}" >"$work/apt.log" 2>&1 ||
  { tail -n 40 "$work/apt.log"; exit 1; }
echo "apt install of the packages and their dependencies: $((SECONDS - phase)) s"
check "package installed" "install ok installed" "$(package_status)"
check "helper at /usr/bin" yes "$(exists /usr/bin/ostrel-sensor-helper)"
check "udev rule installed" yes "$(exists /usr/lib/udev/rules.d/70-ostrel-power.rules)"
check "group ostrel-power exists, without members" "ostrel-power:" "$(group_line)"
gid=$(in_root getent group ostrel-power | cut -d: -f3)
check "group is a system group" yes "$( ((gid > 0 && gid < 1000)) && echo yes || echo no)"
if [[ "$window_deb" != none ]]; then
  check "window: package installed" "install ok installed" "$(package_status ostrel)"
  for file in /usr/bin/ostrel /usr/share/applications/com.ostrel.Ostrel.desktop \
    /usr/share/icons/hicolor/scalable/apps/com.ostrel.Ostrel.svg; do
    check "window: $file installed" yes "$(exists "$file")"
  done
fi

# The installed helper as an ordinary user, without a desktop: its launch alert goes to
# standard error and it keeps serving.
unshare --net -- sh -c 'ip link set lo up && exec chroot --userspec=65534:65534 "$1" \
  /usr/bin/env -i HOME=/tmp/home PATH=/usr/bin:/bin /usr/bin/ostrel-sensor-helper' \
  sh "$root" 2>"$work/helper.err" &
helper=$!
body=$(fetch / || true)
echo "document: $body"
check 'document has "helper":"ostrel"' yes "$([[ "$body" == *'"helper":"ostrel"'* ]] && echo yes || echo no)"
check "launch alert on standard error" "Ostrel Sensor Helper is running" "$(head -n 1 "$work/helper.err")"
if [[ "$window_deb" != none ]]; then
  # The installed window's text mode, as the same user beside the helper, without a display.
  text_status=0
  nsenter --target "$helper" --net chroot --userspec=65534:65534 "$root" /usr/bin/env -i \
    HOME=/tmp/home PATH=/usr/bin:/bin LC_ALL=C.UTF-8 /usr/bin/ostrel --text \
    >"$work/text.out" 2>"$work/text.err" || text_status=$?
  echo "ostrel --text:"
  cat "$work/text.out" "$work/text.err"
  check "window: ostrel --text connects" "Connected to Ostrel Sensor Helper" \
    "$(head -n 1 "$work/text.out")"
  check "window: ostrel --text exits 0" 0 "$text_status"
fi

# An upgrade replaces the program under the running helper; a login item it registers then must
# still name the installed path.
in_root dpkg -i "/tmp/$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; exit 1; }
check "running helper's program was replaced" yes \
  "$([[ "$(readlink "/proc/$helper/exe")" == *" (deleted)" ]] && echo yes || echo no)"
check "group unchanged by the reinstall" "$gid" "$(in_root getent group ostrel-power | cut -d: -f3)"
check "login item registered" '{"ok":true,"loginItem":true}' "$(fetch '/loginitem?enable=1' || true)"
entry=/tmp/home/.config/autostart/com.ostrel.Ostrel.SensorHelper.desktop
check "entry names the installed path" 'TryExec=/usr/bin/ostrel-sensor-helper
Exec="/usr/bin/ostrel-sensor-helper"' "$(grep -E '^(TryExec|Exec)=' "$root$entry" || true)"
kill -TERM "$helper"
helper_status=0
wait "$helper" || helper_status=$?
check "helper ends with status 0 on SIGTERM" 0 "$helper_status"

if [[ "$window_deb" != none ]]; then
  in_root apt-get remove -y -q ostrel >>"$work/apt.log" 2>&1 || { tail -n 40 "$work/apt.log"; exit 1; }
  check "window removed: its program gone" no "$(exists /usr/bin/ostrel)"
  check "window removed: its desktop entry gone" no \
    "$(exists /usr/share/applications/com.ostrel.Ostrel.desktop)"
  check "window removed: the helper stays" "install ok installed" "$(package_status)"
  check "window removed: the helper's program stays" yes "$(exists /usr/bin/ostrel-sensor-helper)"
  # Without maintainer scripts or conffiles nothing is left to purge and apt no longer knows the
  # package; dpkg purges whatever is left either way.
  in_root dpkg --purge ostrel >>"$work/apt.log" 2>&1 || { tail -n 40 "$work/apt.log"; exit 1; }
  check "window purged" "" "$(package_status ostrel | grep -v '^unknown ok not-installed$' || true)"
fi
in_root apt-get remove -y -q ostrel-sensor-helper >>"$work/apt.log" 2>&1 ||
  { tail -n 40 "$work/apt.log"; exit 1; }
check "removed: udev rule gone" no "$(exists /usr/lib/udev/rules.d/70-ostrel-power.rules)"
check "removed: helper gone" no "$(exists /usr/bin/ostrel-sensor-helper)"
in_root apt-get purge -y -q ostrel-sensor-helper >>"$work/apt.log" 2>&1 ||
  { tail -n 40 "$work/apt.log"; exit 1; }
check "purged" "" "$(package_status | grep -v '^unknown ok not-installed$' || true)"
check "purged: group kept" "ostrel-power:" "$(group_line)"
check "the user's login item left alone" yes "$(exists "$entry")"

echo "install round trip: $passed passed, $failed failed"
((failed == 0))
