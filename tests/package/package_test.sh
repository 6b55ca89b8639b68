#!/usr/bin/env bash
# Packs an already built tree into the Debian package and checks what it
# holds: the files, the conffiles, what the maintainer scripts do, the systemd
# unit and lintian's verdict.
#   package_test.sh BUILD_DIR VERSION
set -euo pipefail

build=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# shellcheck source-path=SCRIPTDIR source=../support/checks.sh
. "$(dirname "$0")/../support/checks.sh"

section "cpack"
# Named as the build's generator, Ninja (which has no preinstall target) keeps
# cpack from building the whole tree first: it packs what is built.
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" -D CPACK_CMAKE_GENERATOR=Ninja \
  >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  echo "FAIL: cpack" >&2
  exit 1
fi
deb="$work/out/shardex_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { ls -R "$work/out" >&2; echo "FAIL: no $(basename "$deb")" >&2; exit 1; }
root="$work/root"
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$work/control"

section "control fields"
[ "$(dpkg-deb -f "$deb" Package)" = shardex ] || fail "Package is not shardex"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
# libsystemd0: readiness, status and watchdog messages to systemd.
for dep in adduser libqt5core5a libqt5network5 libprotobuf libsystemd0; do
  [[ $depends == *"$dep"* ]] || fail "Depends lacks $dep: $depends"
done
# The JSON decision is the service's own: no JSON parser library is needed.
[[ $depends != *simdjson* ]] || fail "Depends names simdjson: $depends"

section "files"
# Every entry that is not a folder, with its mode and owner.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6, $1, $2 }' | sort >"$work/files"
cat >"$work/expected" <<'EOF'
/etc/logrotate.d/shardex -rw-r--r-- root/root
/etc/shardex/shardex.ini -rw-r----- root/root
/lib/systemd/system/shardex.service -rw-r--r-- root/root
/usr/bin/shardex -rwxr-xr-x root/root
/usr/lib/sysusers.d/shardex.conf -rw-r--r-- root/root
/usr/lib/tmpfiles.d/shardex.conf -rw-r--r-- root/root
/usr/share/doc/shardex/README.md -rw-r--r-- root/root
/usr/share/doc/shardex/changelog.Debian.gz -rw-r--r-- root/root
/usr/share/doc/shardex/copyright -rw-r--r-- root/root
/usr/share/lintian/overrides/shardex -rw-r--r-- root/root
/usr/share/man/man8/shardex.8.gz -rw-r--r-- root/root
EOF
diff -u "$work/expected" "$work/files" || fail "the package's files differ (- expected, + packaged)"

# The packaged binary is this version's, runs with the packaged libraries'
# names resolved, and accepts the settings file the package installs.
out=$("$root/usr/bin/shardex" --version 2>&1) || fail "shardex --version: $out"
[[ $out == *"$version"* ]] || fail "shardex --version does not print $version: $out"
out=$("$root/usr/bin/shardex" --check -c "$root/etc/shardex/shardex.ini" 2>&1) ||
  fail "the packaged settings fail --check: $out"
# Nothing on stderr: every key the example names is one shardex reads.
err=$("$root/usr/bin/shardex" --check -c "$root/etc/shardex/shardex.ini" 2>&1 >/dev/null) || true
[ -z "$err" ] || fail "--check warns about the packaged settings: $err"

section "conffiles"
printf '/etc/logrotate.d/shardex\n/etc/shardex/shardex.ini\n' >"$work/conffiles.expected"
sort "$work/control/conffiles" | diff -u "$work/conffiles.expected" - || fail "conffiles differ"

section "maintainer scripts"
for s in postinst prerm postrm; do
  [ -x "$work/control/$s" ] || fail "$s is missing or not executable"
done
# Each script runs with every command it may call replaced by a stub that
# records its arguments; the shell's builtins stay real. The stubs answer as
# on a first install: no user, no override, the unit never installed.
stubs="$work/stubs"
mkdir -p "$stubs"
cat >"$stubs/stub" <<'STUB'
#!/bin/sh
echo "${0##*/} $*" >>"$CALLS"
case "${0##*/} $1" in
"getent "* | "dpkg-statoverride "* | "deb-systemd-helper debian-installed" | "deb-systemd-helper --quiet") exit 1 ;;
esac
STUB
chmod +x "$stubs/stub"
for cmd in systemd-sysusers systemd-tmpfiles install find adduser addgroup deluser delgroup userdel groupdel getent chown chmod \
  dpkg-statoverride deb-systemd-helper deb-systemd-invoke systemctl rm; do
  ln -s stub "$stubs/$cmd"
done
export CALLS="$work/calls"
run_script() { # script args...: runs it, then leaves its calls in $work/calls
  local script=$1
  shift
  : >"$work/calls"
  PATH="$stubs" /bin/sh -e "$work/control/$script" "$@" || fail "$script $* exited with $?"
}
expect_call() { grep -qxF -- "$1" "$work/calls" || fail "$2: no call '$1' in: $(tr '\n' ';' <"$work/calls")"; }

run_script postinst configure
expect_call "systemd-sysusers /usr/lib/sysusers.d/shardex.conf" "postinst configure"
expect_call "chown root:shardex /etc/shardex/shardex.ini" "postinst configure"
expect_call "chmod 0640 /etc/shardex/shardex.ini" "postinst configure"
expect_call "systemd-tmpfiles --create /usr/lib/tmpfiles.d/shardex.conf" "postinst configure"
grep -q "enable" "$work/calls" && fail "a first install enables the unit: $(tr '\n' ';' <"$work/calls")"
# Without systemd-sysusers, adduser makes the user and its group.
rm "$stubs/systemd-sysusers"
run_script postinst configure
grep -qE '^adduser .*--system.*--group.* shardex$' "$work/calls" ||
  fail "postinst without systemd-sysusers does not call adduser --system --group: $(tr '\n' ';' <"$work/calls")"
: >"$work/all-calls"
for args in "prerm remove" "postrm remove" "postrm purge" "prerm upgrade 1.0" "postinst configure 1.0"; do
  run_script $args
  cat "$work/calls" >>"$work/all-calls"
done
if grep -E '^(deluser|delgroup|userdel|groupdel) ' "$work/all-calls"; then
  fail "a maintainer script removes the user or group"
fi
# The sysusers file, applied to an empty root, makes a system user and group.
if command -v systemd-sysusers >/dev/null; then
  mkdir -p "$work/sysroot/etc"
  systemd-sysusers --root="$work/sysroot" "$root/usr/lib/sysusers.d/shardex.conf" 2>&1 ||
    fail "systemd-sysusers rejects shardex.conf"
  IFS=: read -r _ _ uid gid _ home shell < <(grep '^shardex:' "$work/sysroot/etc/passwd") || true
  grep -q "^shardex:x:${gid:-none}:" "$work/sysroot/etc/group" 2>/dev/null ||
    fail "no group shardex for the user: $(cat "$work/sysroot/etc/passwd" 2>&1)"
  [ "${uid:-1000}" -lt 1000 ] && [ "$shell" = /usr/sbin/nologin ] && [ "$home" = /nonexistent ] ||
    fail "shardex is not a system user without login: uid=${uid:-} home=${home:-} shell=${shell:-}"
fi

section "systemd unit"
if command -v systemd-analyze >/dev/null; then
  # The unit runs the packaged binary; its Documentation= resolves to the
  # packaged man page.
  mkdir "$work/unit"
  sed "s|/usr/bin/shardex|$root/usr/bin/shardex|g" "$root/lib/systemd/system/shardex.service" \
    >"$work/unit/shardex.service"
  out=$(MANPATH="$root/usr/share/man" systemd-analyze verify "$work/unit/shardex.service" 2>&1) ||
    fail "systemd-analyze verify: $out"
  [ -z "$out" ] || fail "systemd-analyze verify reports: $out"
  out=$(systemd-analyze security --offline=true --threshold=20 "$root/lib/systemd/system/shardex.service" 2>&1) ||
    fail "systemd-analyze security: exposure above 2.0: $(grep -E '✗|Overall' <<<"$out")"
  grep 'Overall exposure' <<<"$out" || fail "systemd-analyze security printed no exposure: $out"
else
  echo "systemd-analyze is missing: the unit is not checked"
fi

section "lintian"
lintian --fail-on error --display-info "$deb" || fail "lintian found errors"

checks_done "package $(basename "$deb")"
