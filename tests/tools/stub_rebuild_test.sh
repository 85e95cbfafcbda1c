#!/usr/bin/env bash
# Builds the shipped stub a second time, from a copy of the sources in another
# folder (another path, another length) and at another time, and compares it
# byte for byte with the stub scripts/build made.
#   stub_rebuild_test.sh ROOT STUB
set -euo pipefail
root=$1 stub=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/vexlode-rebuild.XXXXXX")
trap 'rm -rf "$work"' EXIT
src="$work/another/checkout"
mkdir -p "$src/build"
# What a clone of the tag holds, plus the pinned minizip sources scripts/setup fetches.
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$src" -xf -
cp -R "$root/build/deps" "$src/build/deps"
cmake -S "$src" -B "$work/out" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw.cmake" -DVEXLODE_ARCH=i686 \
      -DCMAKE_BUILD_TYPE=Release -DVEXLODE_TESTS=OFF >/dev/null
cmake --build "$work/out" --target vexlode -j2 >/dev/null
echo "$stub: $(sha256sum <"$stub" | cut -d' ' -f1)"
echo "rebuilt in $work: $(sha256sum <"$work/out/vexlode.exe" | cut -d' ' -f1)"
cmp "$stub" "$work/out/vexlode.exe"
