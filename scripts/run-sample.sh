#!/usr/bin/env bash
# The main job on the bundled sample: builds the native tool and shows what
# the sample archive is.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" native >/dev/null
"$root/build/native/cli/quarn" info "$root/samples/sample.qrn"
