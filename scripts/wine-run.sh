#!/usr/bin/env bash
# Runs a Windows program under Wine, headless, in a throw-away prefix.
# QUARN_WINEPREFIX names the prefix (scripts/test.sh makes a fresh one per
# run); without it a prefix under build/ is used. The prefix is created on
# first use, once, even when several tests start together.
# QUARN_WINE_DISPLAY (e.g. ":93", an Xvfb display) keeps the program visible
# there for tests that drive windows; without it Wine runs with no display.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${QUARN_WINEPREFIX:-$root/build/wineprefix}"
export WINEDEBUG="${QUARN_WINEDEBUG:--all}"  # a test may ask for a channel, e.g. +loaddll
# QUARN_WINEDLLOVERRIDES adds overrides for one run (e.g. "bcrypt=n,b" to
# look for bcrypt.dll as Windows does for names that are not Known DLLs).
export WINEDLLOVERRIDES="mscoree,mshtml=${QUARN_WINEDLLOVERRIDES:+;$QUARN_WINEDLLOVERRIDES}"
unset DISPLAY WAYLAND_DISPLAY
if [[ -n "${QUARN_WINE_DISPLAY:-}" ]]; then
  export DISPLAY="$QUARN_WINE_DISPLAY"
fi

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
