# Shared by the shell tests that route numbered bodies ({"modem_id": n, "n": n})
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
