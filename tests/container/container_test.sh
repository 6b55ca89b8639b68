#!/usr/bin/env bash
# The container image and the Kubernetes manifest against the test broker:
#   - scripts/container.sh builds the image from this build's package, on its
#     own base (debootstrap, cached between runs), under 200 MB, labelled
#     with the version;
#   - "--check" after the image name replaces the default command;
#   - run as podman runs it for an operator (settings directory mounted
#     read-only, password from a podman secret, read-only root, no
#     capabilities): it routes as an unprivileged user, its health check
#     passes, a swap of the settings directory as the kubelet makes it for a
#     ConfigMap reloads it, and podman stop drains it (exit 0, nothing lost)
#     in under 10 s;
#   - packaging/kubernetes/shardex.yaml, played by podman kube play on the
#     host's network (tests/container/kube_variant.py says what the played
#     variant changes): the pod routes with the shipped security context,
#     mounts and probes, and stopping it drains it with nothing lost.
#
#   container_test.sh BUILD_DIR VERSION
# Needs root, podman, runc and catatonit (scripts/install-deps.sh installs them)
# and the test broker (SHARDEX_TEST_BROKER_DIR); skipped (status 77) where podman
# cannot run containers. The base is kept in SHARDEX_CONTAINER_CACHE
# (/var/cache/shardex-container).
set -euo pipefail

build=$(realpath "${1:?build directory}")
version=${2:?version}
here=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
tests=$(dirname "$here")
source_root=$(dirname "$tests")
broker_dir=${SHARDEX_TEST_BROKER_DIR:?the test broker directory}
python=/usr/bin/python3 # the system's, with python3-pika and python3-yaml
began=$(date +%s.%N)

# shellcheck source-path=SCRIPTDIR source=../support/checks.sh
. "$tests/support/checks.sh"
# shellcheck source-path=SCRIPTDIR source=../support/shard_bodies.sh
. "$tests/support/shard_bodies.sh"
since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }
step() { section "$* (at $(since "$began") s)"; }
die() {
  echo "FAIL: $*" >&2
  exit 1
}

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: the container test runs rootful podman and needs root"
  exit 77
fi
for cmd in podman runc catatonit; do
  command -v "$cmd" >/dev/null ||
    { echo "SKIP: $cmd is missing: podman cannot run containers here (scripts/install-deps.sh installs it)"; exit 77; }
done
"$python" -c 'import pika, yaml' 2>/dev/null || die "python3-pika or python3-yaml is missing"
# shellcheck disable=SC1091
. "$broker_dir/broker.env"

work=$(mktemp -d "${TMPDIR:-/tmp}/shardex-container-test.XXXXXX")
# The podman settings of this test alone: runc (crun fails where cgroups are
# in hybrid mode) and limits that a container may set here; kube play takes
# no --ulimit.
cat >"$work/containers.conf" <<'EOF'
[containers]
default_ulimits = ["nofile=4096:4096", "nproc=4096:4096"]
[engine]
runtime = "runc"
EOF
export CONTAINERS_CONF=$work/containers.conf
name=shardex-ct-$$
image=localhost/shardex-test:$$
vhost=$name user=$name
password=$("$python" -c 'import secrets, string; print("".join(secrets.choice(string.ascii_letters + string.digits) for _ in range(16)))')
vhost_made='' user_made='' kube_file=''

broker() { "$tests/broker/broker.sh" ctl "$broker_dir" "$@" >/dev/null; }
cleanup() {
  set +e
  [ -n "$kube_file" ] && podman kube down "$kube_file" >/dev/null 2>&1
  podman rm -f -t 0 "$name" >/dev/null 2>&1
  podman secret rm "$name" "$name-password" >/dev/null 2>&1
  podman volume rm "$name" "$name-password" >/dev/null 2>&1
  podman rmi "$image" >/dev/null 2>&1
  [ -n "$vhost_made" ] && broker delete_vhost "$vhost"
  [ -n "$user_made" ] && broker delete_user "$user"
  rm -rf "$work"
}
trap cleanup EXIT

# Can podman start a container here at all? A root file system of /bin/true
# and its libraries answers without any image.
probe=$work/probe
mkdir -p "$probe/bin"
cp /bin/true "$probe/bin/"
for lib in $(ldd /bin/true | grep -o '/[^ ]*'); do
  mkdir -p "$probe$(dirname "$lib")"
  cp "$lib" "$probe$lib"
done
if ! podman run --rm --network none --rootfs "$probe" /bin/true >"$work/probe.log" 2>&1; then
  cat "$work/probe.log"
  echo "SKIP: podman cannot run containers on this machine"
  exit 77
fi

# --- the broker: the test's virtual host and user, the input queue, the
# exchange and two sets of 3 shard queues (shard.N, and alt.N for a reload)
peer() { # OPS_JSON: runs the operations in the test's virtual host, prints their results
  printf '{"port": %s, "vhost": "%s", "ops": %s}' "$AMQP_PORT" "$vhost" "$1" | "$python" "$tests/support/amqp_peer.py"
}
# Two rabbitmqctl calls at a time: each spends a second or two starting up.
vhost_made=yes user_made=yes
broker add_vhost "$vhost" & made=$!
broker add_user "$user" "$password" || die "cannot add the test's broker user"
wait "$made" || die "cannot add the test's virtual host"
broker set_permissions -p "$vhost" guest '.*' '.*' '.*' & made=$!
broker set_permissions -p "$vhost" "$user" '.*' '.*' '.*' || die "cannot give the test's user its virtual host"
wait "$made" || die "cannot give guest the test's virtual host"
ops='[{"op": "declare_exchange", "exchange": "out"}, {"op": "declare_queue", "queue": "in", "durable": true}'
for prefix in shard alt; do
  for shard in 0 1 2; do
    ops+=", {\"op\": \"declare_queue\", \"queue\": \"$prefix.$shard\"}"
    ops+=", {\"op\": \"bind\", \"queue\": \"$prefix.$shard\", \"exchange\": \"out\", \"key\": \"$prefix.$shard\"}"
  done
done
peer "$ops]" >/dev/null || die "cannot declare the queues on the test broker"
queues=(shard.0 shard.1 shard.2 alt.0 alt.1 alt.2)

published=0
: >"$work/expected"
: >"$work/taken"
publish() { # COUNT PREFIX: COUNT more text bodies, body n names device n and belongs in PREFIX.(n % 3)
  local ops n
  ops=$("$python" -c 'import json, sys
first, count = int(sys.argv[1]), int(sys.argv[2])
bodies = [json.dumps({"modem_id": n, "n": n}).encode().hex() for n in range(first, first + count)]
print(json.dumps([{"op": "publish", "exchange": "", "key": "in", "bodies_hex": bodies}]))' "$published" "$1")
  peer "$ops" >/dev/null || die "cannot publish into the input queue"
  for ((n = published; n < published + $1; n++)); do echo "$n $2"; done >>"$work/expected"
  published=$((published + $1))
}
# What is wrong so far: bodies that reached no shard, or the wrong one. With
# "queued", a body back in the input queue counts as kept.
problems() {
  "$python" - "$work/expected" "$work/taken" "${1:-}" <<'PY'
import sys
expected = dict(line.split() for line in open(sys.argv[1]))
kept, wrong = set(), []
for line in open(sys.argv[2]):
    n, queue = line.split()
    if queue == "in" and sys.argv[3] == "queued" or queue == "%s.%d" % (expected[n], int(n) % 3):
        kept.add(n)
    else:
        wrong.append(line.strip())
missing = sorted((n for n in expected if n not in kept), key=int)
if missing:
    print("%d bodies lost, the first: %s" % (len(missing), missing[:10]))
if wrong:
    print("in the wrong queue: %s" % wrong[:10])
PY
}
routed() { take "${queues[@]}" && [ -z "$(problems)" ]; }
expect_routed() { # WHEN
  local deadline=$((SECONDS + 20))
  until routed; do
    [ "$SECONDS" -lt "$deadline" ] || { fail "$1: $(problems)"; return; }
    sleep 0.2
  done
}
expect_kept() { # WHEN: after a stop, every body is in its shard or back in the input queue
  take "${queues[@]}" in
  [ -z "$(problems queued)" ] || fail "$1: $(problems queued)"
}
http_status() { # PORT PATH: the status code of GET PATH on 127.0.0.1:PORT
  local status=''
  exec 3<>"/dev/tcp/127.0.0.1/$1" || return 1
  printf 'GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' "$2" >&3
  read -r -t 5 _ status _ <&3 || true
  exec 3<&-
  echo "$status"
}
wait_ready() { # PORT: until /healthz answers 200, at most 20 s
  local deadline=$((SECONDS + 20))
  until [ "$(http_status "$1" /healthz 2>/dev/null)" = 200 ]; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}
free_port() { "$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# The service's process seen from the host: its user, capabilities, no new
# privileges and a read-only root, as the image and the manifest ask.
expect_confined() { # CONTAINER
  local pid status
  pid=$(podman inspect --format '{{.State.Pid}}' "$1")
  status=$(cat "/proc/$pid/status")
  grep -q '^Uid:[[:space:]]*10001[[:space:]]' <<<"$status" || fail "$1 does not run as the user 10001"
  grep -q '^CapBnd:[[:space:]]*0*$' <<<"$status" || fail "$1 may hold capabilities"
  grep -q '^NoNewPrivs:[[:space:]]*1$' <<<"$status" || fail "$1 may gain privileges"
  awk '$5 == "/" { print $6 }' "/proc/$pid/mountinfo" | grep -q '^ro' || fail "$1 has a writable root"
}
# Stops CONTAINER with COMMAND... while it has a backlog of bodies for
# PREFIX.N: it must end with status 0 and its stop line within 10 s, and
# nothing may be lost.
expect_drained() { # CONTAINER PREFIX COMMAND...
  local container=$1 prefix=$2 t took
  shift 2
  timeout 60 podman wait "$container" >"$work/status" 2>&1 &
  local waiter=$!
  timeout 60 podman logs -f "$container" >"$work/stop.log" 2>&1 &
  local reader=$!
  publish 300 "$prefix"
  t=$(date +%s.%N)
  "$@" >"$work/stop.out" 2>&1 || { cat "$work/stop.out" >&2; fail "$*"; }
  wait "$waiter" || true
  took=$(since "$t")
  wait "$reader" || true
  echo "stopped in $took s"
  [ "$(cat "$work/status")" = 0 ] || fail "$container ended with status $(cat "$work/status")"
  awk -v t="$took" 'BEGIN { exit !(t < 10) }' || fail "the stop took $took s"
  # The log's lines (anything else on standard error is no log line).
  grep -E '^[0-9]{4}-[0-9]{2}-[0-9]{2} ' "$work/stop.log" | tail -n 1 | grep -qF 'Shardex has been stopped...' ||
    fail "the log does not end in the stop line: $(tail -n 3 "$work/stop.log")"
  expect_kept "after the stop"
}

# --- the image
step "packing"
deb=$(pack_deb) || exit 1

step "the image"
t=$(date +%s.%N)
"$source_root/scripts/container.sh" --deb "$deb" --tag "$image" >"$work/image.log" 2>&1 ||
  { tail -n 40 "$work/image.log" >&2; die "scripts/container.sh failed"; }
image_time=$(since "$t")
base=$(grep -q 'making the base image' "$work/image.log" && echo made || echo cached)
size=$(podman image inspect --format '{{.Size}}' "$image")
echo "image: $((size / 1000000)) MB, built in $image_time s (base $base)"
[ "$size" -lt 200000000 ] || fail "the image has $((size / 1000000)) MB, more than 200"
label=$(podman image inspect --format '{{index .Labels "org.opencontainers.image.version"}}' "$image")
[ "$label" = "$version" ] || fail "the version label is '$label', not $version"

# The settings directory laid out as the kubelet lays out a ConfigMap volume:
# the file is a link through ..data, and an update swaps ..data at once.
port=$(free_port)
settings_dir=$work/settings
settings() { # GENERATION PREFIX: the settings generation, routing to PREFIX.N
  mkdir -p "$settings_dir/..$1"
  cat >"$settings_dir/..$1/shardex.ini" <<EOF
[receiver]
path=amqp://$user@127.0.0.1:$AMQP_PORT/
password_file=/etc/shardex-secret/password
vhost=$vhost
r_que=in
mode=2
prefetch_count=50

[publisher]
path=amqp://$user@127.0.0.1:$AMQP_PORT/
password_file=/etc/shardex-secret/password
vhost=$vhost
exchange=out
routing_key_prefix=$2.
shard_count=3

[metrics]
listen=127.0.0.1:$port
EOF
  chmod -R a+rX "$settings_dir"
  ln -s "..$1" "$settings_dir/..data.new"
  mv -T "$settings_dir/..data.new" "$settings_dir/..data"
  [ -L "$settings_dir/shardex.ini" ] || ln -s ..data/shardex.ini "$settings_dir/shardex.ini"
}
settings 1 shard
printf '%s' "$password" | podman secret create "$name" - >/dev/null
run_options=(--network host --read-only --cap-drop all --security-opt no-new-privileges
  -v "$settings_dir:/etc/shardex:ro" --secret "$name,target=/etc/shardex-secret/password,uid=10001,mode=0400")

step "--check as the command"
if out=$(podman run --rm "${run_options[@]}" --no-healthcheck "$image" --check -c /etc/shardex/shardex.ini 2>&1); then
  grep -qF "$vhost" <<<"$out" || fail "--check printed no summary of the settings: $out"
else
  fail "--check refused the settings: $out"
fi

# --- podman run
step "podman run: routing, health, user"
podman run -d --name "$name" "${run_options[@]}" -e "SHARDEX_METRICS_PORT=$port" --stop-timeout 30 "$image" \
  >"$work/run.out" 2>&1 || { cat "$work/run.out" >&2; die "podman run"; }
wait_ready "$port" || die "/healthz never answered 200: $(podman logs "$name" 2>&1 | tail -n 5)"
publish 30 shard
expect_routed "after the start"
podman healthcheck run "$name" >/dev/null 2>&1 || fail "the image's health check fails on a running service"
expect_confined "$name"

step "podman run: a swap of the settings directory reloads"
settings 2 alt
reloaded() { podman logs "$name" 2>&1 | grep -qF 'shard: 2, routing key: alt.2'; }
deadline=$((SECONDS + 20))
until reloaded; do
  [ "$SECONDS" -lt "$deadline" ] || { fail "no reload after the swap"; break; }
  sleep 0.2
done
publish 30 alt
expect_routed "after the reload"

step "podman stop drains"
expect_drained "$name" alt podman stop -t 30 "$name"
podman rm "$name" >/dev/null 2>&1 # (stderr: without systemd, podman has no health check timer to remove)

# --- the manifest
step "podman kube play"
kube_port=$(free_port)
kube_file=$work/shardex.yaml
"$python" "$here/kube_variant.py" "$source_root/packaging/kubernetes/shardex.yaml" "$name" "$image" "$AMQP_PORT" \
  "$vhost" "$user" "$password" "$kube_port" >"$kube_file" || die "cannot make the manifest's variant"
shipped=localhost/shardex:$(printf '%s' "$version" | tr -c 'A-Za-z0-9_.-' '_')
grep -qE "^ +image: $shipped\$" "$source_root/packaging/kubernetes/shardex.yaml" ||
  fail "packaging/kubernetes/shardex.yaml does not name the image $shipped"
podman kube play "$kube_file" >"$work/play.out" 2>&1 || { cat "$work/play.out" >&2; die "podman kube play"; }
pod=$name-pod-0
container=$pod-shardex
wait_ready "$kube_port" || die "the pod never became ready: $(podman logs "$container" 2>&1 | tail -n 5)"
[ "$(podman pod inspect --format '{{.State}}' "$pod")" = Running ] || fail "the pod is not running"
publish 30 shard
expect_routed "in the pod"
podman healthcheck run "$container" >/dev/null 2>&1 || fail "the liveness probe fails on a running service"
expect_confined "$container"

step "podman pod stop and kube down drain"
# podman 4.3's kube down stops with no grace at all (SIGKILL at once), and
# terminationGracePeriodSeconds does not reach podman: the pod is stopped
# with the grace period first.
expect_drained "$container" shard podman pod stop -t 30 "$pod"
podman kube down "$kube_file" >/dev/null 2>&1 || fail "podman kube down"
kube_file=''

echo "timings: image $image_time s (base $base), whole test $(since "$began") s"
checks_done "the container image and the Kubernetes manifest"
