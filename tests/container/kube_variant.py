#!/usr/bin/python3
"""Prints packaging/kubernetes/shardex.yaml as the container test plays it
with podman kube play: the objects named after NAME, the image IMAGE, the
settings pointed at the test broker (virtual host VHOST, user USER, whose
password PASSWORD the Secret holds), and these changes for podman 4.3:
  - the pod on the host's network (hostNetwork), so that it reaches the
    broker on 127.0.0.1; the metrics endpoint then listens on 127.0.0.1:PORT,
    and podman refuses container ports on the host's network;
  - the liveness probe run as the image's own check (podman turns an HTTP
    probe into a curl command, and the image has no curl);
  - the password under data, as it stands: podman 4.3 leaves stringData out
    of a secret volume, and writes a value of data to its file still
    base64-encoded. So PASSWORD has to read as base64 itself (letters and
    digits, a multiple of 4 long), and the file then holds it as given;
  - the password file readable by all: podman does not apply fsGroup.
Everything else (security context, resources, mounts, args) is played as
shipped; podman leaves the grace period aside (the test stops the pod with
one).

  kube_variant.py MANIFEST NAME IMAGE AMQP_PORT VHOST USER PASSWORD PORT
"""
import re
import sys

import yaml

manifest, name, image, amqp_port, vhost, user, password, port = sys.argv[1:9]
if not re.fullmatch(r"(?:[A-Za-z0-9]{4})+", password):
    sys.exit("the password has to read as base64: letters and digits, a multiple of 4 long")
docs = [d for d in yaml.safe_load_all(open(manifest)) if d]
kinds = sorted(d["kind"] for d in docs)
if kinds != ["ConfigMap", "Deployment", "Secret"]:
    sys.exit("expected a ConfigMap, a Secret and a Deployment, found %s" % kinds)
names = {d["kind"]: d["metadata"]["name"] for d in docs}
renamed = {names["ConfigMap"]: name, names["Secret"]: name + "-password", names["Deployment"]: name}


def setting(ini, key, value):
    ini, count = re.subn(r"(?m)^%s=.*$" % re.escape(key), "%s=%s" % (key, value), ini)
    if count == 0:
        sys.exit("the settings have no %s" % key)
    return ini


for d in docs:
    d["metadata"]["name"] = renamed[d["metadata"]["name"]]
    if d["kind"] == "ConfigMap":
        ini = d["data"]["shardex.ini"]
        # Still without a password: password_file gives it, from the Secret.
        ini, count = re.subn(r"(?m)^path=amqp://[^@/:]*@[^/]*/$", "path=amqp://%s@127.0.0.1:%s/" % (user, amqp_port), ini)
        if count != 2:
            sys.exit("expected two broker URLs with a user and no password, found %d" % count)
        for key, value in (("vhost", vhost), ("r_que", "in"), ("exchange", "out"), ("shard_count", "3"),
                           ("routing_key_prefix", "shard."), ("listen", "127.0.0.1:" + port)):
            ini = setting(ini, key, value)
        d["data"]["shardex.ini"] = ini
    elif d["kind"] == "Secret":
        if set(d.pop("stringData")) != {"password"}:
            sys.exit("the Secret should hold the key password alone")
        d["data"] = {"password": password}
    else:
        spec = d["spec"]["template"]["spec"]
        spec["hostNetwork"] = True
        container = spec["containers"][0]
        container["image"] = image
        container.pop("ports")
        container["readinessProbe"]["httpGet"]["port"] = int(port)
        container["livenessProbe"].pop("httpGet")
        container["livenessProbe"]["exec"] = {"command": ["/usr/local/bin/shardex-livez"]}
        container["env"] = [{"name": "SHARDEX_METRICS_PORT", "value": port}]
        for volume in spec["volumes"]:
            if "configMap" in volume:
                volume["configMap"]["name"] = renamed[volume["configMap"]["name"]]
            if "secret" in volume:
                volume["secret"]["secretName"] = renamed[volume["secret"]["secretName"]]
                volume["secret"]["defaultMode"] = 0o444
yaml.safe_dump_all(docs, sys.stdout, sort_keys=False)
