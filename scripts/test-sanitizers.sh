#!/usr/bin/env bash
# Runs the native test suite under ThreadSanitizer, then under
# AddressSanitizer with UndefinedBehaviorSanitizer. Slower than the default
# run, so it is a command of its own.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"

run() { # name sanitizers
  local dir="$root/build/$1"
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARN_SANITIZE="$2" >/dev/null
  cmake --build "$dir"
  (cd "$dir" && ctest -j "$(nproc)" -LE slow --output-on-failure)
}

export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
export ASAN_OPTIONS="detect_leaks=1 abort_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1"
echo "== ThreadSanitizer"
run tsan thread
echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
run asan address,undefined
