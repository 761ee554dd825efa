#!/usr/bin/env bash
# Builds the fuzz configuration (build/fuzz: clang 16, libc++, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs the fuzz targets
# of fuzz/.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]   each target (or the named ones) for
#                                           SECONDS (default 60), one at a time
#   scripts/fuzz.sh --smoke [TARGET...]     replays the seeds and the saved
#                                           regressions, then a few thousand
#                                           fixed-seed runs per target
#
# A fuzzing run grows a working corpus in build/fuzz/corpus/TARGET, started
# from fuzz/corpus/TARGET and fuzz/regressions/TARGET, which stay as they are.
# Crashing inputs go to build/fuzz/artifacts/TARGET/, logs to
# build/fuzz/logs/; the targets' scratch files to /dev/shm when it is there.
# Exit status: 0 when no target failed, 1 otherwise.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/fuzz"
all_targets=(header volumes manifest frame extract)

# Longest input per target: room for the largest seed and more.
max_len() {
  case "$1" in
    header) echo 2048 ;;
    frame | volumes) echo 4096 ;;
    manifest | extract) echo 8192 ;;
  esac
}

# Runs per target in --smoke: whole extractions start threads and are slow.
smoke_runs() {
  case "$1" in
    extract) echo 2000 ;;
    *) echo 3000 ;;
  esac
}

smoke=0
seconds=60
targets=()
for arg in "$@"; do
  case "$arg" in
    --smoke) smoke=1 ;;
    -h | --help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *[!0-9]*)
      [[ " ${all_targets[*]} " == *" $arg "* ]] || { echo "fuzz.sh: unknown target $arg (${all_targets[*]})" >&2; exit 2; }
      targets+=("$arg") ;;
    *) seconds="$arg" ;;
  esac
done
((${#targets[@]})) || targets=("${all_targets[@]}")

"$root/scripts/install-deps.sh"
CC=clang-16 CXX=clang++-16 cmake -S "$root" -B "$build" -G Ninja -DQUARN_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
build_targets=()
for t in "${targets[@]}"; do build_targets+=("fuzz_$t"); done
cmake --build "$build" --parallel "$(nproc)" --target "${build_targets[@]}" quarn_fuzz_seeds

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
mkdir -p "$build/logs" "$build/artifacts" "$build/corpus"

# Existing input folders of a target: its seeds and its saved regressions.
inputs() {
  local d
  for d in "$root/fuzz/corpus/$1" "$root/fuzz/regressions/$1"; do
    [[ -d "$d" ]] && echo "$d"
  done
  return 0
}

stat_of() { sed -n "s/^stat::$1: *//p" "$2" | tail -1; }

# The targets write their inputs to files; a memory file system makes that
# cheap (ext4 costs more than the parsing).
scratch_root="$build/tmp"
[[ -d /dev/shm && -w /dev/shm ]] && scratch_root="/dev/shm/quarn-fuzz-$$"
trap 'rm -rf "$build/tmp" "/dev/shm/quarn-fuzz-$$"' EXIT

passed=0
failed=0
failed_names=()
for t in "${targets[@]}"; do
  exe="$build/fuzz/fuzz_$t"
  log="$build/logs/$t.log"
  tmp="$scratch_root/$t"
  rm -rf "$tmp"
  mkdir -p "$tmp" "$build/artifacts/$t"
  mapfile -t dirs < <(inputs "$t")
  args=(-max_len="$(max_len "$t")" -timeout=25 -rss_limit_mb=2560 -print_final_stats=1
        -artifact_prefix="$build/artifacts/$t/")
  [[ -f "$root/fuzz/$t.dict" ]] && args+=(-dict="$root/fuzz/$t.dict")

  start=$(date +%s)
  if ((smoke)); then
    # An empty output folder keeps libFuzzer from adding to the seeds.
    out="$build/smoke/$t"
    rm -rf "$out"
    mkdir -p "$out"
    runs=(-runs="$(smoke_runs "$t")" -seed=1 "$out" "${dirs[@]}")
  else
    mkdir -p "$build/corpus/$t"
    runs=(-max_total_time="$seconds" "$build/corpus/$t" "${dirs[@]}")
  fi
  if TMPDIR="$tmp" "$exe" "${args[@]}" "${runs[@]}" >"$log" 2>&1; then
    result=ok
    passed=$((passed + 1))
  else
    result=FAILED
    failed=$((failed + 1))
    failed_names+=("$t")
  fi
  elapsed=$(($(date +%s) - start))
  rm -rf "$tmp"

  execs="$(stat_of number_of_executed_units "$log")"
  rate="$(stat_of average_exec_per_sec "$log")"
  if ((smoke)); then
    echo "fuzz smoke $t: $result (${execs:-?} runs, ${elapsed} s)"
  else
    files=$(find "$build/corpus/$t" -type f | wc -l)
    bytes=$(du -sb "$build/corpus/$t" | cut -f1)
    echo "fuzz $t: $result (${execs:-?} runs in ${elapsed} s, ${rate:-?}/s, corpus $files files, $bytes B)"
  fi
  if [[ $result == FAILED ]]; then
    pattern="^(==[0-9]+==ERROR|SUMMARY|invariant broken|.*runtime error)|Test unit written"
    { grep -E "$pattern" "$log" || tail -5 "$log"; } | head -8 | sed 's/^/  /'
    echo "  log: $log"
  fi
done

label="fuzz"
((smoke)) && label="fuzz smoke"
echo "$label: $passed passed, $failed failed${failed_names:+ (${failed_names[*]})}"
((failed == 0))
