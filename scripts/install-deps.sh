#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running shardex
# need, when any of them is missing. Needs root (or sudo) only then.
set -euo pipefail

packages=(
  cmake make g++ pkg-config
  qtbase5-dev
  protobuf-compiler libprotobuf-dev
  librabbitmq-dev libsimdjson-dev libsystemd-dev
  libgtest-dev
  rabbitmq-server
  python3 python3-pika openssl
  # The monitoring test reads the alert rules (promtool itself is unpacked
  # from Debian's prometheus package by the test, not installed).
  python3-yaml
  dpkg-dev fakeroot file lintian man-db systemd
  # The unit's test boots a minimal Debian under systemd-nspawn.
  debootstrap systemd-container
  # The container test builds the image (scripts/container.sh) and runs it
  # with podman on runc; catatonit is the pause process of podman's pods.
  podman runc catatonit
)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root to install: ${missing[*]}" >&2; exit 1; }
  as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
# The package starts a system broker where an init system runs; the project
# starts its own on other ports, so the system one is left as it is.
