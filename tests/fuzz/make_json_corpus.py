#!/usr/bin/python3
"""Writes the seed corpus of the JSON decision fuzzer into tests/fuzz/json-corpus/:
the decoder tests' bodies and JSON edge cases, one file each."""
import hashlib
import os

seeds = [
    # the decoder tests' bodies
    b'{"modem_id":777}', b'{"a":1,"modem_id":777,"b":{"c":[1,2]}}', b'{"modem_id":"777"}', b'{"modem_id":12.5}',
    b'{"modem_id":12.0}', b'{"modem_id":1.2e1}', b'{"modem_id":1e2}', b'{"modem_id":true}', b'{"modem_id":null}',
    b'{"modem_id":{}}', b'{"modem_id":[5]}', b'{"modem_id":2147483647}', b'{"modem_id":2147483648}',
    b'{"modem_id":-2147483648}', b'{"modem_id":-2147483649}', b'{"modem_id":-1}', b'{"modem_id":-2}',
    b'{"device":5}', b'{"inner":{"modem_id":5}}', b'{"MODEM_ID":5}', b'[{"modem_id":5}]', b'{}', b'[]',
    b' \t\r\n{"modem_id":3} \n', b'', b'null', b'5', b'"text"', b'\x08\x01\x12\x00',
    # byte-order mark, white space, top-level scalars
    b'\xef\xbb\xbf{"modem_id":4}', b'\xef\xbb\xbf[]', b'\xef\xbb\xbf', b'\x0c{}', b'{}\x0b', b'\xa0{}',
    b'true', b'1e5', b'{"modem_id":1}{}', b'{"modem_id":1},', b'{"modem_id":1}\x00', b'\x00{}',
    # nesting
    b'[' * 255 + b']' * 255, b'[' * 256 + b']' * 256, b'[' * 257 + b']' * 257,
    b'{"modem_id":7,"x":' + b'[' * 1023 + b']' * 1023 + b'}', b'[' * 1024 + b']' * 1024, b'[' * 1025 + b']' * 1025,
    # numbers at and beyond the double range, odd forms
    b'{"modem_id":1e308}', b'{"modem_id":1e309}', b'{"modem_id":-1e309}', b'{"modem_id":1e-400}',
    b'{"modem_id":2.2250738585072011e-308}', b'{"modem_id":4.9e-324}', b'{"modem_id":9007199254740993}',
    b'{"modem_id":9223372036854775807}', b'{"modem_id":9223372036854775808}', b'{"modem_id":18446744073709551615}',
    b'{"modem_id":18446744073709551616}', b'{"modem_id":-9223372036854775809}', b'{"modem_id":2147483647.0000001}',
    b'{"modem_id":2147483647.5}', b'{"modem_id":-2147483648.5}', b'{"modem_id":-0}', b'{"modem_id":-0.0}',
    b'{"modem_id":01}', b'{"modem_id":+1}', b'{"modem_id":1.}', b'{"modem_id":.5}', b'{"modem_id":1e}',
    b'{"modem_id":1E+2}', b'{"modem_id":NaN}', b'{"modem_id":Infinity}', b'{"modem_id":0x10}',
    b'{"modem_id":' + b'1' * 400 + b'}', b'{"modem_id":0.' + b'0' * 400 + b'1}',
    # duplicate members
    b'{"modem_id":1,"modem_id":2}', b'{"modem_id":1,"modem_id":"x"}', b'{"a":1,"a":2,"modem_id":3}',
    # escapes, surrogates, UTF-8
    b'{"modem\\u005fid":9}', b'{"modem_id\\u0000":9}', b'{"\\ud83d\\ude00":1,"modem_id":2}', b'{"\\ud800":1}',
    b'{"\\udc00":1}', b'{"\\ud800\\u0041":1}', b'{"a":"\\ud800"}', b'{"a":"\\uDFFF\\uD800"}', b'{"a":"\\x41"}',
    b'{"a":"\\/\\b\\f\\n\\r\\t\\"\\\\"}', b'{"a":"\\u00"}', b'{"a":"\x01"}', b'{"a":"\x7f"}',
    b'{"a":"\xc3\xa9"}', b'{"a":"\xc3"}', b'{"a":"\xed\xa0\x80"}', b'{"a":"\xc0\xaf"}', b'{"a":"\xf4\x90\x80\x80"}',
    b'{"a":"\xff"}', b'{"\xe4\xb8\xad":1,"modem_id":5}', b'{"a":"x\x00y","modem_id":6}',
    # literals and structure
    b'{"a":tru}', b'{"a":True}', b'{"a":nul}', b'{"a":[1,]}', b'{"a":1,}', b'{,}', b'{"a"}', b'{"a":}',
    b'{"a" : [ 1 , { "b" : null } ] , "modem_id" : 8 }', b"{'modem_id':1}", b'{modem_id:1}',
]

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "json-corpus")
os.makedirs(out, exist_ok=True)
for body in seeds:
    with open(os.path.join(out, hashlib.sha1(body).hexdigest()), "wb") as f:
        f.write(body)
print(f"{len(seeds)} seeds in {out}")
