# Shared by the shell tests that install the package and route numbered bodies ({"modem_id": n, "n": n})
# through a shardex: the caller defines peer (tests/support/amqp_peer.py on
# the test broker), $python and $work before calling these.

take() { # QUEUE...: moves their messages into $work/taken as "n queue" lines
  local ops='' queue
  for queue in "$@"; do ops+="${ops:+, }{\"op\": \"get\", \"queue\": \"$queue\"}"; done
  peer "[$ops]" | "$python" -c 'import json, sys
for queue, messages in zip(sys.argv[1:], json.load(sys.stdin)):
    for m in messages:
        print(json.loads(bytes.fromhex(m["body_hex"]))["n"], queue)' "$@" >>"$work/taken"
}

pack_deb() { # prints the .deb that CPack makes of $build (version $version) in $work/out
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" -D CPACK_CMAKE_GENERATOR=Ninja \
    >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; die "cpack"; }
  local deb=$work/out/shardex_${version}_$(dpkg --print-architecture).deb
  [ -f "$deb" ] || die "cpack made no $(basename "$deb")"
  echo "$deb"
}
