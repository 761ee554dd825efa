#!/usr/bin/env bash
# Builds the static Windows libraries that Debian does not ship for mingw:
# zstd and libargon2, from the sources carried by two pinned npm tarballs.
# Everything lands in .cache/windows-deps (ignored by git). A warm cache is a
# no-op: the stamp file records what was built from which tarballs.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="${QUARN_WINDOWS_DEPS:-$root/.cache/windows-deps}"
prefix="$cache/prefix"
cc=x86_64-w64-mingw32-gcc-posix
ar=x86_64-w64-mingw32-ar

zstd_pkg=zstd-napi@0.0.13
zstd_sha=5b76defc67c808989c5f3920e14f662d6318b84b8d53ac3e94b99463d8d65e76
argon2_pkg=argon2@0.45.1
argon2_sha=4acffbd5e5a87fe8fad926afc9a9ac450d69b7082686dd2836be0d8309dbd8aa
stamp_value="$zstd_sha $argon2_sha v2"

if [[ -f "$prefix/.stamp" && "$(cat "$prefix/.stamp")" == "$stamp_value" ]]; then
  exit 0
fi

mkdir -p "$cache/tarballs"
fetch() { # package sha256 -> path of the verified tarball
  local pkg=$1 sha=$2 file
  file="$cache/tarballs/$(echo "$pkg" | tr '@' '-').tgz"
  if [[ ! -f "$file" ]] || ! echo "$sha  $file" | sha256sum -c --quiet - >/dev/null 2>&1; then
    local tmp; tmp="$(mktemp -d)"
    (cd "$tmp" && npm pack --silent "$pkg" >/dev/null)
    mv "$tmp"/*.tgz "$file"
    rm -rf "$tmp"
  fi
  if ! echo "$sha  $file" | sha256sum -c --quiet -; then
    echo "fetch-windows-deps: checksum mismatch for $pkg" >&2
    rm -f "$file"
    exit 1
  fi
  echo "$file"
}

zstd_tgz="$(fetch "$zstd_pkg" "$zstd_sha")"
argon2_tgz="$(fetch "$argon2_pkg" "$argon2_sha")"

src="$cache/src"
rm -rf "$src" "$prefix"
mkdir -p "$src/zstd" "$src/argon2" "$prefix/lib" "$prefix/include"
tar -xzf "$zstd_tgz" -C "$src/zstd"
tar -xzf "$argon2_tgz" -C "$src/argon2"

build_static() { # name out_dir cflags... -- sources...
  local name=$1 out=$2; shift 2
  local flags=() objs=()
  while [[ $1 != -- ]]; do flags+=("$1"); shift; done; shift
  mkdir -p "$out"
  local i=0
  for f in "$@"; do
    local o="$out/$i-$(basename "${f%.c}").o"
    "$cc" -O2 "${flags[@]}" -c "$f" -o "$o" &
    objs+=("$o"); i=$((i + 1))
    (( i % 4 == 0 )) && wait
  done
  wait
  "$ar" rcs "$prefix/lib/lib$name.a" "${objs[@]}"
}

zlib="$src/zstd/package/deps/zstd/lib"
build_static zstd "$src/zstd-obj" -DZSTD_DISABLE_ASM -DZSTD_MULTITHREAD=0 -I"$zlib" -I"$zlib/common" -- \
  "$zlib"/common/*.c "$zlib"/compress/*.c "$zlib"/decompress/*.c
cp "$zlib/zstd.h" "$zlib/zstd_errors.h" "$zlib/zdict.h" "$prefix/include/"

a="$src/argon2/package/argon2"
# opt.c takes its SIMD level from the target flags: the x86-64 baseline (SSE2)
# runs on every Windows machine, so no -march here.
build_static argon2 "$src/argon2-obj" -I"$a/include" -I"$a/src" -- \
  "$a/src/argon2.c" "$a/src/core.c" "$a/src/encoding.c" "$a/src/blake2/blake2b.c" \
  "$a/src/thread.c" "$a/src/opt.c"
cp "$a/include/argon2.h" "$prefix/include/"

# nlohmann-json is header-only; the cross build sees it through the prefix so
# that the host's /usr/include never enters a Windows compile.
ln -sfn /usr/include/nlohmann "$prefix/include/nlohmann"

echo "$stamp_value" > "$prefix/.stamp"
echo "fetch-windows-deps: built into $prefix"
