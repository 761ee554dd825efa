#!/usr/bin/env bash
# The end-to-end benchmark: makes reproducible test trees (a mixed tree of
# QUARN_BENCH_SIZE, one file of the same size, and a tree of many small
# files), archives them with quarn and with the tools people would otherwise
# use, times in alternating rounds the extraction and testing of every
# archive and the making of archives, runs the micro-benchmarks
# (quarn_bench), and writes the figures into docs/performance.md between its
# "bench:begin" and "bench:end" markers.
#
# Where the timed commands write (the full list is under "the timed
# commands" below):
#   - in RAM (a tmpfs): every command that extracts files, name ending in
#     "-ram", and every command that makes an archive ("quarn-create-*",
#     "tar-zstd-create*", "tar-zstd-age-create*"), so that the disk's uneven
#     writeback decides none of them;
#   - on the disk of QUARN_BENCH_DIR: the same extraction of the mixed tree by
#     quarn (modes 0 and 1), tar-zstd and the age pipeline, names without
#     "-ram";
#   - nowhere: quarn test and quarn list.
# `sync` runs before every timed run, outside the timed part, so that no
# command pays for the writeback of the one before.
#
# Settings (environment):
#   QUARN_BENCH_SIZE   size of the mixed test tree, e.g. 1G (default) or 128M for a quick run;
#                      the one-file archives hold a file of the same size
#   QUARN_BENCH_SMALL_FILES  files in the many-small-files tree (0-1 KiB each, default 100000);
#                      0 leaves that tree and its commands out
#   QUARN_BENCH_RUNS   timed rounds; medians are taken over them (default 5)
#   QUARN_BENCH_DIR    work folder for the trees, archives and disk extractions (default /tmp/quarn-bench)
#   QUARN_BENCH_RAM    a RAM-backed folder (e.g. /dev/shm/quarn) for the outputs in RAM; when unset
#                      the script mounts a tmpfs at $QUARN_BENCH_DIR/ram (as root) and unmounts it
#                      at exit, or else uses /dev/shm
#   QUARN_BENCH_BUILD  release build folder (default build/release in the repository)
#   QUARN_BENCH_MICRO  0 skips quarn_bench (default 1)
#   QUARN_BENCH_QUIET  machine load (in processors) below which a run may start (default 0.3);
#                      before each run the script waits up to QUARN_BENCH_WAIT seconds (default 30) for it
#   QUARN_BENCH_NOISY  foreign load during a run (processors) from which the run counts as disturbed
#                      and is repeated (default 0.25); the report takes medians of undisturbed runs
#   QUARN_BENCH_REPORT the report to write (default docs/performance.md)
#
# Nothing is written inside the repository but the build folder and the report.
set -Eeuo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
size=${QUARN_BENCH_SIZE:-1G}
small_files=${QUARN_BENCH_SMALL_FILES:-100000}
runs=${QUARN_BENCH_RUNS:-5}
work=${QUARN_BENCH_DIR:-/tmp/quarn-bench}
ram_setting=${QUARN_BENCH_RAM:-}
build=${QUARN_BENCH_BUILD:-$repo/build/release}
micro=${QUARN_BENCH_MICRO:-1}
quiet_below=${QUARN_BENCH_QUIET:-0.3}
quiet_wait=${QUARN_BENCH_WAIT:-30}
noisy=${QUARN_BENCH_NOISY:-0.25}
report=${QUARN_BENCH_REPORT:-$repo/docs/performance.md}
seed=2024

log() { printf 'bench: %s\n' "$*" >&2; }
stop() {
  log "STOPPED: $*"
  exit 1
}

# --- leaving -----------------------------------------------------------------
# Whatever ends the script (the end, a failed command, Ctrl-C, kill), the
# tmpfs it mounted is unmounted and the RAM folder it made is removed. A
# signal becomes an ordinary exit, so that the EXIT trap runs (bash waits
# for the running command first).
ram_mounted=""
ram_made=""
running=""
cleanup() {
  if [[ -n $running ]]; then
    rm -f "$running"
  fi
  if [[ -n ${GNUPGHOME:-} ]]; then
    # gpg starts an agent of its own for this home; it ends with the script.
    gpgconf --kill gpg-agent >/dev/null 2>&1 || true
  fi
  if [[ -n $ram_made ]]; then
    rm -rf "$ram_made" || true
  fi
  if [[ -n $ram_mounted ]]; then
    if umount "$ram_mounted" 2>/dev/null || umount -l "$ram_mounted"; then
      rmdir "$ram_mounted" 2>/dev/null || true
    else
      log "could not unmount the tmpfs at $ram_mounted"
    fi
  fi
}
trap cleanup EXIT
trap 'log "STOPPED by SIGINT"; exit 130' INT
trap 'log "STOPPED by SIGTERM"; exit 143' TERM
trap 'log "STOPPED by SIGHUP"; exit 129' HUP
trap 'log "STOPPED: line $LINENO: \"$BASH_COMMAND\" failed (status $?)"' ERR

mkdir -p "$work"
# One run at a time in a work folder: they would share its files and its tmpfs.
if [[ -f $work/running.pid ]]; then
  other=$(cat "$work/running.pid")
  if [[ $other =~ ^[0-9]+$ ]] && kill -0 "$other" 2>/dev/null && grep -q bench.sh "/proc/$other/cmdline" 2>/dev/null; then
    stop "another run (process $other) is using $work"
  fi
fi
echo $$ >"$work/running.pid"
running=$work/running.pid

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
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null ||
  stop "cmake could not configure $build"
cmake --build "$build" --target quarn quarn_bench -- -j"$(nproc)" >/dev/null ||
  stop "the build failed (cmake --build $build --target quarn quarn_bench shows why)"
quarn=$build/cli/quarn
quarn_bench=$build/bench/quarn_bench

# --- the trees ---------------------------------------------------------------
# Made once and kept in the work folder; the same settings always give the
# same bytes.
set_dir=$work/$size
tree=$set_dir/tree
arch=$set_dir/archives
mkdir -p "$work" "$arch"

# make_once PATH WHAT COMMAND...: runs COMMAND (which makes PATH.partial)
# unless PATH exists.
make_once() {
  local path=$1 what=$2
  shift 2
  [[ -e $path ]] && return 0
  log "making $what (once; kept in $path)"
  rm -rf "$path.partial"
  "$@" || stop "making $what failed: $*"
  mv "$path.partial" "$path"
}
make_once "$tree" "the $size test tree" python3 "$repo/bench/make_tree.py" --size "$size" --seed "$seed" "$tree.partial"
tree_bytes=$(find "$tree" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
tree_files=$(find "$tree" -type f | wc -l)

# One file of the same size: the tree's files, concatenated in the order of
# their paths.
onefile=$set_dir/onefile
concatenate_tree() {
  mkdir "$onefile.partial" &&
    (cd "$tree" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 cat) >"$onefile.partial/tree.bin"
}
make_once "$onefile" "one file of the tree's $tree_bytes bytes" concatenate_tree
onefile_bytes=$(stat -c %s "$onefile/tree.bin")

# The many-small-files tree: QUARN_BENCH_SMALL_FILES files of 0-1 KiB.
small_set=$work/small-$small_files
small_tree=$small_set/tree
small_arch=$small_set/archives
small_bytes=0
if ((small_files > 0)); then
  mkdir -p "$small_arch"
  make_once "$small_tree" "the tree of $small_files small files" \
    python3 "$repo/bench/make_tree.py" --small-files "$small_files" --seed "$seed" "$small_tree.partial"
  small_bytes=$(find "$small_tree" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
  got=$(find "$small_tree" -type f | wc -l)
  ((got == small_files)) || stop "$small_tree holds $got files, not $small_files: remove it and run again"
fi

# --- the archives ------------------------------------------------------------
password_file=$work/password
[[ -f $password_file ]] || printf 'bench-password-2024' >"$password_file"
password=$(cat "$password_file")
export GNUPGHOME=$work/gnupg
mkdir -p "$GNUPGHOME" && chmod 700 "$GNUPGHOME"
age_key=$work/age-key.txt
[[ -f $age_key ]] || age-keygen -o "$age_key" 2>/dev/null
age_recipient=$(age-keygen -y "$age_key")
# Small Argon2id parameters for the small-files archives, so that key
# derivation does not hide the work per file.
small_argon2="--argon2-memory 8192 --argon2-passes 1"

# make_archive PATH COMMAND...: runs COMMAND (which writes PATH.partial)
# unless PATH exists; notes the command for the report either way.
creation=$work/creation.txt
: >"$creation"
make_archive() {
  local path=$1
  shift
  printf '%s\n' "$*" >>"$creation"
  [[ -f $path ]] && return 0
  log "making $(basename "$path")"
  rm -f "$path.partial"
  local t0=$SECONDS
  "$@" || stop "making $path failed: $*"
  mv "$path.partial" "$path"
  log "  $(basename "$path"): $((SECONDS - t0)) s"
}
# The quarn archives are remade when the sources of the writer or of the
# format it uses change: their names carry a hash of those sources.
quarn_id=$(cd "$repo" && find writer core/archive core/crypto core/volumes -type f | sort | xargs cat | sha256sum | cut -c1-12)
# quarn_archive FOLDER NAME OPTIONS... INPUT: FOLDER/NAME-<id>.qrn, made by quarn create.
quarn_archive() {
  local folder=$1 name=$2
  shift 2
  find "$folder" -maxdepth 1 -name "$name-*.qrn" ! -name "$name-$quarn_id.qrn" -delete
  make_archive "$folder/$name-$quarn_id.qrn" "$quarn" create -q -o "$folder/$name-$quarn_id.qrn.partial" "$@"
}
for mode in 0:none 1:aes 2:chacha-aes 5:serpent-twofish-aes; do
  quarn_archive "$arch" "mode${mode%%:*}" --mode "${mode#*:}" --password-file "$password_file" "$tree"
done
make_archive "$arch/tree.tar.zst" bash -c "set -o pipefail; tar -C '$set_dir' -cf - tree | zstd -3 -T0 -q -o '$arch/tree.tar.zst.partial'"
make_archive "$arch/tree.tar.zst.age" age -r "$age_recipient" -o "$arch/tree.tar.zst.age.partial" "$arch/tree.tar.zst"
make_archive "$arch/tree.tar.zst.gpg" gpg --batch --yes --quiet --pinentry-mode loopback --passphrase-file "$password_file" \
  --symmetric --cipher-algo AES256 --compress-algo none -o "$arch/tree.tar.zst.gpg.partial" "$arch/tree.tar.zst"
make_archive "$arch/tree-lzma2.7z" bash -c "cd '$set_dir' && 7zz a -bd -bso0 -bsp0 -t7z -mx=1 -mhe=on -p'$password' '$arch/tree-lzma2.7z.partial' tree"
make_archive "$arch/tree-stored.7z" bash -c "cd '$set_dir' && 7zz a -bd -bso0 -bsp0 -t7z -mx=0 -mhe=on -p'$password' '$arch/tree-stored.7z.partial' tree"
quarn_archive "$arch" onefile-mode0 --mode none "$onefile"
make_archive "$arch/onefile.tar.zst" bash -c "set -o pipefail; tar -C '$set_dir' -cf - onefile | zstd -3 -T0 -q -o '$arch/onefile.tar.zst.partial'"
if ((small_files > 0)); then
  quarn_archive "$small_arch" small-mode0 --mode none "$small_tree"
  # shellcheck disable=SC2086 # small_argon2 is two options and their values
  quarn_archive "$small_arch" small-mode1 --mode aes $small_argon2 --password-file "$password_file" "$small_tree"
  make_archive "$small_arch/small.tar.zst" bash -c "set -o pipefail; tar -C '$small_set' -cf - tree | zstd -3 -T0 -q -o '$small_arch/small.tar.zst.partial'"
fi

# --- the folder in RAM -------------------------------------------------------
# Large enough for the largest output of one run (each run's output is
# removed after it): the mixed tree or the one file, or the small files at a
# page each, with room to spare.
ram_kib=$(awk -v t="$tree_bytes" -v tf="$tree_files" -v o="$onefile_bytes" -v sf="$small_files" -v sb="$small_bytes" \
  'BEGIN {big = t + tf * 4096; if (o + 4096 > big) big = o + 4096; small = sb + sf * 8192
          if (small > big) big = small; printf "%d", (big * 1.25 + 256 * 1048576) / 1024}')
available_kib=$(awk '/^MemAvailable:/ {print $2}' /proc/meminfo)
if ((available_kib < ram_kib + 1048576)); then
  log "warning: $((available_kib / 1024)) MiB of memory available; the outputs in RAM need up to $((ram_kib / 1024)) MiB"
fi
ram_mount=$work/ram
if findmnt -rn "$ram_mount" >/dev/null 2>&1; then
  log "unmounting the tmpfs a stopped run left at $ram_mount"
  umount "$ram_mount" || umount -l "$ram_mount"
fi
if [[ -n $ram_setting ]]; then
  mkdir -p "$ram_setting" || stop "cannot make QUARN_BENCH_RAM=$ram_setting"
  ram_made=$(mktemp -d "$ram_setting/quarn-bench.XXXXXX")
  ram_out=$ram_made
  ram_fs=$(findmnt -n -o FSTYPE -T "$ram_out" | head -n1)
  ram_desc="$ram_setting, named in QUARN_BENCH_RAM ($ram_fs)"
  [[ $ram_fs == tmpfs || $ram_fs == ramfs ]] || log "warning: QUARN_BENCH_RAM=$ram_setting is on $ram_fs, not in RAM"
else
  mkdir -p "$ram_mount"
  if ((EUID == 0)) && mount -t tmpfs -o "size=${ram_kib}k,mode=0700" tmpfs "$ram_mount"; then
    ram_mounted=$ram_mount
    ram_out=$ram_mount
    ram_desc="a tmpfs of $((ram_kib / 1024)) MiB that the script mounted at $ram_mount"
  elif [[ $(findmnt -n -o FSTYPE -T /dev/shm 2>/dev/null | head -n1) == tmpfs && -w /dev/shm ]]; then
    ram_made=$(mktemp -d /dev/shm/quarn-bench.XXXXXX)
    ram_out=$ram_made
    ram_desc="$ram_out in /dev/shm (tmpfs; the script could not mount one of its own)"
  else
    stop "no folder in RAM: run as root (the script mounts a tmpfs) or name one in QUARN_BENCH_RAM"
  fi
fi
log "outputs in RAM go to $ram_desc"

# --- the timed commands ------------------------------------------------------
# add NAME PLACE TREE COMMAND [CHECK]
#   PLACE  where COMMAND writes: disk (the work folder), ram, or - (nowhere).
#          DEST in COMMAND and CHECK is replaced by a new path there for every run.
#   TREE   what it reads or makes, for throughput: big (the mixed tree), file
#          (the one file), small (the small files), or - (no throughput).
#   CHECK  for commands that make an archive: a command that checks DEST
#          after the first round (untimed). Extractions are checked by the
#          number of files they wrote.
commands=()
checks=()
add() {
  commands+=("$1|$2|$3|$4")
  checks+=("${5:-}")
}
m() { echo "$arch/mode$1-$quarn_id.qrn"; }
pw="--password-file $password_file"
age_d="age -d -i $age_key"
gpg_d="gpg --batch --quiet --pinentry-mode loopback --passphrase-file $password_file -d"

# The order alternates quarn and its peers, so that each pair the goals
# compare runs close together in every round.
# The mixed tree, extracted into RAM: every command.
add quarn-extract-m0-ram ram big "$quarn extract -q -o DEST $(m 0)"
add tar-zstd-ram ram big "mkdir DEST && zstd -d -q -c $arch/tree.tar.zst | tar -xf - -C DEST"
add quarn-extract-m1-ram ram big "$quarn extract -q $pw -o DEST $(m 1)"
add age-zstd-tar-ram ram big "mkdir DEST && $age_d $arch/tree.tar.zst.age | zstd -d -q | tar -xf - -C DEST"
add quarn-extract-m2-ram ram big "$quarn extract -q $pw -o DEST $(m 2)"
add gpg-zstd-tar-ram ram big "mkdir DEST && $gpg_d $arch/tree.tar.zst.gpg | zstd -d -q | tar -xf - -C DEST"
add quarn-extract-m5-ram ram big "$quarn extract -q $pw -o DEST $(m 5)"
add 7zz-lzma2-ram ram big "7zz x -bd -bso0 -bsp0 -y -p$password -oDEST $arch/tree-lzma2.7z"
add quarn-extract-m1-1cpu-ram ram big "taskset -c 0 $quarn extract -q $pw -o DEST $(m 1)"
add 7zz-stored-ram ram big "7zz x -bd -bso0 -bsp0 -y -p$password -oDEST $arch/tree-stored.7z"
add quarn-extract-m5-1cpu-ram ram big "taskset -c 0 $quarn extract -q $pw -o DEST $(m 5)"
# The mixed tree, extracted onto the disk: quarn without and with encryption,
# and the two peers that do the same.
add quarn-extract-m0 disk big "$quarn extract -q -o DEST $(m 0)"
add tar-zstd disk big "mkdir DEST && zstd -d -q -c $arch/tree.tar.zst | tar -xf - -C DEST"
add quarn-extract-m1 disk big "$quarn extract -q $pw -o DEST $(m 1)"
add age-zstd-tar disk big "mkdir DEST && $age_d $arch/tree.tar.zst.age | zstd -d -q | tar -xf - -C DEST"
# Testing and opening write nothing.
add quarn-test-m0 - big "$quarn test -q $(m 0)"
add quarn-test-m1 - big "$quarn test -q $pw $(m 1)"
add quarn-test-m2 - big "$quarn test -q $pw $(m 2)"
add quarn-test-m5 - big "$quarn test -q $pw $(m 5)"
add quarn-test-m5-1cpu - big "taskset -c 0 $quarn test -q $pw $(m 5)"
add quarn-list-m1 - - "$quarn list $pw $(m 1) >/dev/null"
# One file of the tree's size, into RAM.
add quarn-extract-file-m0-ram ram file "$quarn extract -q -o DEST $arch/onefile-mode0-$quarn_id.qrn"
add tar-zstd-file-ram ram file "mkdir DEST && zstd -d -q -c $arch/onefile.tar.zst | tar -xf - -C DEST"
# Making archives of the mixed tree, into RAM.
add quarn-create-m0 ram big "$quarn create -q --mode none -o DEST $tree" "$quarn test -q DEST"
add tar-zstd-create ram big "tar -C $set_dir -cf - tree | zstd -3 -T0 -q >DEST" "zstd -q -t DEST"
add quarn-create-m1 ram big "$quarn create -q --mode aes $pw -o DEST $tree" "$quarn test -q $pw DEST"
add tar-zstd-age-create ram big "tar -C $set_dir -cf - tree | zstd -3 -T0 -q | age -r $age_recipient >DEST" \
  "$age_d DEST | zstd -q -t"
if ((small_files > 0)); then
  sm() { echo "$small_arch/small-mode$1-$quarn_id.qrn"; }
  # The small files, extracted into RAM.
  add quarn-extract-small-m0-ram ram small "$quarn extract -q -o DEST $(sm 0)"
  add tar-zstd-small-ram ram small "mkdir DEST && zstd -d -q -c $small_arch/small.tar.zst | tar -xf - -C DEST"
  add quarn-extract-small-m1-ram ram small "$quarn extract -q $pw -o DEST $(sm 1)"
  # Making archives of the small files, into RAM.
  add quarn-create-small-m0 ram small "$quarn create -q --mode none -o DEST $small_tree" "$quarn test -q DEST"
  add tar-zstd-create-small ram small "tar -C $small_set -cf - tree | zstd -3 -T0 -q >DEST" "zstd -q -t DEST"
  add quarn-create-small-m1 ram small "$quarn create -q --mode aes $small_argon2 $pw -o DEST $small_tree" \
    "$quarn test -q $pw DEST"
  add tar-zstd-age-create-small ram small "tar -C $small_set -cf - tree | zstd -3 -T0 -q | age -r $age_recipient >DEST" \
    "$age_d DEST | zstd -q -t"
  add quarn-create-small-m0-1thread ram small "$quarn create -q --mode none --threads 1 -o DEST $small_tree" \
    "$quarn test -q DEST"
fi

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
rm -rf "$out_root"
mkdir -p "$out_root"
results=$work/results.tsv
printf 'name\tround\twall_s\tmaxrss_kib\tuser_s\tsys_s\tload_before\tforeign_load\n' >"$results"

log "warming the page cache"
cat "$arch"/*.qrn "$arch"/*.zst* "$arch"/*.7z >/dev/null
find "$tree" -type f -exec cat {} + >/dev/null
if ((small_files > 0)); then
  cat "$small_arch"/* >/dev/null
  find "$small_tree" -type f -exec cat {} + >/dev/null
fi

# run_one INDEX ROUND: one timed run of commands[INDEX] into a fresh
# destination; appends a line to $results.
run_one() {
  local entry=${commands[$1]} check=${checks[$1]} round=$2
  local name=${entry%%|*} rest=${entry#*|}
  local place=${rest%%|*}
  rest=${rest#*|}
  local what=${rest%%|*} cmd=${rest#*|}
  # No dot in DEST: quarn reads a numeric extension as a part of a split archive.
  local dest=""
  case $place in
    disk) dest=$out_root/$name-r$round-$$-$RANDOM ;;
    ram) dest=$ram_out/$name-r$round-$$-$RANDOM ;;
  esac
  cmd=${cmd//DEST/$dest}
  check=${check//DEST/$dest}
  local load_before timing=$work/time.txt b0 b1 wall rss user sys got want foreign
  # The tree a command reads goes back into the page cache first: this host
  # drops pages left idle for a while, and the first command to read the tree
  # after the extractions would pay for the disk while the next one would not.
  if [[ $name == *create* ]]; then
    case $what in
      big) tar -C "$(dirname "$tree")" -cf - "$(basename "$tree")" | cat >/dev/null ;;
      small) tar -C "$small_set" -cf - tree | cat >/dev/null ;;
    esac
  fi
  # Written data of earlier runs goes to the disk now, not during this run.
  sync
  load_before=$(wait_quiet)
  b0=$(busy_ticks)
  if ! /usr/bin/time -f '%e %M %U %S' -o "$timing" bash -c "set -o pipefail; $cmd" >"$work/last.out" 2>&1; then
    cat "$work/last.out" >&2
    stop "$name failed (round $round): $cmd"
  fi
  b1=$(busy_ticks)
  read -r wall rss user sys <"$timing"
  if [[ $round == 1 && -n $dest ]]; then
    if [[ -d $dest ]]; then
      case $what in
        big) want=$tree_files ;;
        small) want=$small_files ;;
        file) want=1 ;;
      esac
      got=$(find "$dest" -type f | wc -l)
      [[ $got == "$want" ]] || stop "$name extracted $got files, not $want: $cmd"
    elif [[ ! -s $dest ]]; then
      stop "$name wrote nothing to $dest: $cmd"
    fi
    if [[ -n $check ]] && ! bash -c "set -o pipefail; $check" >"$work/last.out" 2>&1; then
      cat "$work/last.out" >&2
      stop "what $name made does not pass its check: $check"
    fi
  fi
  [[ -z $dest ]] || rm -rf "$dest"
  foreign=$(awk -v d=$((b1 - b0)) -v u="$user" -v s="$sys" -v w="$wall" \
    'BEGIN {f = (d / 100 - u - s) / w; if (f < 0) f = 0; printf "%.2f", f}')
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$round" "$wall" "$rss" "$user" "$sys" "$load_before" "$foreign" \
    >>"$results"
  log "round $round: $name ${wall} s, $((rss / 1024)) MiB, foreign load $foreign"
}

count=${#commands[@]}
log "$runs rounds of $count commands: $tree_files files, $tree_bytes bytes; one file of $onefile_bytes bytes; $small_files small files"
for ((round = 1; round <= runs; round++)); do
  for ((k = 0; k < count; k++)); do
    # Each round starts one command later, so that no command always follows
    # the same one; quarn and its peers alternate within a round.
    run_one $(((k + round - 1) % count)) "$round"
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
  for ((k = 0; k < count; k++)); do
    name=${commands[$k]%%|*}
    grep -qx -- "$name" <<<"$lacking" || continue
    extra=$((extra + 1))
    run_one "$k" "x$extra"
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
  echo "filesystem=$(findmnt -n -o FSTYPE -T "$work" | head -n1) ($work)"
  echo "ram=$ram_desc"
  echo "compiler=$(g++ --version | head -1)"
  for p in libgcrypt20 libzstd1 libargon2-1 tar zstd age 7zip gnupg; do
    echo "pkg_$p=$(dpkg-query -W -f='${Version}' "$p" 2>/dev/null || echo '?')"
  done
  echo "quarn=$(git -C "$repo" rev-parse --short HEAD)$(git -C "$repo" diff --quiet HEAD -- core writer cli || echo '+changes')"
  echo "date=$(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "size=$size"
  echo "tree_bytes=$tree_bytes"
  echo "tree_files=$tree_files"
  echo "onefile_bytes=$onefile_bytes"
  echo "small_files=$small_files"
  echo "small_bytes=$small_bytes"
  echo "small_argon2=$small_argon2"
  echo "runs=$runs"
  archives=("$arch"/*)
  if ((small_files > 0)); then archives+=("$small_arch"/*); fi
  for f in "${archives[@]}"; do
    echo "archive_$(basename "$f" | sed "s/-$quarn_id//")=$(stat -c %s "$f")"
  done
} >"$machine"
commands_file=$work/commands.txt
printf '%s\n' "${commands[@]}" >"$commands_file"
sed -i "s|$ram_out|\$RAM|g; s|$age_recipient|\$AGE_RECIPIENT|g; s|$work|\$WORK|g; s|$build|\$BUILD|g; s|-$quarn_id||g; s|-p$password|-p\$PASSWORD|g; s|-p'$password'|-p\$PASSWORD|g; s|\.partial||g" "$creation" "$commands_file"

python3 "$repo/bench/report.py" --machine "$machine" --results "$results" --commands "$commands_file" \
  --creation "$creation" --noisy "$noisy" --machine-scaling "$machine_scaling" \
  --micro "$micro_json" --report "$report"
log "wrote $report"
log "finished in $((SECONDS / 60)) min $((SECONDS % 60)) s"
