#!/usr/bin/python3
"""An independent AMQP client for the tests (python3-pika).

Reads {"port": P, "vhost": V, "ops": [...]} as JSON on stdin, runs the ops in
order on one connection and prints a JSON array with one result per op.

ops:
  {"op": "declare_exchange", "exchange": E, "type": "direct", "durable": false, "arguments": {}}
  {"op": "declare_queue", "queue": Q, "durable": false, "auto_delete": false, "arguments": {}}
  {"op": "bind", "queue": Q, "exchange": E, "key": K}
  {"op": "publish", "exchange": E, "key": K, "bodies_hex": [..], "content_type": T, "headers": {..},
   "properties": {..}}   the basic properties by pika's names ("{i}" in a text: the body's index); in
                         headers, {"$bytes": hex}, {"$decimal": "1.25"} and {"$time": seconds} give
                         those AMQP field types
  {"op": "get", "queue": Q, "max": N}  -> [{"body_hex", "content_type", "routing_key", "exchange", "headers",
                                           "properties"}]   properties as publish takes them
  {"op": "wait_get", "queue": Q, "count": N, "timeout": S}  -> like get, waits until N arrived or S passed
  {"op": "purge", "queue": Q}
  {"op": "delete_queue", "queue": Q}
  {"op": "delete_exchange", "exchange": E}
"""
import datetime
import decimal
import json
import sys
import time

import pika

PROPERTY_NAMES = ("content_type", "content_encoding", "headers", "delivery_mode", "priority", "correlation_id",
                  "reply_to", "expiration", "message_id", "timestamp", "type", "user_id", "app_id", "cluster_id")


def from_json(value, index):
    """A JSON value as the AMQP field value it stands for."""
    if isinstance(value, dict):
        if "$bytes" in value:
            return bytes.fromhex(value["$bytes"])
        if "$decimal" in value:
            return decimal.Decimal(value["$decimal"])
        if "$time" in value:
            return datetime.datetime.fromtimestamp(value["$time"], datetime.timezone.utc)
        return {k: from_json(v, index) for k, v in value.items()}
    if isinstance(value, list):
        return [from_json(v, index) for v in value]
    if isinstance(value, str):
        return value.replace("{i}", str(index))
    return value


def to_json(value):
    """An AMQP field value as publish's JSON takes it."""
    if isinstance(value, bytes):
        return {"$bytes": value.hex()}
    if isinstance(value, decimal.Decimal):
        return {"$decimal": str(value)}
    if isinstance(value, datetime.datetime):
        return {"$time": int(value.replace(tzinfo=datetime.timezone.utc).timestamp())}
    if isinstance(value, dict):
        return {k: to_json(v) for k, v in value.items()}
    if isinstance(value, list):
        return [to_json(v) for v in value]
    return value


def message(method, props, body):
    return {
        "body_hex": body.hex(),
        "content_type": props.content_type,
        "routing_key": method.routing_key,
        "exchange": method.exchange,
        "headers": props.headers or {},
        "redelivered": method.redelivered,
        "properties": {name: to_json(getattr(props, name)) for name in PROPERTY_NAMES
                       if getattr(props, name) is not None},
    }


def fetch(ch, queue, count, timeout):
    out = []
    deadline = time.time() + timeout
    while len(out) < count:
        method, props, body = ch.basic_get(queue=queue, auto_ack=True)
        if method is None:
            if time.time() >= deadline:
                break
            time.sleep(0.02)
            continue
        out.append(message(method, props, body))
    return out


def run(ch, op):
    kind = op["op"]
    if kind == "declare_exchange":
        ch.exchange_declare(exchange=op["exchange"], exchange_type=op.get("type", "direct"),
                            durable=op.get("durable", False), arguments=op.get("arguments") or None)
        return True
    if kind == "declare_queue":
        ch.queue_declare(queue=op["queue"], durable=op.get("durable", False),
                         auto_delete=op.get("auto_delete", False), arguments=op.get("arguments") or None)
        return True
    if kind == "bind":
        ch.queue_bind(queue=op["queue"], exchange=op["exchange"], routing_key=op["key"])
        return True
    if kind == "publish":
        for index, body in enumerate(op["bodies_hex"]):
            given = {"content_type": op.get("content_type"), "headers": op.get("headers")}
            given.update(from_json(op.get("properties") or {}, index))
            ch.basic_publish(exchange=op["exchange"], routing_key=op["key"], body=bytes.fromhex(body),
                             properties=pika.BasicProperties(**given))
        return len(op["bodies_hex"])
    if kind == "get":
        return fetch(ch, op["queue"], op.get("max", 1000000), 0)
    if kind == "wait_get":
        return fetch(ch, op["queue"], op["count"], op.get("timeout", 10))
    if kind == "purge":
        return ch.queue_purge(queue=op["queue"]).method.message_count
    if kind == "delete_queue":
        ch.queue_delete(queue=op["queue"])
        return True
    if kind == "delete_exchange":
        ch.exchange_delete(exchange=op["exchange"])
        return True
    raise ValueError("unknown op " + kind)


def main():
    request = json.load(sys.stdin)
    params = pika.ConnectionParameters(host="127.0.0.1", port=request["port"], virtual_host=request["vhost"],
                                       credentials=pika.PlainCredentials("guest", "guest"))
    connection = pika.BlockingConnection(params)
    ch = connection.channel()
    ch.confirm_delivery()
    results = [run(ch, op) for op in request["ops"]]
    connection.close()
    # Header values may be bytes or timestamps (x-death of a dead-lettered message).
    json.dump(results, sys.stdout, default=lambda o: o.decode("latin-1") if isinstance(o, bytes) else str(o))


if __name__ == "__main__":
    main()
