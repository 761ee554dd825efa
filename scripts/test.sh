#!/usr/bin/env bash
# Runs every test: installs what is missing, builds both trees, runs the
# native suite, the fuzz targets' smoke (scripts/fuzz.sh --smoke, which builds
# build/fuzz), the Windows build's suite under Wine in a fresh prefix, then
# the sanitizer runs (scripts/test-sanitizers.sh: AddressSanitizer with UBSan
# over the native suite, ThreadSanitizer over the threaded code).
# Slow cases carry the CTest label "slow" and are left out; run them with
# scripts/test-slow.sh.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" all

jobs="$(nproc)"
summary() { # ctest log -> "passed failed"
  sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\2 \1/p' "$1" | tail -1 |
    awk '{print $1 - $2, $2}'
}

native_log="$(mktemp)"
fuzz_log="$(mktemp)"
windows_log="$(mktemp)"
sanitizer_log="$(mktemp)"
thread_log="$(mktemp)"
prefix="$(mktemp -d /tmp/quarn-wine.XXXXXX)"
cleanup() {
  WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix" "$native_log" "$fuzz_log" "$windows_log" "$sanitizer_log" "$thread_log"
}
trap cleanup EXIT

status=0
echo "== native tests"
(cd "$root/build/native" && ctest -j "$jobs" -LE slow --output-on-failure) 2>&1 | tee "$native_log" || status=1

echo "== fuzz smoke (seeds, saved regressions and a few thousand runs per fuzz target)"
"$root/scripts/fuzz.sh" --smoke 2>&1 | tee "$fuzz_log" || status=1

echo "== Windows tests under Wine"
export QUARN_WINEPREFIX="$prefix"
# A persistent wineserver saves a start-up per program run.
"$root/scripts/wine-run.sh" cmd /c exit >/dev/null 2>&1 || true
WINEPREFIX="$prefix" wineserver -p >/dev/null 2>&1 || true
(cd "$root/build/windows" && ctest -j "$jobs" -LE slow --output-on-failure) 2>&1 | tee "$windows_log" || status=1

echo "== sanitizers"
"$root/scripts/test-sanitizers.sh" address 2>&1 | tee "$sanitizer_log" || status=1
"$root/scripts/test-sanitizers.sh" thread 2>&1 | tee "$thread_log" || status=1

read -r np nf < <(summary "$native_log" || echo "0 1")
read -r wp wf < <(summary "$windows_log" || echo "0 1")
# One count per fuzz target; a smoke that never reported counts as one failure.
read -r fp ff < <(sed -n 's/^fuzz smoke: \([0-9]*\) passed, \([0-9]*\) failed.*/\1 \2/p' "$fuzz_log" | tail -1) || true
echo "native: ${np:-0} passed, ${nf:-1} failed"
echo "fuzz smoke: ${fp:-0} passed, ${ff:-1} failed"
echo "windows: ${wp:-0} passed, ${wf:-1} failed"
# The AddressSanitizer run is a ctest run; the ThreadSanitizer run one gtest program.
read -r ap af < <(summary "$sanitizer_log" || echo "0 1")
if grep -q '^\[  PASSED  \]' "$thread_log" && ! grep -q '^\[  FAILED  \]' "$thread_log"; then tp=1 tf=0; else tp=0 tf=1; fi
echo "sanitizers: address ${ap:-0} passed, ${af:-1} failed; thread $tp passed, $tf failed"
echo "total: $(( ${np:-0} + ${fp:-0} + ${wp:-0} + ${ap:-0} + tp )) passed, $(( ${nf:-1} + ${ff:-1} + ${wf:-1} + ${af:-1} + tf )) failed"
exit "$status"
