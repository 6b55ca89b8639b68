#!/usr/bin/env bash
# Prints the path of a minimal Debian root file system that boots systemd and
# holds the given packages. It is built once with debootstrap, from the mirror
# apt already uses, and kept in CACHE_DIR for later runs; another package list
# builds another one next to it. Concurrent callers wait for one build.
#   rootfs.sh CACHE_DIR PACKAGE...
set -euo pipefail

cache=${1:?cache directory}
shift
# shellcheck disable=SC1091
. /etc/os-release
suite=${VERSION_CODENAME:?no VERSION_CODENAME in /etc/os-release}
packages=$(printf '%s\n' systemd dbus procps "$@" | sort -u | paste -sd, -)
key=$(printf '%s %s' "$suite" "$packages" | sha256sum | cut -c1-12)
root=$cache/$suite-$key

mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
if [ -f "$root/.complete" ]; then
  echo "$root"
  exit 0
fi

# shellcheck disable=SC2016 # apt's own field names, not the shell's
mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' | awk -v s="$suite" '$2 == s { print $1; exit }')
[ -n "$mirror" ] || { echo "no apt source serves $suite: cannot build the test root file system" >&2; exit 1; }
partial=$root.partial
rm -rf "$partial"
log=$cache/debootstrap-$key.log
echo "building the root file system $root from $mirror (once per machine)" >&2
if ! debootstrap --variant=minbase --include="$packages" "$suite" "$partial" "$mirror" >"$log" 2>&1; then
  tail -n 30 "$log" >&2
  echo "debootstrap failed; its log is $log" >&2
  exit 1
fi
# The downloaded packages are not needed any more.
rm -f "$partial"/var/cache/apt/archives/*.deb
touch "$partial/.complete"
mv "$partial" "$root"
echo "$root"
