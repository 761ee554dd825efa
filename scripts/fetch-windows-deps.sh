#!/usr/bin/env bash
# Builds the static Windows zstd library that Debian does not ship for mingw,
# from the sources scripts/fetch-sources.sh fetches (libargon2 is built by
# CMake itself, in both builds: cmake/Argon2.cmake). Everything lands in
# .cache/windows-deps (ignored by git). A warm cache is a no-op: the stamp
# file records what was built from which tarball.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="${QUARN_WINDOWS_DEPS:-$root/.cache/windows-deps}"
prefix="$cache/prefix"
cc=x86_64-w64-mingw32-gcc-posix
ar=x86_64-w64-mingw32-ar

zstd_src="$("$root/scripts/fetch-sources.sh" zstd)"
stamp_value="$(cat "$zstd_src/../.stamp") v3"

# One build at a time; a second caller then finds the stamp written.
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
if [[ -f "$prefix/.stamp" && "$(cat "$prefix/.stamp")" == "$stamp_value" ]]; then
  exit 0
fi

# Built beside the prefix and moved into place at the end, so that a build
# running meanwhile sees the old prefix or the new one, never half of one.
obj="$cache/zstd-obj"
next="$cache/prefix.next"
rm -rf "$obj" "$next" "$cache/src" "$cache/tarballs"  # the last two: an older layout
mkdir -p "$obj" "$next/lib" "$next/include"

zlib="$zstd_src/deps/zstd/lib"
objs=() pids=()
for f in "$zlib"/common/*.c "$zlib"/compress/*.c "$zlib"/decompress/*.c; do
  o="$obj/${#objs[@]}-$(basename "${f%.c}").o"
  "$cc" -O2 -DZSTD_DISABLE_ASM -DZSTD_MULTITHREAD=0 -I"$zlib" -I"$zlib/common" -c "$f" -o "$o" &
  objs+=("$o") pids+=($!)
  if ((${#pids[@]} == 2)); then  # two compilers at a time; a failed one stops the script
    for p in "${pids[@]}"; do wait "$p"; done
    pids=()
  fi
done
for p in "${pids[@]}"; do wait "$p"; done
"$ar" rcs "$next/lib/libzstd.a" "${objs[@]}"
cp "$zlib/zstd.h" "$zlib/zstd_errors.h" "$zlib/zdict.h" "$next/include/"

# nlohmann-json is header-only; the cross build sees it through the prefix so
# that the host's /usr/include never enters a Windows compile.
ln -sfn /usr/include/nlohmann "$next/include/nlohmann"

echo "$stamp_value" > "$next/.stamp"
rm -rf "$prefix"
mv "$next" "$prefix"
rm -rf "$obj"
echo "fetch-windows-deps: built into $prefix"
