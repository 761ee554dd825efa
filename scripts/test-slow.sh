#!/usr/bin/env bash
# Runs the cases labelled "slow" that scripts/test.sh leaves out: gigabytes
# of Argon2id memory, the full corruption sweep, packages from fresh Release
# builds, natively and (where they exist) under Wine.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" all

prefix="$(mktemp -d /tmp/quarn-wine.XXXXXX)"
trap 'WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true; rm -rf "$prefix"' EXIT

status=0
echo "== native slow tests"
(cd "$root/build/native" && ctest -L slow --output-on-failure) || status=1
echo "== Windows slow tests under Wine"
export QUARN_WINEPREFIX="$prefix"
"$root/scripts/wine-run.sh" cmd /c exit >/dev/null 2>&1 || true
(cd "$root/build/windows" && ctest -L slow --output-on-failure) || status=1
exit "$status"
