#!/usr/bin/python3
"""Writes seeds of the JSON decision fuzzer, one file each:
  make_json_corpus.py            the decoder tests' bodies and JSON edge cases,
                                 into tests/fuzz/json-corpus/
  make_json_corpus.py --sizes D  bodies of 300 B, 4 KiB, 64 KiB and 1 MiB, valid
                                 and broken in the ways large bodies break, into D
                                 (tests/fuzz/run.sh --json makes them in build-fuzz/)"""
import hashlib
import os
import random
import sys

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
    # duplicate members; beyond 16 members the sort by name is unstable, and names compare by how they are written
    b'{"modem_id":1,"modem_id":2}', b'{"modem_id":1,"modem_id":"x"}', b'{"a":1,"a":2,"modem_id":3}',
    b'{"modem_id":3,' + b'"":0,' * 7 + b'"modem_id":7,' + b','.join([b'"":0'] * 8) + b'}',
    b'{"modem_i\\u0064":3,' + b'"\xef\xbf\xbd":0,"\\ud800":0,"\\ue000":0,"\xf0\x90\x80\x80":0,' * 4
    + b'"\\u006dodem_id":7,"a\x00b":0,"a\x00c":0,"\\\x80":0}',
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



def value(rng, depth):
    """One JSON value of every kind, numbers and strings in their odd forms too."""
    kind = rng.randrange(10 if depth < 6 else 7)
    if kind == 0:
        return rng.choice([b'true', b'false', b'null'])
    if kind in (1, 2):
        return rng.choice([b'0', b'-0', b'12', b'-7', b'1.5', b'1.', b'.5e1', b'-.25', b'1e5', b'1E-5', b'0.0',
                           b'2147483647', b'2147483648', b'9007199254740993', b'1e308', b'4.9e-324',
                           b'2.4703282292062328e-324', b'123456789012345678901234567890'])
    if kind in (3, 4, 5):
        parts = [b'plain text ', b'\\n', b'\\"', b'\\u00e9', b'\\ud83d\\ude00', b'\\ud800', b'\\_',
                 '\u00e9\u4e2d\U0001f600'.encode(), b'\x01\x1f', b'0123456789abcdef']
        return b'"' + b''.join(rng.choice(parts) for _ in range(rng.randrange(1, 6))) + b'"'
    if kind == 6:
        return str(rng.randrange(-2**31, 2**31)).encode()
    if kind in (7, 8):
        return b'[' + b','.join(value(rng, depth + 1) for _ in range(rng.randrange(0, 5))) + b']'
    members = (b'"k%d":%s' % (i, value(rng, depth + 1)) for i in range(rng.randrange(0, 5)))
    return b'{' + b','.join(members) + b'}'


def filled(rng, size, top):
    """A valid body of about `size` bytes: an object with "modem_id" or an array of objects."""
    items = []
    used = 0
    while used < size - 96:
        item = b'{"modem_id":%d,"seq":%d,"v":%s}' % (rng.randrange(-1, 100000), len(items), value(rng, 1))
        items.append(item)
        used += len(item) + 10  # the comma, and the member name in an object
    if top == 'array':
        return b'[' + b','.join(items) + b']'
    members = [b'"m%d":%s' % (i, item) for i, item in enumerate(items)]
    return b'{"modem_id":%d,%s,"modem_id":%d}' % (rng.randrange(10**6), b','.join(members), rng.randrange(10**6))


def broken(rng, body):
    """The same body broken once, somewhere in its middle or at its end."""
    at = len(body) // 2 + rng.randrange(len(body) // 4 + 1)
    while body[at:at + 1] not in b',:':
        at += 1
    return [
        body[:-1],                                          # cut short
        body + b'\x00',                                     # a NUL behind it
        body + b' x',                                       # garbage behind it
        body[:at] + b'\xff' + body[at:],                   # a byte no UTF-8 text holds
        body[:at + 1] + b'1e400,' + body[at + 1:] if body[at:at + 1] == b',' else body + b'[',  # an overflow
        body[:at] + b',"u":1e-400' + body[at:] if body[at:at + 1] == b',' else body + b'{',     # an underflow
        body[:-1] + b',"deep":' + b'[' * 1030 + b']' * 1030 + body[-1:],                       # too deep
    ]


def sized_seeds():
    rng = random.Random(20261208)
    out = []
    for size in (300, 4096, 65536, 1 << 20):
        for top in ('object', 'array'):
            body = filled(rng, size, top)
            out.append(body)
            out.extend(broken(rng, body))
    return out


if len(sys.argv) == 3 and sys.argv[1] == '--sizes':
    out, bodies = sys.argv[2], sized_seeds()
else:
    out, bodies = os.path.join(os.path.dirname(os.path.abspath(__file__)), "json-corpus"), seeds
os.makedirs(out, exist_ok=True)
for body in bodies:
    with open(os.path.join(out, hashlib.sha1(body).hexdigest()), "wb") as f:
        f.write(body)
print(f"{len(bodies)} seeds in {out}")
