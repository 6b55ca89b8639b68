#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs the AMQP
# frame fuzzer on the seed corpus with one worker.
#   tests/fuzz/run.sh [seconds]        default 600; first runs tests/fuzz/regressions/*
#   tests/fuzz/run.sh --repro FILE...  runs the given inputs once each, e.g.
#                                      tests/fuzz/regressions/*
#   tests/fuzz/run.sh --json [seconds] runs the JSON decision's differential
#                                      target instead (the service's decision
#                                      against QJsonDocument's) on
#                                      tests/fuzz/json-corpus and generated
#                                      bodies of 300 B to 1 MiB
#   tests/fuzz/run.sh --json-merge     merges what the JSON runs found into
#                                      tests/fuzz/json-corpus (the smallest set
#                                      with the same coverage)
# New inputs go to build-fuzz/corpus (the seeds in tests/fuzz/corpus stay as
# they are); crashes, time-outs and leaks are written to build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=build-fuzz
# Debug keeps Qt's own assertions on; -O1 keeps the fuzzer fast enough.
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DSHARDEX_BUILD_FUZZ=ON -DSHARDEX_BUILD_TESTS=OFF -DSHARDEX_SANITIZE=OFF >/dev/null
cmake --build "$build" --target amqp_frames_fuzzer json_decision_fuzzer -j "${FUZZ_JOBS:-1}"

fuzzer="$build/tests/fuzz/amqp_frames_fuzzer"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

if [ "${1:-}" = "--json" ] || [ "${1:-}" = "--json-merge" ]; then
  # Qt 5.15's parser leaks the first of two containers under one key
  # ({"a":{},"a":{}}), which the leak check would report, and which grows the
  # process by about 4 GB an hour (hence the RSS limit); differences abort.
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
  json_fuzzer="$build/tests/fuzz/json_decision_fuzzer"
  mkdir -p "$build/json-corpus" "$build/json-findings"
  if [ "$1" = "--json-merge" ]; then
    rm -rf "$build/json-merged" && mkdir "$build/json-merged"
    "$json_fuzzer" -merge=1 -max_len=1200000 "$build/json-merged" tests/fuzz/json-corpus "$build/json-corpus"
    rm -f tests/fuzz/json-corpus/* && cp "$build/json-merged"/* tests/fuzz/json-corpus/
    exit 0
  fi
  python3 tests/fuzz/make_json_corpus.py --sizes "$build/json-seeds" >/dev/null
  exec "$json_fuzzer" "$build/json-corpus" tests/fuzz/json-corpus "$build/json-seeds" \
    -dict=tests/fuzz/json.dict -max_total_time="${2:-3600}" -max_len=1200000 -use_value_profile=1 \
    -rss_limit_mb=12288 -print_final_stats=1 -artifact_prefix="$build/json-findings/"
fi

if [ "${1:-}" = "--repro" ]; then
  shift
  exec "$fuzzer" -runs=1 "$@"
fi

# Inputs that once found a bug must pass before new ones are looked for.
regressions=(tests/fuzz/regressions/*)
if [ -e "${regressions[0]}" ]; then
  "$fuzzer" "${regressions[@]}" >/dev/null 2>"$build/regressions.log" || {
    echo "an input in tests/fuzz/regressions fails; see $build/regressions.log" >&2
    exit 1
  }
fi

seconds="${1:-600}"
mkdir -p "$build/corpus" "$build/findings"
exec "$fuzzer" "$build/corpus" tests/fuzz/corpus \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=1024 \
  -max_len=16384 -use_value_profile=1 -print_final_stats=1 \
  -artifact_prefix="$build/findings/"
