#!/usr/bin/env bash
# Runs a Windows program under Wine, headless, in a throw-away prefix.
# QUARN_WINEPREFIX names the prefix (scripts/test.sh makes a fresh one per
# run); without it a prefix under build/ is used. The prefix is created on
# first use, once, even when several tests start together.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${QUARN_WINEPREFIX:-$root/build/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$WINEPREFIX"
(
  flock 9
  if [[ ! -f "$WINEPREFIX/.quarn-ready" ]]; then
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
    touch "$WINEPREFIX/.quarn-ready"
  fi
) 9>"$WINEPREFIX/.lock"

exec wine "$@"
