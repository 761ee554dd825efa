#!/usr/bin/env bash
# The main job on the bundled sample: builds the native tool and the Windows
# self-extractor, shows what the sample archive is, then makes a real
# self-extracting program from the sample's content and shows what that is.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" all >/dev/null
quarn="$root/build/native/cli/quarn"
"$quarn" info "$root/samples/sample.qrn"

# The sample's files, packed again behind the Windows program: run
# build/sample-sfx.exe on Windows (or under Wine) to extract them.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$quarn" extract --quiet -o "$work/sample" "$root/samples/sample.qrn" >/dev/null
echo
"$quarn" create --quiet --overwrite --mode none --sfx auto -o "$root/build/sample-sfx.exe" "$work/sample"
"$quarn" info "$root/build/sample-sfx.exe"
