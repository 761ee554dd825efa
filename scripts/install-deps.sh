#!/usr/bin/env bash
# Installs the Debian packages both builds need. Idempotent: packages already
# present are skipped, so a warm machine pays only the dpkg queries.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config python3
  python3-cryptography python3-argon2
  libgcrypt20-dev libzstd-dev libargon2-dev nlohmann-json3-dev
  libgtest-dev googletest libbenchmark-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev
  wine wine64 xvfb xdotool imagemagick libmagickcore-6.q16-6-extra
  # signed self-extractors in the tests: a throw-away certificate, then signing
  openssl osslsigncode
  # scripts/bench.sh: the peers it measures against, GNU time for peak memory, perf
  zstd age 7zip gnupg time util-linux linux-perf
  # fuzzing: Debian's clang 16 with libFuzzer and libc++ (which has std::expected)
  clang-16 libclang-rt-16-dev libc++-16-dev libc++abi-16-dev
  # a real FIDO2 key on Linux (the build uses it when pkg-config finds it)
  libfido2-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# npm may come from a nodejs package of another origin: ask for the command.
command -v npm >/dev/null 2>&1 || missing+=(npm)

if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" dpkg --add-architecture i386 >/dev/null 2>&1 || true
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
