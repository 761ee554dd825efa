#!/usr/bin/env bash
# Configures and builds the native tree (build/native) and, with "windows" or
# "all", the mingw-w64 cross build (build/windows).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
what="${1:-native}"
type="${QUARN_BUILD_TYPE:-RelWithDebInfo}"

build_native() {
  # Configuring fetches libargon2's sources too; fetching first keeps npm's
  # messages out of CMake's.
  "$root/scripts/fetch-sources.sh" argon2 >/dev/null
  cmake -S "$root" -B "$root/build/native" -G Ninja -DCMAKE_BUILD_TYPE="$type" >/dev/null
  cmake --build "$root/build/native"
}

build_windows() {
  "$root/scripts/fetch-sources.sh" argon2 >/dev/null
  "$root/scripts/fetch-windows-deps.sh"
  cmake -S "$root" -B "$root/build/windows" -G Ninja -DCMAKE_BUILD_TYPE="$type" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build "$root/build/windows"
}

case "$what" in
  native) build_native ;;
  windows) build_windows ;;
  all) build_native && build_windows ;;
  *) echo "usage: scripts/build.sh [native|windows|all]" >&2; exit 2 ;;
esac
