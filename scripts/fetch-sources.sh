#!/usr/bin/env bash
# Fetches the third-party sources that Debian does not package in the form
# we need, from pinned npm tarballs, checks their sha256 and unpacks them
# under .cache/sources (ignored by git):
#   argon2  argon2@0.45.1      libargon2's reference sources (both builds)
#   zstd    zstd-napi@0.0.13   the zstd library sources (the Windows build)
# Usage: scripts/fetch-sources.sh [argon2|zstd ...] (no argument: all). Prints
# the folder of each unpacked package's contents. A warm cache is a no-op:
# each folder's stamp records the tarball it came from.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="${QUARN_SOURCES:-$root/.cache/sources}"

declare -A pkg=([argon2]=argon2@0.45.1 [zstd]=zstd-napi@0.0.13)
declare -A sha=(
  [argon2]=4acffbd5e5a87fe8fad926afc9a9ac450d69b7082686dd2836be0d8309dbd8aa
  [zstd]=5b76defc67c808989c5f3920e14f662d6318b84b8d53ac3e94b99463d8d65e76
)

verified() { echo "$2  $1" | sha256sum -c --quiet - >/dev/null 2>&1; }

fetch() { # name -> unpacked folder
  local name=$1 out="$cache/$1"
  if [[ -f "$out/.stamp" && "$(cat "$out/.stamp")" == "${sha[$name]}" ]]; then
    echo "$out/package"
    return
  fi
  local file
  file="$cache/tarballs/$(echo "${pkg[$name]}" | tr '@' '-').tgz"
  mkdir -p "$cache/tarballs"
  if [[ ! -f "$file" ]] || ! verified "$file" "${sha[$name]}"; then
    local tmp; tmp="$(mktemp -d)"
    (cd "$tmp" && npm pack --silent "${pkg[$name]}" >/dev/null)
    mv "$tmp"/*.tgz "$file"
    rm -rf "$tmp"
  fi
  if ! verified "$file" "${sha[$name]}"; then
    echo "fetch-sources: checksum mismatch for ${pkg[$name]}" >&2
    rm -f "$file"
    exit 1
  fi
  # Unpack beside the final folder and move it into place, so that a build
  # never sees half a tree.
  local tmp; tmp="$(mktemp -d "$cache/.unpack.XXXXXX")"
  tar -xzf "$file" -C "$tmp"
  echo "${sha[$name]}" > "$tmp/.stamp"
  rm -rf "$out"
  mv "$tmp" "$out"
  echo "fetch-sources: unpacked ${pkg[$name]} into $out" >&2
  echo "$out/package"
}

mkdir -p "$cache"
# One fetch at a time: two builds configured together share the cache.
exec 9>"$cache/.lock"
flock 9

names=("$@")
((${#names[@]})) || names=(argon2 zstd)
for n in "${names[@]}"; do
  [[ -n "${pkg[$n]:-}" ]] || { echo "fetch-sources: unknown package '$n' (argon2, zstd)" >&2; exit 2; }
  fetch "$n"
done
