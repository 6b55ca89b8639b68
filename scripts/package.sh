#!/usr/bin/env bash
# Builds the Debian package build-deb/shardex_<version>_<arch>.deb: a Release
# build without the tests, with Debian's hardening flags, laid out under /usr
# and packed by CPack (see packaging/CMakeLists.txt).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-deb"

"$root/scripts/install-deps.sh"

# CMake reads no CPPFLAGS: the preprocessor flags (_FORTIFY_SOURCE) go with
# the compiler's.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"

cd "$root"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DSHARDEX_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
cmake --build "$build" -j"$(nproc)"
(cd "$build" && cpack -G DEB)

version=$(sed -n 's/^set(SHARDEX_VERSION_STRING "\(.*\)")$/\1/p' CMakeLists.txt)
deb="$build/shardex_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "no $deb after cpack" >&2; exit 1; }
echo "package: $deb"
