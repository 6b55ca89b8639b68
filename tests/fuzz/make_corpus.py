#!/usr/bin/env python3
"""Writes the seed corpus of amqp_frames_fuzzer into tests/fuzz/corpus/.

Each seed is what the broker sends after the fuzzer's own handshake: the
queue "q" is on channel 1 (declare and consume sent), the exchange "x" on
channel 2 (confirm.select sent, then publishes 1 to 3).
"""
import os
import struct

QUEUE, EXCHANGE = 1, 2
FRAME_MAX = 4096


def frame(kind, channel, payload):
    return struct.pack(">BHI", kind, channel, len(payload)) + payload + b"\xce"


def shortstr(s):
    return struct.pack(">B", len(s)) + s


def longstr(s):
    return struct.pack(">I", len(s)) + s


def field(kind, value):
    return kind + value


def table(entries):
    body = b"".join(shortstr(k) + v for k, v in entries)
    return longstr(body)


def method(channel, class_id, method_id, args=b""):
    return frame(1, channel, struct.pack(">HH", class_id, method_id) + args)


def header(channel, body_size, flags=0, props=b"", class_id=60):
    return frame(2, channel, struct.pack(">HHQH", class_id, 0, body_size, flags) + props)


def bodies(channel, body):
    chunk = FRAME_MAX - 8
    return b"".join(frame(3, channel, body[i:i + chunk]) for i in range(0, len(body), chunk))


def heartbeat(channel=0):
    return frame(8, channel, b"")


# --- methods the broker sends
def declare_ok(name=b"q", messages=0, consumers=0):
    return method(QUEUE, 50, 11, shortstr(name) + struct.pack(">II", messages, consumers))


def consume_ok(tag=b"ctag"):
    return method(QUEUE, 60, 21, shortstr(tag))


def select_ok():
    return method(EXCHANGE, 85, 11)


def deliver(tag, channel=QUEUE, consumer=b"ctag", redelivered=False, exchange=b"x", key=b"k"):
    args = shortstr(consumer) + struct.pack(">QB", tag, int(redelivered)) + shortstr(exchange) + shortstr(key)
    return method(channel, 60, 60, args)


def message(tag, body, channel=QUEUE, flags=0, props=b"", **kw):
    return deliver(tag, channel, **kw) + header(channel, len(body), flags, props) + bodies(channel, body)


def ack(tag, multiple=False):
    return method(EXCHANGE, 60, 80, struct.pack(">QB", tag, int(multiple)))


def nack(tag, multiple=False, requeue=False):
    return method(EXCHANGE, 60, 120, struct.pack(">QB", tag, int(multiple) | int(requeue) << 1))


def close(channel, code, text, class_id=0, method_id=0):
    args = struct.pack(">H", code) + shortstr(text) + struct.pack(">HH", class_id, method_id)
    return method(channel, 10 if channel == 0 else 20, 50 if channel == 0 else 40, args)


def open_ok(channel):
    return method(channel, 20, 11, longstr(b""))


SETUP = declare_ok() + consume_ok() + select_ok()

ALL_PROPERTIES = (
    0xFFFC,
    shortstr(b"application/json") + shortstr(b"gzip")
    + table([
        (b"bool", field(b"t", b"\x01")),
        (b"i8", field(b"b", b"\xff")),
        (b"u8", field(b"B", b"\xff")),
        (b"i16", field(b"s", b"\x80\x00")),
        (b"u16", field(b"u", b"\xff\xff")),
        (b"i32", field(b"I", b"\x80\x00\x00\x00")),
        (b"u32", field(b"i", b"\xff\xff\xff\xff")),
        (b"i64", field(b"l", b"\x80" + b"\x00" * 7)),
        (b"f32", field(b"f", struct.pack(">f", 1.5))),
        (b"f64", field(b"d", struct.pack(">d", -2.25))),
        (b"dec", field(b"D", b"\x03" + struct.pack(">i", 12345))),
        (b"text", field(b"S", longstr("grün".encode()))),
        (b"raw", field(b"x", longstr(b"\x00\xff"))),
        (b"time", field(b"T", struct.pack(">Q", 1700000000))),
        (b"void", field(b"V", b"")),
        (b"nested", field(b"F", table([(b"a", field(b"A", longstr(field(b"I", b"\x00\x00\x00\x01")
                                                                   + field(b"S", longstr(b"x")))))]))),
    ])
    + b"\x02" + b"\x09" + shortstr(b"corr") + shortstr(b"reply") + shortstr(b"60000") + shortstr(b"id-1")
    + struct.pack(">Q", 1700000000) + shortstr(b"type") + shortstr(b"guest") + shortstr(b"app")
    + shortstr(b"cluster"),
)


def forwarded_headers(size):
    """A headers table that grows when the client re-encodes it (a u8 becomes a long long); its
    booleans take as many bytes as an i8 or a u8, which re-encode 3 and 7 bytes longer."""
    flags = [(b"f%d" % i, field(b"t", b"\x01")) for i in range(4)]
    return table([(b"a", field(b"S", longstr(b"h" * size))), (b"b", field(b"B", b"\x07"))] + flags)


def nested_tables(depth):
    value = field(b"V", b"")
    for _ in range(depth):
        value = field(b"F", table([(b"n", value)]))
    return table([(b"deep", value)])


SEEDS = {
    # --- valid sequences
    "setup": SETUP,
    "deliver_one": SETUP + message(1, b'{"modem_id":42}'),
    "deliver_empty_body": SETUP + message(1, b""),
    "deliver_split_body": SETUP + message(1, bytes(range(256)) * 40),
    "deliver_all_properties": SETUP + message(7, b"\x08\x2a", flags=ALL_PROPERTIES[0], props=ALL_PROPERTIES[1],
                                              redelivered=True),
    "deliver_many": SETUP + b"".join(message(t, b"m%d" % t) + heartbeat() for t in range(1, 6)),
    "heartbeats": heartbeat() + SETUP + heartbeat() + message(1, b"x") + heartbeat(),
    "confirm_acks": SETUP + ack(1) + ack(3, multiple=True),
    "confirm_nacks": SETUP + nack(2) + nack(3, multiple=True, requeue=True) + ack(1),
    "confirm_unknown": SETUP + ack(0) + ack(9, multiple=True) + nack(1) + nack(1),
    "blocked_unblocked": SETUP + method(0, 10, 60, shortstr(b"low on memory")) + method(0, 10, 61),
    "broker_cancel": SETUP + method(QUEUE, 60, 30, shortstr(b"ctag") + b"\x00") + message(2, b"late"),
    "broker_cancel_nowait": SETUP + method(QUEUE, 60, 30, shortstr(b"other") + b"\x01"),
    "cancel_ok_qos_ok_bind_ok": SETUP + method(QUEUE, 60, 31, shortstr(b"ctag")) + method(QUEUE, 60, 11)
                                + method(QUEUE, 50, 21),
    "channel_close_queue": SETUP + close(QUEUE, 404, b"NOT_FOUND - no queue 'q'", 50, 10) + open_ok(QUEUE)
                           + message(1, b"after reopen"),
    "channel_close_exchange": SETUP + close(EXCHANGE, 404, b"NOT_FOUND - no exchange 'x'", 60, 40)
                              + open_ok(EXCHANGE) + select_ok() + ack(1),
    "channel_flow": SETUP + method(QUEUE, 20, 20, b"\x00") + method(QUEUE, 20, 20, b"\x01"),
    "basic_return": SETUP + method(EXCHANGE, 60, 50, struct.pack(">H", 312) + shortstr(b"NO_ROUTE")
                                   + shortstr(b"x") + shortstr(b"key"))
                    + header(EXCHANGE, 4) + bodies(EXCHANGE, b"body") + ack(1),
    # the first body byte picks the application's answer (see amqp_frames_fuzzer.cpp)
    "app_nack": SETUP + message(1, b"-requeue") + message(2, b"ok"),
    "app_nested_loop": SETUP + message(1, b"?") + message(2, b"?") + heartbeat() + message(3, b"x") + ack(1),
    "app_deletes_client": SETUP + message(1, b"!") + message(2, b"x") + ack(2),
    "app_large_publish": SETUP + message(1, b"*") + ack(4) + message(2, b"*"),
    "app_disconnects": SETUP + message(1, b"~") + message(2, b"x") + method(0, 10, 51),
    "connection_close": SETUP + message(1, b"x") + close(0, 320, b"CONNECTION_FORCED - broker shutdown", 0, 0),
    "close_ok_unsolicited": SETUP + method(QUEUE, 20, 41) + method(0, 10, 51),
    # forwarded by the application with a header frame of 4087 bytes, 9 below frame_max
    "forward_headers_near_frame_max": SETUP + message(1, b"x", flags=0x2000, props=forwarded_headers(4023)),
    # --- broken ones
    "bad_frame_end": SETUP + frame(8, 0, b"")[:-1] + b"\x00",
    "unknown_frame_type": SETUP + frame(4, 1, b"abc"),
    "frame_too_large": SETUP + struct.pack(">BHI", 3, QUEUE, FRAME_MAX) + b"\x00" * 16,
    "header_without_method": SETUP + header(QUEUE, 3) + bodies(QUEUE, b"abc"),
    "body_exceeds_announced": SETUP + deliver(1) + header(QUEUE, 2) + bodies(QUEUE, b"abc"),
    "method_inside_message": SETUP + deliver(1) + header(QUEUE, 10) + bodies(QUEUE, b"abc") + ack(1)
                             + method(QUEUE, 60, 11),
    "channel_not_open": SETUP + message(1, b"x", channel=3),
    "truncated_method": SETUP + method(QUEUE, 60, 60, shortstr(b"ctag") + b"\x00\x00"),
    "heartbeat_on_channel": SETUP + heartbeat(QUEUE),
    "header_wrong_class": SETUP + deliver(1) + header(QUEUE, 1, class_id=50) + bodies(QUEUE, b"x"),
    "body_size_huge": SETUP + deliver(1) + header(QUEUE, 1 << 40),
    "nested_headers": SETUP + message(1, b"x", flags=0x2000, props=nested_tables(40)),
    "handshake_again": SETUP + method(0, 10, 30, struct.pack(">HIH", 0, 4096, 0)),
}


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
