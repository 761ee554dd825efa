#!/usr/bin/env bash
# Installs the Debian packages both builds need, and any packages named as
# arguments. Idempotent: packages already present are skipped, so a warm
# machine pays only the dpkg queries.
#
# A package index that fails to download (a mirror in mid-sync, a dead extra
# source) is only a warning: the indexes already on the machine are usually
# enough, and the install itself decides. When the install fails, one message
# names every package that could not be had and why.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config python3
  python3-cryptography python3-argon2
  libgcrypt20-dev libzstd-dev libargon2-dev nlohmann-json3-dev
  libgtest-dev googletest libbenchmark-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev
  # Wine's 64-bit loader is all the Windows tests use; no i386 packages
  wine wine64 xvfb xdotool imagemagick libmagickcore-6.q16-6-extra
  # signed self-extractors in the tests: a throw-away certificate, then signing
  openssl osslsigncode
  # scripts/bench.sh: the peers it measures against, GNU time for peak memory, perf
  zstd age 7zip gnupg time util-linux linux-perf
  # fuzzing: Debian's clang 16 with libFuzzer and libc++ (which has std::expected)
  clang-16 libclang-rt-16-dev libc++-16-dev libc++abi-16-dev
  # FIDO2 on Linux (the build uses it when pkg-config finds it); an independent
  # client that checks the tests' software authenticator
  libfido2-dev python3-fido2
  # packaging: the .deb, its checks, the Windows zip
  lintian dpkg-dev zip unzip bash-completion man-db
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# npm may come from a nodejs package of another origin: ask for the command.
command -v npm >/dev/null 2>&1 || missing+=(npm)

((${#missing[@]})) || exit 0

echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
apt=("${sudo_cmd[@]}" apt-get -o Acquire::Retries=2)

update_log="$(mktemp)"
install_log="$(mktemp)"
trap 'rm -f "$update_log" "$install_log"' EXIT

update_indexes() { # apt-get update; true when it reported no failure at all
  "${apt[@]}" update -qq >"$update_log" 2>&1 && ! grep -q '^\(E\|W\): Failed to fetch\|^E:' "$update_log"
}
if ! update_indexes; then
  echo "install-deps: warning: apt-get update failed; trying again in ${QUARN_APT_RETRY_PAUSE:-10} s:" >&2
  grep '^[EW]:' "$update_log" | sed 's/^/  /' >&2 || true
  sleep "${QUARN_APT_RETRY_PAUSE:-10}"
  if ! update_indexes; then
    echo "install-deps: warning: apt-get update failed again; installing from the indexes at hand:" >&2
    grep '^[EW]:' "$update_log" | sed 's/^/  /' >&2 || true
  fi
fi

if "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" >"$install_log" 2>&1; then
  exit 0
fi

# The install failed as a whole: ask apt about each package on its own, so
# that the message names the ones that cannot be had.
reasons=()
for p in "${missing[@]}"; do
  if ! out="$("${apt[@]}" install -s -qq --no-install-recommends "$p" 2>&1)"; then
    why="$(grep '^E:' <<<"$out" | head -1 | sed 's/^E: //')"
    reasons+=("  $p: ${why:-apt-get could not install it}")
  fi
done
{
  echo "install-deps: apt-get install failed."
  if ((${#reasons[@]})); then
    echo "These packages could not be had:"
    printf '%s\n' "${reasons[@]}"
  else
    echo "Each package can be had on its own; apt-get said:"
    grep '^[EW]:' "$install_log" | sed 's/^/  /' || tail -5 "$install_log" | sed 's/^/  /'
  fi
  grep -q '^[EW]: Failed to fetch' "$update_log" 2>/dev/null &&
    echo "(apt-get update could not refresh every package index; see the warnings above.)"
} >&2
exit 1
