#!/usr/bin/env bash
# The end-to-end benchmark: makes a reproducible test tree, archives it with
# quarn (modes 0, 1, 2, 5) and with the tools people would otherwise use,
# times extraction and testing of every archive in alternating rounds, runs
# the micro-benchmarks (quarn_bench), and writes the figures into
# docs/performance.md between its "bench:begin" and "bench:end" markers.
#
# Settings (environment):
#   QUARN_BENCH_SIZE   size of the test tree, e.g. 1G (default) or 128M for a quick run
#   QUARN_BENCH_RUNS   timed rounds; medians are taken over them (default 5)
#   QUARN_BENCH_DIR    work folder for the tree, archives and extractions (default /tmp/quarn-bench)
#   QUARN_BENCH_BUILD  release build folder (default build/release in the repository)
#   QUARN_BENCH_MICRO  0 skips quarn_bench (default 1)
#   QUARN_BENCH_QUIET  machine load (in processors) below which a run may start (default 0.3);
#                      before each run the script waits up to QUARN_BENCH_WAIT seconds (default 30) for it
#   QUARN_BENCH_NOISY  foreign load during a run (processors) from which the run counts as disturbed
#                      and is repeated (default 0.25); the report takes medians of undisturbed runs
#   QUARN_BENCH_REPORT the report to write (default docs/performance.md)
#
# Nothing is written inside the repository but the build folder and the report.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
size=${QUARN_BENCH_SIZE:-1G}
runs=${QUARN_BENCH_RUNS:-5}
work=${QUARN_BENCH_DIR:-/tmp/quarn-bench}
build=${QUARN_BENCH_BUILD:-$repo/build/release}
micro=${QUARN_BENCH_MICRO:-1}
quiet_below=${QUARN_BENCH_QUIET:-0.3}
quiet_wait=${QUARN_BENCH_WAIT:-30}
noisy=${QUARN_BENCH_NOISY:-0.25}
report=${QUARN_BENCH_REPORT:-$repo/docs/performance.md}
seed=2024

log() { printf 'bench: %s\n' "$*" >&2; }

# --- tools and build ---------------------------------------------------------
need=(zstd age age-keygen 7zz gpg /usr/bin/time taskset)
for tool in "${need[@]}"; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    log "installing the peers and measuring tools (scripts/install-deps.sh)"
    "$repo/scripts/install-deps.sh"
    break
  fi
done

log "building quarn and quarn_bench (Release) in $build"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target quarn quarn_bench -- -j"$(nproc)" >/dev/null
quarn=$build/cli/quarn
quarn_bench=$build/bench/quarn_bench

# --- the tree and the archives -----------------------------------------------
set_dir=$work/$size
tree=$set_dir/tree
arch=$set_dir/archives
mkdir -p "$work" "$arch"
if [[ ! -d $tree ]]; then
  log "making the $size test tree (once; kept in $tree)"
  rm -rf "$tree.partial"
  python3 "$repo/bench/make_tree.py" --size "$size" --seed "$seed" "$tree.partial"
  mv "$tree.partial" "$tree"
fi
tree_bytes=$(find "$tree" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
tree_files=$(find "$tree" -type f | wc -l)

password_file=$work/password
[[ -f $password_file ]] || printf 'bench-password-2024' >"$password_file"
password=$(cat "$password_file")
export GNUPGHOME=$work/gnupg
mkdir -p "$GNUPGHOME" && chmod 700 "$GNUPGHOME"
# gpg starts an agent of its own for this home; it ends with the script.
trap 'gpgconf --kill gpg-agent >/dev/null 2>&1 || true' EXIT
age_key=$work/age-key.txt
[[ -f $age_key ]] || age-keygen -o "$age_key" 2>/dev/null
age_recipient=$(age-keygen -y "$age_key")

# make_archive NAME COMMAND...: runs COMMAND (which writes $arch/NAME.partial)
# unless NAME exists; notes the command for the report either way.
creation=$work/creation.txt
: >"$creation"
make_archive() {
  local name=$1
  shift
  printf '%s\n' "$*" >>"$creation"
  [[ -f $arch/$name ]] && return 0
  log "making $name"
  rm -f "$arch/$name.partial"
  local t0=$SECONDS
  "$@"
  mv "$arch/$name.partial" "$arch/$name"
  log "  $name: $((SECONDS - t0)) s"
}
# The quarn archives are remade when the sources of the writer or of the
# format it uses change.
quarn_id=$(cd "$repo" && find writer core/archive core/crypto core/volumes -type f | sort | xargs cat | sha256sum | cut -c1-12)
for mode in 0:none 1:aes 2:chacha-aes 5:serpent-twofish-aes; do
  n=${mode%%:*}
  stale=$(ls "$arch"/mode$n-*.qrn 2>/dev/null | grep -v -- "-$quarn_id.qrn" || true)
  [[ -n $stale ]] && rm -f $stale
  make_archive "mode$n-$quarn_id.qrn" \
    "$quarn" create -q --mode "${mode#*:}" --password-file "$password_file" -o "$arch/mode$n-$quarn_id.qrn.partial" "$tree"
done
make_archive tree.tar.zst bash -c "set -o pipefail; tar -C '$set_dir' -cf - tree | zstd -3 -T0 -q -o '$arch/tree.tar.zst.partial'"
make_archive tree.tar.zst.age age -r "$age_recipient" -o "$arch/tree.tar.zst.age.partial" "$arch/tree.tar.zst"
make_archive tree.tar.zst.gpg gpg --batch --yes --quiet --pinentry-mode loopback --passphrase-file "$password_file" \
  --symmetric --cipher-algo AES256 --compress-algo none -o "$arch/tree.tar.zst.gpg.partial" "$arch/tree.tar.zst"
make_archive tree-lzma2.7z bash -c "cd '$set_dir' && 7zz a -bd -bso0 -bsp0 -t7z -mx=1 -mhe=on -p'$password' '$arch/tree-lzma2.7z.partial' tree"
make_archive tree-stored.7z bash -c "cd '$set_dir' && 7zz a -bd -bso0 -bsp0 -t7z -mx=0 -mhe=on -p'$password' '$arch/tree-stored.7z.partial' tree"

# --- the timed commands ------------------------------------------------------
# name|command; DEST is replaced by a fresh, never used destination folder.
m() { echo "$arch/mode$1-$quarn_id.qrn"; }
commands=(
  "quarn-extract-m0|$quarn extract -q -o DEST $(m 0)"
  "quarn-extract-m1|$quarn extract -q --password-file $password_file -o DEST $(m 1)"
  "quarn-extract-m2|$quarn extract -q --password-file $password_file -o DEST $(m 2)"
  "quarn-extract-m5|$quarn extract -q --password-file $password_file -o DEST $(m 5)"
  "quarn-test-m0|$quarn test -q $(m 0)"
  "quarn-test-m1|$quarn test -q --password-file $password_file $(m 1)"
  "quarn-test-m2|$quarn test -q --password-file $password_file $(m 2)"
  "quarn-test-m5|$quarn test -q --password-file $password_file $(m 5)"
  "quarn-list-m1|$quarn list --password-file $password_file $(m 1) >/dev/null"
  "quarn-extract-m1-1cpu|taskset -c 0 $quarn extract -q --password-file $password_file -o DEST $(m 1)"
  "quarn-extract-m5-1cpu|taskset -c 0 $quarn extract -q --password-file $password_file -o DEST $(m 5)"
  "quarn-test-m5-1cpu|taskset -c 0 $quarn test -q --password-file $password_file $(m 5)"
  "tar-zstd|mkdir DEST && tar -I zstd -xf $arch/tree.tar.zst -C DEST"
  "age-zstd-tar|mkdir DEST && age -d -i $age_key $arch/tree.tar.zst.age | zstd -d -q | tar -xf - -C DEST"
  "gpg-zstd-tar|mkdir DEST && gpg --batch --quiet --pinentry-mode loopback --passphrase-file $password_file -d $arch/tree.tar.zst.gpg | zstd -d -q | tar -xf - -C DEST"
  "7zz-lzma2|7zz x -bd -bso0 -bsp0 -y -p$password -oDEST $arch/tree-lzma2.7z"
  "7zz-stored|7zz x -bd -bso0 -bsp0 -y -p$password -oDEST $arch/tree-stored.7z"
)

# Busy processor time of the whole machine, in 1/100 s.
busy_ticks() { awk '/^cpu / {print $2 + $3 + $4 + $7 + $8 + $9}' /proc/stat; }

# Waits until the machine's load over one second is below the threshold (or
# the wait is over); prints the last sample in processors.
wait_quiet() {
  local waited=0 before after load
  while :; do
    before=$(busy_ticks)
    sleep 1
    after=$(busy_ticks)
    load=$(awk -v d=$((after - before)) 'BEGIN {printf "%.2f", d / 100}')
    if awk -v l="$load" -v q="$quiet_below" 'BEGIN {exit !(l < q)}' || ((waited >= quiet_wait)); then
      echo "$load"
      return
    fi
    waited=$((waited + 1))
  done
}

out_root=$work/out
mkdir -p "$out_root"
results=$work/results.tsv
printf 'name\tround\twall_s\tmaxrss_kib\tuser_s\tsys_s\tload_before\tforeign_load\n' >"$results"

log "warming the page cache"
cat "$arch"/* >/dev/null
find "$tree" -type f -exec cat {} + >/dev/null

# run_one NAME COMMAND ROUND: one timed run into a fresh destination; appends a line to $results.
run_one() {
  local name=$1 cmd=$2 round=$3
  local dest=$out_root/$name.r$round.$$.$RANDOM
  cmd=${cmd//DEST/$dest}
  local load_before timing=$work/time.txt b0 b1 wall rss user sys got foreign
  load_before=$(wait_quiet)
  b0=$(busy_ticks)
  if ! /usr/bin/time -f '%e %M %U %S' -o "$timing" bash -c "set -o pipefail; $cmd" >"$work/last.out" 2>&1; then
    log "FAILED: $name: $cmd"
    cat "$work/last.out" >&2
    exit 1
  fi
  b1=$(busy_ticks)
  read -r wall rss user sys <"$timing"
  if [[ -d $dest && $round == 1 ]]; then
    got=$(find "$dest" -type f | wc -l)
    [[ $got == "$tree_files" ]] || { log "$name extracted $got files, not $tree_files"; exit 1; }
  fi
  rm -rf "$dest"
  foreign=$(awk -v d=$((b1 - b0)) -v u="$user" -v s="$sys" -v w="$wall" \
    'BEGIN {f = (d / 100 - u - s) / w; if (f < 0) f = 0; printf "%.2f", f}')
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$round" "$wall" "$rss" "$user" "$sys" "$load_before" "$foreign" \
    >>"$results"
  log "round $round: $name ${wall} s, $((rss / 1024)) MiB, foreign load $foreign"
}

log "$runs rounds of ${#commands[@]} commands on $tree_files files, $tree_bytes bytes"
count=${#commands[@]}
for ((round = 1; round <= runs; round++)); do
  for ((k = 0; k < count; k++)); do
    # Each round starts one command later, so that no command always follows the same one.
    entry=${commands[$(((k + round - 1) % count))]}
    run_one "${entry%%|*}" "${entry#*|}" "$round"
  done
done

# Runs disturbed by other work on the machine (foreign load of $noisy
# processors or more) are repeated, up to as many extra runs as there were
# runs, until every command has $runs undisturbed ones.
extra=0
while ((extra < runs * count)); do
  lacking=$(awk -F'\t' -v t="$noisy" -v want="$runs" 'NR > 1 {all[$1] = 1; if ($8 < t) quiet[$1]++}
    END {for (n in all) if (quiet[n] < want) print n}' "$results")
  [[ -z $lacking ]] && break
  for entry in "${commands[@]}"; do
    name=${entry%%|*}
    grep -qx -- "$name" <<<"$lacking" || continue
    extra=$((extra + 1))
    run_one "$name" "${entry#*|}" "x$extra"
  done
done

# --- how much the second processor adds ---------------------------------------
# The same decoding work (mode 5's cascade on 4 MiB frames) run once on
# processor 0 alone and then as two processes, one on each processor: what
# two perfectly independent workers gain on this machine, the ceiling for
# quarn's own scaling.
probe_gbps() {
  "$@" --benchmark_filter='^decrypt/mode:5/MiB:4$' --benchmark_min_time=2 --benchmark_format=json 2>/dev/null |
    python3 -c 'import json, sys; b = json.load(sys.stdin)["benchmarks"][0]
scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1}[b["time_unit"]]
print("%.4f" % (4 * 2**20 / (b["real_time"] * scale) / 1e9))'
}
machine_scaling=$work/machine-scaling.tsv
printf 'round\tone_gbps\ttwo_gbps\n' >"$machine_scaling"
log "the second processor's share: mode-5 decoding on one processor, then on both"
for ((round = 1; round <= runs; round++)); do
  wait_quiet >/dev/null
  one=$(probe_gbps taskset -c 0 "$quarn_bench")
  probe_gbps taskset -c 1 "$quarn_bench" >"$work/probe1.txt" &
  other=$!
  first=$(probe_gbps taskset -c 0 "$quarn_bench")
  wait "$other"
  two=$(awk -v a="$first" -v b="$(cat "$work/probe1.txt")" 'BEGIN {printf "%.4f", a + b}')
  printf '%s\t%s\t%s\n' "$round" "$one" "$two" >>"$machine_scaling"
  log "round $round: one processor $one GB/s, two $two GB/s"
done

# --- micro-benchmarks --------------------------------------------------------
micro_json=$work/micro.json
if [[ $micro == 1 ]]; then
  log "quarn_bench (micro-benchmarks and stage costs)"
  wait_quiet >/dev/null
  QUARN_BENCH_TMP=$work "$quarn_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_out="$micro_json" --benchmark_out_format=json >/dev/null
fi

# --- the machine and the report ----------------------------------------------
machine=$work/machine.txt
{
  echo "cpu=$(lscpu | sed -n 's/^Model name: *//p') (family $(lscpu | sed -n 's/^CPU family: *//p'), model $(lscpu | sed -n 's/^Model: *//p'))"
  echo "processors=$(nproc)"
  echo "features=$(grep -m1 -o -w -E 'sse4_2|pclmulqdq|aes|vaes|vpclmulqdq|avx2|avx512f|sha_ni' /proc/cpuinfo | sort -u | tr '\n' ' ')"
  echo "memory=$(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
  echo "kernel=$(uname -r)"
  echo "filesystem=$(findmnt -n -o FSTYPE -T "$work") ($work)"
  echo "compiler=$(g++ --version | head -1)"
  for p in libgcrypt20 libzstd1 libargon2-1 tar zstd age 7zip gnupg; do
    echo "pkg_$p=$(dpkg-query -W -f='${Version}' "$p" 2>/dev/null || echo '?')"
  done
  echo "quarn=$(git -C "$repo" rev-parse --short HEAD)$(git -C "$repo" diff --quiet HEAD -- core writer cli || echo '+changes')"
  echo "date=$(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "size=$size"
  echo "tree_bytes=$tree_bytes"
  echo "tree_files=$tree_files"
  echo "runs=$runs"
  for f in "$arch"/*; do echo "archive_$(basename "$f" | sed "s/-$quarn_id//")=$(stat -c %s "$f")"; done
} >"$machine"
commands_file=$work/commands.txt
printf '%s\n' "${commands[@]}" >"$commands_file"
sed -i "s|$work|\$WORK|g; s|$build|\$BUILD|g; s|-$quarn_id||g; s|-p$password|-p\$PASSWORD|g; s|-p'$password'|-p\$PASSWORD|g; s|\.partial||g" "$creation" "$commands_file"

python3 "$repo/bench/report.py" --machine "$machine" --results "$results" --commands "$commands_file" \
  --creation "$creation" --noisy "$noisy" --machine-scaling "$machine_scaling" \
  --micro "$micro_json" --report "$report"
log "wrote $report"
