#!/usr/bin/env bash
# The packaged unit under a real systemd. A minimal Debian (tests/systemd/
# rootfs.sh, cached between runs) is booted with systemd-nspawn on the host's
# network, so that the test broker on 127.0.0.1 is reachable; the package
# built from this tree is installed in it, and the service is driven with
# systemctl through the whole of its life:
#   - it is active once it said READY=1, after its settings were accepted,
#     and a broker outage does not fail its start;
#   - it routes, and `systemctl status` shows its status line;
#   - its sandbox is applied;
#   - logrotate rotates weekly or past 100 MB, and the group adm reads the logs;
#   - the password is a credential (LoadCredential=), as the README shows it;
#   - `systemctl reload` with good settings reloads the running process; with
#     settings that --check refuses it fails, and the process goes on;
#   - a frozen event loop is aborted by the watchdog and restarted;
#   - eight `systemctl restart` in a row are all taken (no start limit);
#   - `systemctl stop` ends it with status 0, losing nothing;
#   - a save of refused settings leaves it running on the settings it has,
#     saying so in its status line;
#   - with a log file it writes nothing to the journal itself; with -l -
#     journalctl -p filters its lines by level.
# Resource limits are not tested: the container's systemd gets no memory or
# cpu controller delegated, so a MemoryMax= or CPUQuota= would not be enforced.
#
#   unit_test.sh BUILD_DIR VERSION
# Needs root, the test broker (SHARDEX_TEST_BROKER_DIR), systemd-nspawn,
# debootstrap and a cgroup v2 hierarchy. Run by another user it is skipped
# (status 77); run by root, anything missing fails it. The root file system
# is kept in SHARDEX_TEST_ROOTFS_CACHE (/var/cache/shardex-test-rootfs).
set -euo pipefail

build=$(realpath "${1:?build directory}")
version=${2:?version}
here=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
tests=$(dirname "$here")
# shellcheck source-path=SCRIPTDIR source=../support/shard_bodies.sh
. "$tests/support/shard_bodies.sh"
broker_dir=${SHARDEX_TEST_BROKER_DIR:?the test broker directory}
cache=${SHARDEX_TEST_ROOTFS_CACHE:-/var/cache/shardex-test-rootfs}
python=/usr/bin/python3 # the system's, with python3-pika
began=$(date +%s.%N)

since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }
step() { echo "== $* (at $(since "$began") s)"; }

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: the systemd unit test boots a container and needs root"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/shardex-unit-test.XXXXXX")
root=$work/root
log=$root/var/log/shardex/shardex.log
nspawn_pid='' leader='' cgroup='' vhost=systemd-unit-$$ vhost_made=''

broker() { "$tests/broker/broker.sh" ctl "$broker_dir" "$@" >/dev/null; }
in_container() { nsenter -t "$leader" -a "$@"; }
prop() { in_container systemctl show -P "$1" shardex; }

diagnostics() {
  [ -n "$leader" ] || return 0
  echo "--- the container's console" >&2
  tail -n 10 "$work/console.log" >&2 || true
  echo "--- systemctl status shardex" >&2
  in_container systemctl status shardex --no-pager -n 40 >&2 || true
  echo "--- $log" >&2
  tail -n 20 "$log" >&2 || true
}
die() {
  echo "FAIL: $*" >&2
  diagnostics
  exit 1
}

cleanup() {
  set +e
  if [ -n "$nspawn_pid" ]; then
    kill -TERM "$nspawn_pid" 2>/dev/null # the container shuts down cleanly
    for _ in $(seq 100); do
      kill -0 "$nspawn_pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$nspawn_pid" 2>/dev/null; then
      [ -n "$leader" ] && kill -KILL "$leader"
      kill -KILL "$nspawn_pid"
    fi
    wait "$nspawn_pid" 2>/dev/null
  fi
  mountpoint -q "$root" && umount "$root"
  [ -n "$cgroup" ] && [ -d "$cgroup" ] && find "$cgroup" -depth -type d -exec rmdir {} \; 2>/dev/null
  [ -n "$vhost_made" ] && broker delete_vhost "$vhost"
  rm -rf "$work"
}
trap cleanup EXIT

# Polls COMMAND... until it succeeds; fails the test after SECONDS.
wait_until() {
  local deadline=$((SECONDS + $1)) what=$2
  shift 2
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || die "$what"
    sleep 0.1
  done
}
is() { [ "$(prop "$1")" = "$2" ]; }
status_begins() { [[ $(prop StatusText) == "$1"* ]]; }
journal_count() { in_container journalctl -u shardex -q --no-pager -o cat | grep -cF -- "$1" || true; }
journal_has() { [ "$(journal_count "$1")" -gt 0 ]; }
# Starts of the routing in this container's log: one per start or reload.
starts() {
  local n
  n=$(grep -c 'shard: 0, routing key: ' "$log" 2>/dev/null || true)
  echo "${n:-0}"
}

section_requirements() {
  local cmd
  for cmd in systemd-nspawn debootstrap nsenter chroot flock mountpoint cpack; do
    command -v "$cmd" >/dev/null || die "$cmd is missing (scripts/install-deps.sh installs it)"
  done
  "$python" -c 'import pika' 2>/dev/null || die "python3-pika is missing"
  if [ -f /sys/fs/cgroup/cgroup.controllers ]; then
    cgroup2=/sys/fs/cgroup
  elif [ -f /sys/fs/cgroup/unified/cgroup.controllers ]; then
    cgroup2=/sys/fs/cgroup/unified
  else
    die "no cgroup v2 hierarchy is mounted: systemd-nspawn cannot boot the container here"
  fi
  # shellcheck disable=SC1091
  . "$broker_dir/broker.env"
}
section_requirements

# --- the test's own virtual host: the input queue, the exchange and 3 shards
peer() { # OPS_JSON: runs the operations in the test's virtual host, prints their results
  printf '{"port": %s, "vhost": "%s", "ops": %s}' "$AMQP_PORT" "$vhost" "$1" |
    "$python" "$tests/support/amqp_peer.py"
}
broker add_vhost "$vhost"
vhost_made=yes
broker set_permissions -p "$vhost" guest '.*' '.*' '.*'
declare_ops='[{"op": "declare_exchange", "exchange": "out"}, {"op": "declare_queue", "queue": "in", "durable": true}'
for shard in 0 1 2; do
  declare_ops+=", {\"op\": \"declare_queue\", \"queue\": \"shard.$shard\"}"
  declare_ops+=", {\"op\": \"bind\", \"queue\": \"shard.$shard\", \"exchange\": \"out\", \"key\": \"shard.$shard\"}"
done
peer "$declare_ops]" >/dev/null || die "cannot declare the queues on the test broker"

published=0
publish() { # COUNT: COUNT more text bodies; body n names device n
  local ops
  ops=$("$python" -c 'import json, sys
first, count = int(sys.argv[1]), int(sys.argv[2])
bodies = [json.dumps({"modem_id": n, "n": n}).encode().hex() for n in range(first, first + count)]
print(json.dumps([{"op": "publish", "exchange": "", "key": "in", "bodies_hex": bodies}]))' "$published" "$1")
  peer "$ops" >/dev/null || die "cannot publish into the input queue"
  published=$((published + $1))
}
# What is wrong so far: bodies that reached no shard, or the wrong one. With
# "queued", a body back in the input queue counts as kept.
problems() {
  "$python" - "$work/taken" "$published" "${1:-}" <<'PY'
import sys
kept, wrong = set(), []
for line in open(sys.argv[1]):
    n, queue = line.split()
    if queue == "in" and sys.argv[3] == "queued":
        kept.add(int(n))
    elif queue != "shard.%d" % (int(n) % 3):
        wrong.append(line.strip())
    else:
        kept.add(int(n))
missing = sorted(set(range(int(sys.argv[2]))) - kept)
if missing:
    print("%d bodies lost, the first: %s" % (len(missing), missing[:10]))
if wrong:
    print("in the wrong queue: %s" % wrong[:10])
PY
}
routed() { take shard.0 shard.1 shard.2 && [ -z "$(problems)" ]; }
expect_routed() { # WHEN
  : >>"$work/taken"
  local deadline=$((SECONDS + 20))
  until routed; do
    [ "$SECONDS" -lt "$deadline" ] || die "$1: $(problems)"
    sleep 0.2
  done
}

# --- the package, installed into an overlay on the cached root file system
step "packing"
deb=$(pack_deb) || exit 1

step "root file system"
t=$(date +%s.%N)
mapfile -t depends < <(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/[[:space:]]//g' | grep .)
base=$("$here/rootfs.sh" "$cache" "${depends[@]}" logrotate) || die "no root file system to boot"
rootfs_time=$(since "$t")
mkdir -p "$work/upper" "$work/overlay-work" "$root"
mount -t overlay overlay -o "lowerdir=$base,upperdir=$work/upper,workdir=$work/overlay-work" "$root" ||
  die "cannot mount an overlay on $base"
cp "$deb" "$root/tmp/shardex.deb"
chroot "$root" dpkg -i /tmp/shardex.deb >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; die "dpkg -i"; }

settings() { # PORT SHARD_COUNT [LINE]: writes the settings file in place (a running service takes the save)
  cat >"$root/etc/shardex/shardex.ini" <<EOF
[receiver]
path=amqp://guest@127.0.0.1:$1/
password_file=rabbit-password
vhost=$vhost
r_que=in
mode=2
prefetch_count=10
tls_ca_file=/etc/shardex/ca.pem

[publisher]
path=amqp://guest@127.0.0.1:$1/
password_file=rabbit-password
vhost=$vhost
exchange=out
routing_key_prefix=shard.
shard_count=$2
${3:-}
EOF
}
install -m 0644 "$broker_dir/tls/ca.pem" "$root/etc/shardex/ca.pem"
dropins=$root/etc/systemd/system/shardex.service.d
mkdir -p "$dropins"
# The password as the README shows it: a credential the unit loads.
printf 'guest\n' >"$root/etc/shardex/rabbit-password"
chmod 0600 "$root/etc/shardex/rabbit-password"
cat >"$dropins/test.conf" <<'EOF'
[Service]
LoadCredential=rabbit-password:/etc/shardex/rabbit-password
# A frozen event loop is noticed after 3 s instead of 30.
WatchdogSec=3
EOF

# --- boot
step "booting"
t=$(date +%s.%N)
# systemd-nspawn wants a cgroup of its own under the cgroup v2 hierarchy.
cgroup=$cgroup2$(awk -F: '$1 == "0" { print $3 }' /proc/self/cgroup)/shardex-unit-test.$$
cgroup=${cgroup//\/\//\/}
mkdir "$cgroup" || die "cannot make the cgroup $cgroup"
(
  echo "$BASHPID" >"$cgroup/cgroup.procs"
  SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 exec systemd-nspawn -D "$root" -b -M shardex-unit-test --register=no \
    --keep-unit --console=read-only --system-call-filter=bpf
) >"$work/console.log" 2>&1 </dev/null &
nspawn_pid=$!
for _ in $(seq 300); do
  if ! kill -0 "$nspawn_pid" 2>/dev/null; then
    tail -n 20 "$work/console.log" >&2
    die "systemd-nspawn ended at once: this machine cannot boot the container"
  fi
  leader=$(pgrep -P "$nspawn_pid" -x systemd || true)
  [ -n "$leader" ] && break
  sleep 0.1
done
[ -n "$leader" ] || die "no systemd started in the container"
booted() {
  case $(in_container systemctl is-system-running 2>/dev/null) in
  running | degraded) return 0 ;;
  *) return 1 ;;
  esac
}
wait_until 60 "the container's systemd did not finish booting" booted
if ! is_running=$(in_container systemctl is-system-running) || [ "$is_running" != running ]; then
  in_container systemctl --failed --no-pager >&2 || true
fi
boot_time=$(since "$t")

# --- readiness
step "active once the settings are accepted, without waiting for a broker"
free_port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
settings "$free_port" 3
timeout 60 nsenter -t "$leader" -a systemctl start shardex || die "the start failed without a broker"
is ActiveState active || die "not active without a broker"
status_begins "receiver disconnected; publisher disconnected; 0 routed" || die "status: $(prop StatusText)"
# READY=1 follows the start's last routing key in the log; a unit that is
# active as soon as the process runs would be active tens of ms before it.
accepted=$(grep -F 'shard: 2, routing key: shard.2' "$log" | tail -n 1 | cut -c1-23 | tr , .)
[ -n "$accepted" ] || die "the log shows no accepted start"
accepted_ms=$(in_container date -d "$accepted" +%s%3N)
active_ms=$(in_container date -d "$(in_container systemctl show -P ActiveEnterTimestamp --timestamp=us+utc shardex)" +%s%3N)
echo "start accepted at $accepted_ms ms, unit active at $active_ms ms"
[ "$active_ms" -ge "$accepted_ms" ] || die "active $((accepted_ms - active_ms)) ms before the start was accepted"
in_container systemctl stop shardex || die "systemctl stop without a broker"

# --- a working service
step "start, status line, sandbox, routing"
settings "$AMQP_PORT" 3
timeout 60 nsenter -t "$leader" -a systemctl start shardex || die "systemctl start"
pid=$(prop MainPID)
wait_until 15 "the status line never said the service consumes" status_begins "consuming in; publisher connected; "
in_container systemctl status shardex --no-pager | grep -qF 'Status: "consuming in; publisher connected; ' ||
  die "systemctl status shows no status line"
inside() { in_container nsenter -t "$pid" -m "$@"; } # in the service's mount namespace
! inside test -w /usr || die "/usr is writable for the service"
! inside test -w /etc/shardex || die "/etc/shardex is writable for the service"
inside test -w /var/log/shardex || die "the log folder is not writable for the service"
in_container touch /tmp/outside /root/outside
! inside test -e /tmp/outside || die "the service shares /tmp"
! inside test -e /root/outside || die "the service sees /root"
proc_status=$(in_container cat "/proc/$pid/status")
grep -q '^NoNewPrivs:[[:space:]]*1$' <<<"$proc_status" || die "NoNewPrivs is not set"
grep -q '^Seccomp:[[:space:]]*2$' <<<"$proc_status" || die "no system call filter"
grep -q '^CapEff:[[:space:]]*0*$' <<<"$proc_status" || die "the service has capabilities"
grep -q "^Uid:[[:space:]]*$(in_container id -u shardex)[[:space:]]" <<<"$proc_status" || die "not run as shardex"
publish 30
expect_routed "after the start"

# --- reloads
step "systemctl reload with good settings, the password a credential"
before=$(starts)
timeout 60 nsenter -t "$leader" -a systemctl reload shardex || die "the reload of good settings failed"
reloaded() { [ "$(starts)" -gt "$before" ] && is ActiveState active && ! status_begins reloading; }
wait_until 15 "the process did not reload, or the unit did not return to active" reloaded
[ "$(prop MainPID)" = "$pid" ] || die "the reload replaced the process"
publish 30
expect_routed "after the reload"
# The check by hand, as the README shows it, sees the running unit's credential.
in_container env CREDENTIALS_DIRECTORY=/run/credentials/shardex.service shardex --check -c /etc/shardex/shardex.ini ||
  die "--check with CREDENTIALS_DIRECTORY did not read the credential"

step "systemctl reload with settings that --check refuses"
# The settings file itself is watched: the running process takes a save of it
# at once (last step). A file it names is read only at a start, so a broken
# one is what the check before SIGHUP catches.
before=$(starts)
printf 'not a certificate\n' >"$root/etc/shardex/ca.pem"
if timeout 60 nsenter -t "$leader" -a systemctl reload shardex 2>/dev/null; then
  die "a reload with refused settings succeeded"
fi
journal_has 'receiver/tls_ca_file: /etc/shardex/ca.pem: holds no PEM certificate' ||
  die "the journal does not say why the reload failed"
is ActiveState active || die "a refused reload left the unit $(prop ActiveState)"
[ "$(prop MainPID)" = "$pid" ] || die "a refused reload replaced the process"
[ "$(starts)" = "$before" ] || die "the process reloaded refused settings"
install -m 0644 "$broker_dir/tls/ca.pem" "$root/etc/shardex/ca.pem"
publish 30
expect_routed "after the refused reload"

# --- rotation
step "logrotate: weekly or past 100 MB, every log file readable by the group adm"
owned() { [ "$(in_container stat -c '%U %G %a' "$1")" = "$2" ] || die "$1: $(in_container stat -c '%U %G %a' "$1"), expected $2"; }
owned /var/log/shardex "shardex adm 2750"
owned /var/log/shardex/shardex.log "shardex adm 640"
in_container logrotate -f /etc/logrotate.d/shardex || die "a forced logrotate failed"
reopened() { in_container test -e /var/log/shardex/shardex.log; }
publish 30
expect_routed "after a rotation"
wait_until 10 "shardex did not open a new log after the rotation" reopened
owned /var/log/shardex/shardex.log.1 "shardex adm 640"
owned /var/log/shardex/shardex.log "shardex adm 640"
# Rotated a moment ago: only the size bound rotates it again.
in_container truncate -s 101M /var/log/shardex/shardex.log
in_container logrotate /etc/logrotate.d/shardex || die "logrotate failed"
in_container test -e /var/log/shardex/shardex.log.2.gz || die "a log past 100 MB was not rotated"
owned /var/log/shardex/shardex.log.2.gz "shardex adm 640"

# --- the watchdog
step "a frozen event loop is restarted by the watchdog"
restarts=$(prop NRestarts)
in_container kill -STOP "$pid"
publish 30 # the frozen process's deliveries go back to the queue when it is killed
restarted() { is ActiveState active && [ "$(prop MainPID)" != "$pid" ] && [ "$(prop MainPID)" != 0 ]; }
wait_until 30 "the frozen service was not restarted" restarted
journal_has 'Watchdog timeout' || die "the journal has no watchdog timeout"
[ "$(prop NRestarts)" -eq $((restarts + 1)) ] || die "restarts: $(prop NRestarts), expected $((restarts + 1))"
pid=$(prop MainPID)
expect_routed "after the watchdog's restart"

# --- restarts by hand
step "eight systemctl restart within a minute all succeed"
for i in 1 2 3 4 5 6 7 8; do
  timeout 60 nsenter -t "$leader" -a systemctl restart shardex || die "restart $i was refused"
done
is ActiveState active || die "after eight restarts the unit is $(prop ActiveState)"
pid=$(prop MainPID)
expect_routed "after eight restarts"

# --- stop
step "systemctl stop"
publish 30 # the stop comes in the middle of these
timeout 60 nsenter -t "$leader" -a systemctl stop shardex || die "systemctl stop failed"
if [ "$(prop ExecMainStatus)" != 0 ] || ! is Result success; then
  die "stop: status $(prop ExecMainStatus), result $(prop Result)"
fi
tail -n 1 "$log" | grep -qF 'Shardex has been stopped...' || die "the log does not end in the stop line"
take shard.0 shard.1 shard.2 in
[ -z "$(problems queued)" ] || die "after the stop: $(problems queued)"

# --- a save of refused settings
step "a save of refused settings leaves the service routing on the settings it has"
timeout 60 nsenter -t "$leader" -a systemctl start shardex || die "systemctl start"
wait_until 15 "the service did not consume again" status_begins "consuming in; publisher connected; "
pid=$(prop MainPID)
settings "$AMQP_PORT" 0
refused() { grep -qF 'refused: publisher/shard_count: 0: ' "$log"; }
wait_until 20 "the log does not say why the save was refused" refused
wait_until 10 "the status line does not say the settings were refused" \
  status_begins "settings refused, the previous ones in use; consuming in"
is ActiveState active || die "a refused save left the unit $(prop ActiveState)"
[ "$(prop MainPID)" = "$pid" ] || die "a refused save replaced the process"
publish 30
expect_routed "after the refused save"
standard_output=$(in_container journalctl -q --no-pager -o cat _PID="$pid")
[ -z "$standard_output" ] || die "with a log file, the process wrote to the journal: $standard_output"

# --- the journal as the log
step "with -l -, each line has its level's priority in the journal"
printf '[Service]\nExecStart=\nExecStart=/usr/bin/shardex -c /etc/shardex/shardex.ini -l -\n' >"$dropins/journal.conf"
in_container systemctl daemon-reload
settings "$AMQP_PORT" 3
timeout 60 nsenter -t "$leader" -a systemctl restart shardex || die "systemctl restart with -l -"
wait_until 15 "the service did not consume with -l -" status_begins "consuming in; publisher connected; "
settings "$AMQP_PORT" 0 shard_cuont=3
priority() { in_container journalctl -u shardex -q --no-pager -o cat -p "$1"; }
wait_until 20 "journalctl -p err does not list the refusal" \
  eval 'priority err | grep -qF "refused: publisher/shard_count: 0: "'
priority warning | grep -qF shard_cuont || die "journalctl -p warning does not list the unknown key"
! priority err | grep -qF shard_cuont || die "journalctl -p err lists a warning"
! priority warning | grep -qF 'routing key: shard.0' || die "journalctl -p warning lists info lines"
in_container journalctl -u shardex -q --no-pager -o cat | grep -qF 'routing key: shard.0' ||
  die "the journal does not have the info lines"

echo "timings: root file system ${rootfs_time} s, boot ${boot_time} s, whole test $(since "$began") s"
echo "the systemd unit passed"
