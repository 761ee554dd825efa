#!/usr/bin/env bash
# scripts/install-deps.sh on a machine whose package sources are partly
# broken: an extra apt source that does not exist makes `apt-get update`
# fail, and one package of the list has been removed. The script must warn,
# install what is missing all the same and exit 0; a package that cannot be
# had at all must be named in its one failure message. Needs root and apt;
# exits 77 (skipped) without them.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
[[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null || { echo "needs root and apt-get"; exit 77; }

package=age # only the benchmarks use it; nothing depends on it
source_list=/etc/apt/sources.list.d/quarn-test-broken.list
log="$(mktemp)"
cleanup() {
  rm -f "$source_list" "$log"
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    apt-get install -y -qq --no-install-recommends "$package" >/dev/null 2>&1 || true
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; sed 's/^/  | /' "$log"; exit 1; }

echo "deb [trusted=yes] file:/nonexistent/quarn-test-repository ./" >"$source_list"
dpkg -r "$package" >/dev/null

QUARN_APT_RETRY_PAUSE=1 "$root/scripts/install-deps.sh" >"$log" 2>&1 || fail "install-deps.sh exited $?"
grep -q "warning: apt-get update failed" "$log" || fail "no warning about the failed update"
dpkg-query -W -f='${Status}' "$package" | grep -q 'install ok installed' || fail "$package was not installed"
echo "ok: a broken source is a warning; $package installed, exit 0"

status=0
QUARN_APT_RETRY_PAUSE=1 "$root/scripts/install-deps.sh" quarn-no-such-package >"$log" 2>&1 || status=$?
((status == 1)) || fail "a package that cannot be had: exit $status, not 1"
grep -q "^  quarn-no-such-package: Unable to locate package quarn-no-such-package" "$log" ||
  fail "the message does not name the package and why"
echo "ok: a package that cannot be had is named with apt's reason, exit 1"
