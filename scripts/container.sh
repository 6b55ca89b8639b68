#!/usr/bin/env bash
# Builds the container image localhost/shardex:<version> from this tree with
# podman, on a Debian 12 machine, without any container registry:
#   - installs podman, runc and debootstrap when they are missing;
#   - builds the Debian package (scripts/package.sh) unless --deb names one;
#   - makes the base image itself: a minimal Debian of the machine's release
#     (debootstrap --variant=minbase, from the mirror apt already uses) that
#     holds the libraries the package needs, imported into podman. It is kept
#     in the cache directory and in podman's storage, and made again only
#     when the package's dependencies change or --refresh-base asks for it
#     (for Debian's updates since);
#   - builds packaging/container/Containerfile on it.
#
#   scripts/container.sh [--deb FILE] [--tag NAME] [--source URL] [--refresh-base] [PODMAN_BUILD_OPTION...]
#
# The tag is the package version with what a tag cannot hold (~ +) made _:
# 1.6.1-14~jammy gives localhost/shardex:1.6.1-14_jammy. Further options go to
# podman build; --build-arg BASE=IMAGE builds on IMAGE instead (a Debian 12
# image from a registry at hand, debian:bookworm-slim for one), and then no
# base is made. --source sets the org.opencontainers.image.source label
# (default: the git remote origin). Needs root. The cache directory is
# SHARDEX_CONTAINER_CACHE (/var/cache/shardex-container).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cache=${SHARDEX_CONTAINER_CACHE:-/var/cache/shardex-container}
deb='' tag='' source='' refresh=no
build_options=()
while [ $# -gt 0 ]; do
  case $1 in
  --deb) deb=$(realpath "${2:?--deb needs a file}"); shift 2 ;;
  --tag) tag=${2:?--tag needs a name}; shift 2 ;;
  --source) source=${2:?--source needs a URL}; shift 2 ;;
  --refresh-base) refresh=yes; shift ;;
  -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
  *) build_options+=("$1"); shift ;;
  esac
done
own_base=yes
for option in "${build_options[@]}"; do
  case $option in BASE=* | --build-arg=BASE=*) own_base=no ;; esac
done

if [ "$(id -u)" -ne 0 ]; then
  echo "scripts/container.sh installs packages, runs debootstrap and builds with rootful podman: run it as root" >&2
  exit 1
fi

missing=()
for p in podman runc debootstrap; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# runc, with limits it may set: crun, podman's first choice, fails on hosts
# whose cgroups are in hybrid mode.
podman=(podman --runtime runc)
ulimits=(--ulimit nofile=4096:4096 --ulimit nproc=4096:4096)

if [ -z "$deb" ]; then
  "$root/scripts/package.sh"
  version=$(sed -n 's/^set(SHARDEX_VERSION_STRING "\(.*\)")$/\1/p' "$root/CMakeLists.txt")
  deb=$root/build-deb/shardex_${version}_$(dpkg --print-architecture).deb
fi
[ -f "$deb" ] || { echo "no package $deb" >&2; exit 1; }
version=$(dpkg-deb -f "$deb" Version)
[ -n "$tag" ] || tag=localhost/shardex:$(printf '%s' "$version" | tr -c 'A-Za-z0-9_.-' '_')
if [ -z "$source" ]; then
  source=$(git -C "$root" config --get remote.origin.url 2>/dev/null || true)
  [ -n "$source" ] || source=file://$root
fi
revision=$(git -C "$root" rev-parse HEAD 2>/dev/null || echo unknown)

# --- the base: a minimal Debian holding the package's dependencies
make_base() {
  # shellcheck disable=SC1091
  . /etc/os-release
  local suite=${VERSION_CODENAME:?no VERSION_CODENAME in /etc/os-release}
  local packages key dir image mirror log
  packages=$({
    dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/[[:space:]]//g'
    echo ca-certificates
  } | grep . | sort -u | paste -sd, -)
  key=$(printf '%s %s' "$suite" "$packages" | sha256sum | cut -c1-12)
  dir=$cache/$suite-$key
  image=localhost/shardex-base:$suite-$key
  mkdir -p "$cache"
  exec 9>"$cache/.lock"
  flock 9
  if [ "$refresh" = yes ]; then
    rm -rf "$dir"
    "${podman[@]}" rmi -f "$image" >/dev/null 2>&1 || true
  fi
  if ! "${podman[@]}" image exists "$image"; then
    if [ ! -f "$dir/.complete" ]; then
      # shellcheck disable=SC2016 # apt's own field names
      mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' | awk -v s="$suite" '$2 == s { print $1; exit }')
      [ -n "$mirror" ] || { echo "no apt source serves $suite: cannot make the base image" >&2; exit 1; }
      log=$cache/debootstrap-$key.log
      echo "making the base image from $mirror with debootstrap (once; kept in $cache)" >&2
      rm -rf "$dir.partial"
      if ! debootstrap --variant=minbase --include="$packages" "$suite" "$dir.partial" "$mirror" >"$log" 2>&1; then
        tail -n 30 "$log" >&2
        echo "debootstrap failed; its log is $log" >&2
        exit 1
      fi
      # Debian's updates and security fixes since the release, from the
      # sources apt uses here; they stay the image's sources.
      # shellcheck disable=SC2016 # apt's own field names
      apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' |
        awk -v s="$suite" '$2 == s || $2 == s "-updates" || $2 == s "-security" { print "deb " $0 }' |
        sort -u >"$dir.partial/etc/apt/sources.list"
      if ! { chroot "$dir.partial" apt-get update -q && DEBIAN_FRONTEND=noninteractive \
        chroot "$dir.partial" apt-get upgrade -y -q --no-install-recommends; } >>"$log" 2>&1; then
        tail -n 30 "$log" >&2
        echo "updating the base failed; the log is $log" >&2
        exit 1
      fi
      # Neither apt's downloads, lists and caches, nor the build machine's
      # name and resolver (the container runtime provides those).
      rm -rf "$dir.partial"/var/cache/apt/archives/*.deb "$dir.partial"/var/cache/apt/*.bin \
        "$dir.partial"/var/lib/apt/lists/* "$dir.partial/etc/hostname" "$dir.partial/etc/resolv.conf"
      touch "$dir.partial/.complete"
      # Bases made for earlier dependencies are not needed any more.
      find "$cache" -mindepth 1 -maxdepth 1 -type d -name "$suite-*" ! -name "$suite-$key.partial" -exec rm -rf {} +
      mv "$dir.partial" "$dir"
    fi
    tar -C "$dir" --numeric-owner --exclude=./.complete -c . |
      "${podman[@]}" import --message "debootstrap $suite minbase: $packages" - "$image" >/dev/null
    "${podman[@]}" images --format '{{.Repository}}:{{.Tag}}' localhost/shardex-base |
      grep -vxF "$image" | xargs -r "${podman[@]}" rmi >/dev/null 2>&1 || true
  fi
  exec 9>&-
  build_options=(--build-arg "BASE=$image" "${build_options[@]}")
}
[ "$own_base" = no ] || make_base

# --- the image
context=$(mktemp -d "${TMPDIR:-/tmp}/shardex-image.XXXXXX")
trap 'rm -rf "$context"' EXIT
cp "$root/packaging/container/Containerfile" "$root/packaging/container/livez" "$context/"
cp "$deb" "$context/shardex.deb"
# Docker's format: the OCI one has no HEALTHCHECK. Host network for a base
# that has to fetch the package's dependencies with apt-get.
"${podman[@]}" build --format docker --network host "${ulimits[@]}" --layers=false \
  --build-arg "VERSION=$version" --build-arg "SOURCE=$source" --build-arg "REVISION=$revision" \
  --tag "$tag" "${build_options[@]}" "$context"
shown=$("${podman[@]}" run --rm "${ulimits[@]}" --network none --no-healthcheck "$tag" --version)
[ "$shown" = "shardex $version" ] || { echo "the image says '$shown', expected 'shardex $version'" >&2; exit 1; }
size=$("${podman[@]}" image inspect --format '{{.Size}}' "$tag")
echo "image: $tag ($((size / 1000000)) MB)"
