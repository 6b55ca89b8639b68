#!/usr/bin/env bash
# A private RabbitMQ for the tests: loopback only, its own directory, ports
# that were free when it started.
#   broker.sh start DIR        start it, wait until it runs, write DIR/broker.env
#   broker.sh stop DIR         stop it
#   broker.sh ctl DIR ARGS...  run rabbitmqctl against it
#   broker.sh cluster DIR N    start N brokers in DIR/node1..N and join them
#                              into one cluster (DIR/cluster.env says N)
#   broker.sh cluster-stop DIR stop them
set -euo pipefail

cmd=${1:?start, stop or ctl}
dir=$(realpath -m "${2:?directory}")
shift 2
sbin=/usr/lib/rabbitmq/bin
self=$(realpath "${BASH_SOURCE[0]}")

load_env() {
  # shellcheck disable=SC1091
  . "$dir/broker.env"
  export HOME=$dir RABBITMQ_BASE=$dir
  export RABBITMQ_CONF_ENV_FILE=$dir/rabbitmq-env.conf RABBITMQ_CONFIG_FILE=$dir/rabbitmq
  export RABBITMQ_ENABLED_PLUGINS_FILE=$dir/enabled_plugins
  export RABBITMQ_MNESIA_BASE=$dir/mnesia RABBITMQ_LOG_BASE=$dir/log RABBITMQ_PID_FILE=$dir/pid
  export RABBITMQ_NODENAME=$NODENAME RABBITMQ_DIST_PORT=$DIST_PORT ERL_EPMD_ADDRESS=127.0.0.1
  export RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS="-kernel inet_dist_use_interface {127,0,0,1}"
}

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The amqps listener's certificates, in DIR:
#   ca.pem, ca-key.pem              the test CA
#   server.pem, server-key.pem      the broker's, signed by the CA, for 127.0.0.1 and localhost
#   client.pem, client-key.pem      a client's (CN shardex-test-client), signed by the CA
#   wrong-ca.pem, wrong-ca-key.pem  an unrelated CA, which signed neither
# The broker checks a client certificate when one is shown, and takes clients without one.
make_tls() {
  local t=$1
  mkdir -p "$t"
  # EC keys: generated in a moment, unlike RSA ones.
  local key=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
  for ca in ca wrong-ca; do
    openssl req -x509 "${key[@]}" -days 7 -subj "/CN=shardex-test-$ca" \
      -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
      -keyout "$t/$ca-key.pem" -out "$t/$ca.pem"
  done
  printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n' > "$t/server.ext"
  printf 'extendedKeyUsage=clientAuth\n' > "$t/client.ext"
  for leaf in server:shardex-test-broker client:shardex-test-client; do
    local name=${leaf%%:*}
    openssl req -new "${key[@]}" -subj "/CN=${leaf#*:}" -keyout "$t/$name-key.pem" -out "$t/$name.csr"
    openssl x509 -req -days 7 -in "$t/$name.csr" -CA "$t/ca.pem" -CAkey "$t/ca-key.pem" -CAcreateserial \
      -extfile "$t/$name.ext" -out "$t/$name.pem"
  done
}

stop() {
  [ -f "$dir/broker.env" ] || return 0
  load_env
  if [ -f "$dir/pid" ]; then
    "$sbin/rabbitmqctl" stop "$dir/pid" >/dev/null 2>&1 || true
    pid=$(cat "$dir/pid" 2>/dev/null || true)
    [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$dir/pid"
}

case "$cmd" in
start)
  stop
  rm -rf "$dir"
  mkdir -p "$dir"
  amqp_port=$(free_port)
  dist_port=$(free_port)
  tls_port=$(free_port)
  while [ "$dist_port" = "$amqp_port" ]; do dist_port=$(free_port); done
  while [ "$tls_port" = "$amqp_port" ] || [ "$tls_port" = "$dist_port" ]; do tls_port=$(free_port); done
  make_tls "$dir/tls" > "$dir/tls.out" 2>&1 || { cat "$dir/tls.out" >&2; exit 1; }
  cat > "$dir/broker.env" <<ENV
AMQP_PORT=$amqp_port
AMQPS_PORT=$tls_port
DIST_PORT=$dist_port
NODENAME=shardex-test-$amqp_port@localhost
ENV
  cat > "$dir/rabbitmq.conf" <<CONF
listeners.tcp.1 = 127.0.0.1:$amqp_port
listeners.ssl.1 = 127.0.0.1:$tls_port
ssl_options.cacertfile = $dir/tls/ca.pem
ssl_options.certfile = $dir/tls/server.pem
ssl_options.keyfile = $dir/tls/server-key.pem
ssl_options.verify = verify_peer
ssl_options.fail_if_no_peer_cert = false
loopback_users = none
log.file.level = warning
log.console = false
CONF
  echo '[].' > "$dir/enabled_plugins"
  # Nodes of one cluster share the Erlang cookie (rabbitmqctl reads it from HOME=DIR too).
  if [ -n "${SHARDEX_BROKER_COOKIE:-}" ]; then
    printf '%s' "$SHARDEX_BROKER_COOKIE" > "$dir/.erlang.cookie"
    chmod 400 "$dir/.erlang.cookie"
  fi
  : > "$dir/rabbitmq-env.conf"
  load_env
  setsid "$sbin/rabbitmq-server" > "$dir/server.out" 2>&1 < /dev/null &
  # rabbitmqctl wait may read the pid file while it is half written: ask again.
  started=no
  for _ in 1 2 3; do
    if "$sbin/rabbitmqctl" wait --timeout 120 "$dir/pid" > "$dir/wait.out" 2>&1; then
      started=yes
      break
    fi
    grep -q garbage_in_pid_file "$dir/wait.out" || break
    sleep 1
  done
  if [ "$started" != yes ]; then
    echo "the test broker did not start; see $dir" >&2
    tail -n 30 "$dir/server.out" "$dir/wait.out" >&2 || true
    exit 1
  fi
  echo "test broker up on 127.0.0.1:$amqp_port ($dir)"
  ;;
stop)
  stop
  ;;
cluster)
  nodes=${1:-3}
  for node in "$dir"/node*; do [ -d "$node" ] && "$self" stop "$node"; done
  rm -rf "$dir"
  mkdir -p "$dir"
  cookie=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
  for i in $(seq 1 "$nodes"); do
    SHARDEX_BROKER_COOKIE=$cookie "$self" start "$dir/node$i"
  done
  first=$(. "$dir/node1/broker.env" && echo "$NODENAME")
  for i in $(seq 2 "$nodes"); do
    "$self" ctl "$dir/node$i" stop_app > /dev/null
    "$self" ctl "$dir/node$i" join_cluster "$first" > /dev/null
    "$self" ctl "$dir/node$i" start_app > /dev/null
  done
  echo "NODES=$nodes" > "$dir/cluster.env"
  echo "test cluster of $nodes nodes up ($dir)"
  ;;
cluster-stop)
  for node in "$dir"/node*; do
    [ -d "$node" ] && "$self" stop "$node"
  done
  ;;
ctl)
  load_env
  exec "$sbin/rabbitmqctl" "$@"
  ;;
*)
  echo "unknown command $cmd" >&2
  exit 2
  ;;
esac
