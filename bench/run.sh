#!/usr/bin/env bash
# Builds the benchmarks (Release), starts a private broker, runs every workload
# on both sides -- our AMQP layer (amqp_bench_shardex) and a minimal rabbitmq-c
# program (amqp_bench_baseline) -- and prints the median msgs/s of each side,
# the ratio shardex/baseline (higher is better), and the median client CPU
# time per message of each side. Stops the broker at the end.
#
#   bench/run.sh
#
# Environment (defaults in brackets):
#   BENCH_RUNS          runs per side and workload, the sides alternating [5]
#   BENCH_SMALL_COUNT   messages of 100 bytes per run [30000]
#   BENCH_LARGE_COUNT   messages of 4 KiB per run [10000]
#   BENCH_BUILD_DIR     build directory [build-bench at the top of the tree]
# The defaults keep the whole run within about three minutes on a busy
# two-core machine, where the broker is the bottleneck.
set -euo pipefail
shopt -s inherit_errexit

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build-bench}
runs=${BENCH_RUNS:-5}
small_count=${BENCH_SMALL_COUNT:-30000}
large_count=${BENCH_LARGE_COUNT:-10000}
broker=$root/tests/broker/broker.sh
broker_dir=$build/bench-broker
vhost=shardex-bench

echo "building in $build"
build_log=$build/bench-build.log
mkdir -p "$build"
if ! { cmake -S "$root" -B "$build" -DSHARDEX_BUILD_BENCH=ON -DSHARDEX_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
       && cmake --build "$build" --target bench -j2; } >"$build_log" 2>&1; then
  tail -n 40 "$build_log" >&2
  exit 1
fi
bin=$build/bench

# One more try: `rabbitmqctl wait` now and then reads the pid file half written.
"$broker" start "$broker_dir" || "$broker" start "$broker_dir"
trap '"$broker" stop "$broker_dir"' EXIT
# shellcheck disable=SC1091
. "$broker_dir/broker.env"
"$broker" ctl "$broker_dir" -q add_vhost "$vhost"
"$broker" ctl "$broker_dir" -q set_permissions -p "$vhost" guest '.*' '.*' '.*'
target=(--port "$AMQP_PORT" --vhost "$vhost")
"$bin/bench_queue_tool" setup "${target[@]}"

expect_depth() { # expected-count when
  local depth
  depth=$("$bin/bench_queue_tool" depth "${target[@]}")
  if [ "$depth" != "$1" ]; then
    echo "the queue holds $depth messages $2, not $1" >&2
    exit 1
  fi
}

# One measured run of one side; prints its msgs/s and CPU us/msg. The queue is
# prepared before and checked after, so a side that skips work cannot look fast.
run_side() { # side operation count size
  local side=$1 operation=$2 count=$3 size=$4 line cpu
  "$bin/bench_queue_tool" purge "${target[@]}"
  if [ "$operation" = consume ]; then
    "$bin/amqp_bench_baseline" publish "${target[@]}" --count "$count" --size "$size" >/dev/null
    expect_depth "$count" "after loading"
  fi
  line=$("$bin/amqp_bench_$side" "$operation" "${target[@]}" --count "$count" --size "$size")
  echo "  $line" >&2
  if [ "$operation" = publish ]; then
    expect_depth "$count" "after $side published"
  else
    expect_depth 0 "after $side consumed"
  fi
  cpu=${line#*cpu_us_per_msg=}
  echo "${line##*msgs_per_s=} ${cpu%% *}"
}

median() {
  tr ' ' '\n' | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

rows=()
run_case() { # operation count size label
  local operation=$1 count=$2 size=$3 label=$4 r
  local base=() ours=() base_cpu=() ours_cpu=() side result rate cpu
  echo "$label" >&2
  for ((r = 1; r <= runs; r++)); do
    local order=(baseline shardex)
    ((r % 2)) || order=(shardex baseline)
    for side in "${order[@]}"; do
      result=$(run_side "$side" "$operation" "$count" "$size")
      read -r rate cpu <<<"$result"
      if [ "$side" = baseline ]; then
        base+=("$rate") base_cpu+=("$cpu")
      else
        ours+=("$rate") ours_cpu+=("$cpu")
      fi
    done
  done
  rows+=("$(awk -v l="$label" -v b="$(median <<<"${base[*]}")" -v o="$(median <<<"${ours[*]}")" \
              -v bc="$(median <<<"${base_cpu[*]}")" -v oc="$(median <<<"${ours_cpu[*]}")" \
              'BEGIN { printf "%-30s %15.0f %15.0f %7.2f %13.2f %13.2f", l, b, o, o / b, bc, oc }')")
}

start=$SECONDS
run_case publish "$small_count" 100 "publish 100 B x $small_count"
run_case publish "$large_count" 4096 "publish 4 KiB x $large_count"
run_case consume "$small_count" 100 "consume 100 B x $small_count"
run_case consume "$large_count" 4096 "consume 4 KiB x $large_count"

echo
echo "median of $runs runs per side; ratio = shardex / baseline msgs/s (higher is better);"
echo "cpu = the client's own CPU time per message, in microseconds"
printf '%-30s %15s %15s %7s %13s %13s\n' workload "baseline msg/s" "shardex msg/s" ratio "baseline cpu" "shardex cpu"
printf '%s\n' "${rows[@]}"
echo "($((SECONDS - start)) s of measuring)"
