#!/usr/bin/env bash
# The kvx benchmark: builds a Release kvx in build-bench, then times the
# default method at every level next to gzip and arj on the corpus (and the
# ZIP reader's Deflate decoder next to libdeflate), and the archiving
# commands next to zip, tar and arj on the unpacked cxx.tar tree (and kvx
# reading the ARJ and ZIP archives of it).
# All engines run in the same invocation, interleaved round by round, and the
# table gives each kvx time as a ratio of the peer's. Nothing is asserted.
#
# Usage: bench/run.sh [--runs N] [--corpus DIR] [--no-build] [--only SECTION]
# (SECTION: default, context, commands or tar; the default is all of them)
set -u
export LC_ALL=C   # EPOCHREALTIME with a decimal point, byte-wise sort

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build-bench
CORPUS=$ROOT/../shared/bench/corpus
RUNS=5
BUILD_FIRST=1
ONLY=
while (($#)); do
  case $1 in
    --runs) RUNS=$2; shift 2 ;;
    --corpus) CORPUS=$2; shift 2 ;;
    --no-build) BUILD_FIRST=0; shift ;;
    --only) ONLY=$2; shift 2 ;;
    *) echo "usage: bench/run.sh [--runs N] [--corpus DIR] [--no-build] [--only SECTION]" >&2; exit 2 ;;
  esac
done
[[ $RUNS =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: --runs wants a positive number" >&2; exit 2; }
CORPUS=$(cd "$CORPUS" 2>/dev/null && pwd) || { echo "run.sh: no corpus folder" >&2; exit 1; }
FILES=(cxx.tar libstdcxx.so)
for f in "${FILES[@]}"; do
  [[ -f $CORPUS/$f ]] || { echo "run.sh: $CORPUS/$f is missing" >&2; exit 1; }
done

say() { printf '%s\n' "$*" >&2; }

# ---- peers ----------------------------------------------------------------
# Debian package of each tool the table needs; installed when missing and we
# may (root), otherwise the rows that need it report "unavailable".
need_tools() {
  local missing=() pkg tool
  for pkg in time gzip arj zip unzip tar bzip2 xz-utils p7zip-full libdeflate-tools libdeflate-dev; do
    case $pkg in
      time) tool=/usr/bin/time ;;   # not the shell keyword
      xz-utils) tool=xz ;;
      p7zip-full) tool=7z ;;
      libdeflate-tools) tool=libdeflate-gunzip ;;
      libdeflate-dev) [[ -f /usr/include/libdeflate.h ]] || missing+=("$pkg"); continue ;;
      *) tool=$pkg ;;
    esac
    command -v "$tool" >/dev/null 2>&1 || missing+=("$pkg")
  done
  ((${#missing[@]})) || return 0
  if [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
    say "installing ${missing[*]}"
    apt-get install -y "${missing[@]}" >/dev/null 2>&1 ||
      { apt-get update >/dev/null 2>&1 && apt-get install -y "${missing[@]}" >/dev/null 2>&1; } ||
      say "could not install ${missing[*]}"
  else
    say "missing ${missing[*]} (not root: rows that need them are skipped)"
  fi
}
need_tools
[[ -x /usr/bin/time ]] || { echo "run.sh: /usr/bin/time is needed for peak memory" >&2; exit 1; }
have() { command -v "$1" >/dev/null 2>&1; }

# ---- build ----------------------------------------------------------------
if ((BUILD_FIRST)); then
  LOG=$BUILD/bench-build.log
  mkdir -p "$BUILD"
  # A new build folder gets Ninja when present and no tests (they need GoogleTest).
  fresh=()
  [[ -f $BUILD/CMakeCache.txt ]] || fresh=(-DKVX_TESTS=OFF)
  [[ -f $BUILD/CMakeCache.txt ]] || ! have ninja || fresh+=(-G Ninja)
  cmake -S "$ROOT" -B "$BUILD" "${fresh[@]}" -DCMAKE_BUILD_TYPE=Release -DKVX_SANITIZE=OFF \
    >"$LOG" 2>&1 || { cat "$LOG" >&2; exit 1; }
  cmake --build "$BUILD" --target kvx_codec_bench -j2 >>"$LOG" 2>&1 ||
    { tail -40 "$LOG" >&2; exit 1; }
  # Built only where libdeflate's header is (its rows are skipped otherwise).
  cmake --build "$BUILD" --target inflate_bench -j2 >>"$LOG" 2>&1 || true
  # The command rows need the program itself; its build may fail on its own.
  cmake --build "$BUILD" --target kvx -j2 >>"$LOG" 2>&1 || say "kvx did not build (see $LOG)"
fi
CODEC=$BUILD/kvx_codec_bench
KVX=$BUILD/kvx
INFLATE=$BUILD/inflate_bench
[[ -x $CODEC ]] || { echo "run.sh: $CODEC is missing" >&2; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kvx-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# ---- engines and timing ---------------------------------------------------
# A job is one timed command: its label, a preparation run before each timing
# (not timed), the command (a string for eval, words quoted with %q), the
# folder it runs in and the file its standard output goes to.
JOB_NAME=() JOB_PREP=() JOB_CMD=() JOB_DIR=() JOB_OUT=()
declare -A JOB_OF   # label -> job number
TIMES=()            # job -> space-separated microseconds of each run
PEAK=()             # job -> largest peak resident set, KB
FAILED=()           # job -> why it failed, or empty

q() { printf '%q ' "$@"; }

add_job() {  # label prep dir out command...
  local n=${#JOB_NAME[@]}
  JOB_NAME[n]=$1 JOB_PREP[n]=$2 JOB_DIR[n]=$3 JOB_OUT[n]=$4
  shift 4
  JOB_CMD[n]=$(q "$@") TIMES[n]='' PEAK[n]=0 FAILED[n]=''
  JOB_OF[${JOB_NAME[n]}]=$n
}

run_job() {  # job: one timed run, adds to TIMES and PEAK or sets FAILED
  local n=$1 t0 t1 status kb
  [[ -z ${FAILED[n]} ]] || return 0
  eval "${JOB_PREP[n]}"
  cd "${JOB_DIR[n]}" || { FAILED[n]="no folder ${JOB_DIR[n]}"; return 0; }
  t0=$EPOCHREALTIME
  eval "/usr/bin/time -f %M -o $(q "$WORK/rss") ${JOB_CMD[n]}" \
    </dev/null >"${JOB_OUT[n]}" 2>"$WORK/stderr"
  status=$?
  t1=$EPOCHREALTIME
  cd "$WORK" || exit 1
  if ((status != 0)); then
    FAILED[n]="exit status $status: $(head -c 300 "$WORK/stderr" | tr '\n' ' ')"
    return 0
  fi
  TIMES[n]+="$(( 10#${t1/./} - 10#${t0/./} )) "
  kb=$(tail -n 1 "$WORK/rss")
  ((kb > PEAK[n])) && PEAK[n]=$kb
  return 0
}

# Runs the given jobs once untimed (warm caches, outputs for the next phase),
# then RUNS rounds in which every job runs once, so that a change in the
# machine's load falls on all engines alike.
run_rounds() {
  local n round
  for n in "$@"; do run_job "$n"; done
  for n in "$@"; do TIMES[n]='' PEAK[n]=0; done
  for ((round = 0; round < RUNS; round++)); do
    for n in "$@"; do run_job "$n"; done
  done
}

median_us() {  # job -> median microseconds, or empty
  local n=$1 sorted count
  [[ -z ${FAILED[n]} && -n ${TIMES[n]} ]] || return 0
  mapfile -t sorted < <(tr ' ' '\n' <<<"${TIMES[n]}" | grep . | sort -n)
  count=${#sorted[@]}
  if ((count % 2)); then echo "${sorted[count / 2]}"
  else echo $(( (sorted[count / 2 - 1] + sorted[count / 2]) / 2 )); fi
}

# Fixed-point text of a / b with two decimals; "-" when either is missing.
ratio() {
  [[ -n $1 && -n $2 && $2 != 0 ]] || { echo "-"; return; }
  local r=$(( ($1 * 200 + $2) / ($2 * 2) ))
  printf '%d.%02d' $((r / 100)) $((r % 100))
}
ms() { [[ -n $1 ]] && printf '%d.%d' $(($1 / 1000)) $(($1 % 1000 / 100)) || echo "-"; }
percent() { ratio $(( $1 * 100 )) "$2"; }
size_of() { stat -c %s "$1" 2>/dev/null; }

# Label lookups for the table: median, peak, status.
med() { local n=${JOB_OF[$1]:-}; [[ -n $n ]] && median_us "$n"; }
peak() { local n=${JOB_OF[$1]:-}; [[ -n $n && -z ${FAILED[n]} ]] && echo "${PEAK[n]}" || echo "-"; }
failure() { local n=${JOB_OF[$1]:-}; [[ -n $n ]] && echo "${FAILED[n]}" || echo "not run"; }

# ---- codec level ----------------------------------------------------------
# The engines come from the bench program's table: a name, a row label and
# the table it belongs to (the default method's, or the context models').
ENGINES=() CONTEXT_ENGINES=()
declare -A LABEL=()
while IFS=$'\t' read -r name label table; do
  if [[ $table == context ]]; then CONTEXT_ENGINES+=("$name"); else ENGINES+=("$name"); fi
  LABEL[$name]=$label
done < <("$CODEC" engines)
REPORT=()   # lines of the finished table
GOALS=()    # lines comparing with the project's goals
WORST_RSS=0

kvx_cli_works() { [[ -x $KVX ]] && "$KVX" a "$WORK/probe.kvn" "$CODEC" </dev/null >/dev/null 2>&1 &&
  "$KVX" t "$WORK/probe.kvn" </dev/null >/dev/null 2>&1; }
CLI=0
kvx_cli_works && CLI=1
rm -f "$WORK/probe.kvn"

codec_file() {  # file name in the corpus
  local f=$1 in=$CORPUS/$1 dir=$WORK/codec-$1 level packs=() tests=()
  mkdir -p "$dir"
  for level in "${ENGINES[@]}"; do
    add_job "$f kvx pack $level" "" "$dir" /dev/null "$CODEC" pack "$level" "$in" "$dir/kvx$level.bin"
    packs+=("${JOB_OF[$f kvx pack $level]}")
    add_job "$f kvx test $level" "" "$dir" /dev/null "$CODEC" test "$level" "$dir/kvx$level.bin"
    tests+=("${JOB_OF[$f kvx test $level]}")
  done
  if ((CLI)); then
    add_job "$f kvx a" "rm -f $(q "$dir/cli.kvn")" "$dir" /dev/null "$KVX" a -y "$dir/cli.kvn" "$in"
    packs+=("${JOB_OF[$f kvx a]}")
    add_job "$f kvx t" "" "$dir" /dev/null "$KVX" t -y "$dir/cli.kvn"
    tests+=("${JOB_OF[$f kvx t]}")
  fi
  if have gzip; then
    add_job "$f gzip -6" "" "$dir" "$dir/g6.gz" gzip -6 -c "$in"
    add_job "$f gzip -9" "" "$dir" "$dir/g9.gz" gzip -9 -c "$in"
    add_job "$f gzip -dc -6" "" "$dir" /dev/null gzip -dc "$dir/g6.gz"
    add_job "$f gzip -dc -9" "" "$dir" /dev/null gzip -dc "$dir/g9.gz"
    packs+=("${JOB_OF[$f gzip -6]}" "${JOB_OF[$f gzip -9]}")
    tests+=("${JOB_OF[$f gzip -dc -6]}" "${JOB_OF[$f gzip -dc -9]}")
    # The Deflate stream of the gzip -6 file through the ZIP reader's decoder,
    # next to libdeflate testing the very same file.
    add_job "$f kvx inflate" "" "$dir" /dev/null "$CODEC" inflate "$dir/g6.gz"
    tests+=("${JOB_OF[$f kvx inflate]}")
    if have libdeflate-gunzip; then
      add_job "$f libdeflate -t" "" "$dir" /dev/null libdeflate-gunzip -t "$dir/g6.gz"
      tests+=("${JOB_OF[$f libdeflate -t]}")
    fi
  fi
  if have arj; then
    add_job "$f arj a -m1" "rm -f $(q "$dir/a1.arj")" "$dir" /dev/null arj a -m1 -y "$dir/a1.arj" "$in"
    add_job "$f arj t" "" "$dir" /dev/null arj t -y "$dir/a1.arj"
    packs+=("${JOB_OF[$f arj a -m1]}")
    tests+=("${JOB_OF[$f arj t]}")
  fi
  say "$f: packing, $RUNS rounds"
  run_rounds "${packs[@]}"
  say "$f: unpacking, $RUNS rounds"
  run_rounds "${tests[@]}"
  # A kvx row only counts when its stream also decodes to the very same bytes.
  for level in "${ENGINES[@]}"; do
    local n=${JOB_OF[$f kvx pack $level]}
    [[ -z ${FAILED[n]} ]] || continue
    if ! "$CODEC" unpack "$level" "$dir/kvx$level.bin" "$dir/back" || ! cmp -s "$dir/back" "$in"; then
      FAILED[n]="round trip differs"
    fi
    rm -f "$dir/back"
  done
  codec_table "$f"
}

# One row: label, output size, pack job, unpack job, size of the original.
codec_row() {
  local label=$1 size=$2 pack=$3 test=$4 original=$5
  local pm tm why
  pm=$(med "$pack") tm=$(med "$test")
  why=$(failure "$pack")
  [[ -n $why ]] || why=$(failure "$test")
  if [[ -n $why ]]; then
    REPORT+=("$(printf '%-22s unavailable: %s' "$label" "$why")")
    return
  fi
  REPORT+=("$(printf '%-22s %9s %6s %9s %7s %7s %9s %7s %7s %8s %8s' "$label" "$size" \
    "$(percent "$size" "$original")" "$(ms "$pm")" \
    "$(ratio "$pm" "$(med "$CUR gzip -6")")" "$(ratio "$pm" "$(med "$CUR arj a -m1")")" \
    "$(ms "$tm")" "$(ratio "$tm" "$(med "$CUR gzip -dc -6")")" "$(ratio "$tm" "$(med "$CUR arj t")")" \
    "$(peak "$pack")" "$(peak "$test")")")
  note_kvx_peak "$label" "$pack" "$test"
}

note_kvx_peak() {  # row label, job labels: keeps the largest peak of kvx's rows
  local label=$1 job kb
  shift
  [[ $label == kvx* ]] || return 0
  for job in "$@"; do
    kb=$(peak "$job")
    [[ $kb != - ]] && ((kb > WORST_RSS)) && WORST_RSS=$kb
  done
  return 0
}

codec_table() {
  local f=$1 dir=$WORK/codec-$1 original level size
  CUR=$f
  original=$(size_of "$CORPUS/$f")
  REPORT+=("" "== $f, $original bytes: default method, median of $RUNS runs")
  REPORT+=("$(printf '%-22s %9s %6s %9s %7s %7s %9s %7s %7s %8s %8s' engine size '%' \
    'pack ms' '/gz-6' '/arj' 'unpk ms' '/gz-dc' '/arj-t' 'pack KB' 'unpk KB')")
  for level in "${ENGINES[@]}"; do
    size=$("$CODEC" size "$dir/kvx$level.bin" 2>/dev/null)
    codec_row "${LABEL[$level]}" "${size:-0}" "$f kvx pack $level" "$f kvx test $level" "$original"
  done
  if ((CLI)); then
    codec_row "kvx a / kvx t" "$(size_of "$dir/cli.kvn")" "$f kvx a" "$f kvx t" "$original"
  else
    REPORT+=("$(printf '%-22s unavailable: kvx a / kvx t do not work yet' "kvx a / kvx t")")
  fi
  codec_row "gzip -6 / -dc" "$(size_of "$dir/g6.gz")" "$f gzip -6" "$f gzip -dc -6" "$original"
  codec_row "gzip -9 / -dc" "$(size_of "$dir/g9.gz")" "$f gzip -9" "$f gzip -dc -9" "$original"
  codec_row "arj a -m1 / arj t" "$(size_of "$dir/a1.arj")" "$f arj a -m1" "$f arj t" "$original"

  # The project's goals, reported next to the table.
  local worst=-1 worst_level=
  for level in "${ENGINES[@]}"; do
    local r; r=$(ratio "$(med "$f kvx test $level")" "$(med "$f gzip -dc -6")")
    [[ $r == - ]] && continue
    if ((10#${r/./} > worst)); then worst=$((10#${r/./})) worst_level=$level; fi
  done
  local zero_gz zero_arj
  zero_gz=$(ratio "$(med "$f kvx pack 0")" "$(med "$f gzip -6")")
  zero_arj=$(ratio "$(med "$f kvx pack 0")" "$(med "$f arj a -m1")")
  local worst_text=-
  ((worst >= 0)) && worst_text=$(ratio "$worst" 100)
  GOALS+=("$f: slowest kvx unpacking = $worst_text x gzip -dc (level $worst_level)   goal <= 0.60: $(verdict "$worst" 60)")
  GOALS+=("$f: level 0 packing = $zero_gz x gzip -6   goal <= 1.00: $(verdict "${zero_gz/./}" 100)")
  GOALS+=("$f: level 0 packing = $zero_arj x arj a -m1   goal <= 0.60: $(verdict "${zero_arj/./}" 60)")
}

# ---- Deflate decoding ----------------------------------------------------
# The ZIP reader's decoder on the gzip -6 stream of each corpus file, next to
# libdeflate-gunzip -t of the same file (both check the CRC-32), and, where
# inflate_bench was built, both decoders in one process without start-up.
inflate_table() {
  local f dir original k r label
  REPORT+=("" "== Deflate decoding: the gzip -6 file of each corpus file, median of $RUNS runs")
  REPORT+=("$(printf '%-16s %-13s %8s %8s %8s %8s %9s' engine file 'ms' 'MB/s' '/ldgz-t' '/gz-dc' 'KB')")
  for f in "${FILES[@]}"; do
    dir=$WORK/codec-$f original=$(size_of "$CORPUS/$f")
    for label in "kvx inflate" "libdeflate -t" "gzip -dc -6"; do
      local job="$f $label" why
      why=$(failure "$job")
      if [[ -n $why ]]; then
        REPORT+=("$(printf '%-16s %-13s unavailable: %s' "$label" "$f" "$why")")
        continue
      fi
      local m; m=$(med "$job")
      REPORT+=("$(printf '%-16s %-13s %8s %8s %8s %8s %9s' "$label" "$f" "$(ms "$m")" \
        "$([[ -n $m ]] && echo $((original / m)) || echo -)" \
        "$(ratio "$m" "$(med "$f libdeflate -t")")" "$(ratio "$m" "$(med "$f gzip -dc -6")")" "$(peak "$job")")")
    done
    r=$(ratio "$(med "$f kvx inflate")" "$(med "$f libdeflate -t")")
    GOALS+=("$f: kvx inflate = $r x libdeflate-gunzip -t   goal <= 1.00: $(verdict "${r/./}" 100)")
  done
  if [[ -x $INFLATE ]]; then
    REPORT+=("" "== Deflate decoding in one process (inflate_bench: no start-up, median of $((RUNS * 3)) passes)")
    for f in "${FILES[@]}"; do
      [[ -f $WORK/codec-$f/g6.gz ]] || continue
      mapfile -t k < <("$INFLATE" "$WORK/codec-$f/g6.gz" $((RUNS * 3)) 2>&1)
      REPORT+=("$f:" "${k[@]:1}")
    done
  else
    REPORT+=("" "(inflate_bench not built: libdeflate's header is missing, Debian package libdeflate-dev)")
  fi
}

verdict() {  # hundredths, limit in hundredths
  [[ $1 =~ ^[0-9]+$ ]] || { echo "not measured"; return; }
  ((10#$1 <= $2)) && echo met || echo "NOT met"
}

# ---- context models -------------------------------------------------------
# The high method and method five next to bzip2 -9, xz -6 and 7z's PPMd of
# order 5; every time is also compared with bzip2 -9 packing, the goal.
context_file() {  # file name in the corpus
  local f=$1 in=$CORPUS/$1 dir=$WORK/context-$1 e packs=() tests=()
  mkdir -p "$dir"
  for e in "${CONTEXT_ENGINES[@]}"; do
    add_job "$f kvx pack $e" "" "$dir" /dev/null "$CODEC" pack "$e" "$in" "$dir/kvx$e.bin"
    add_job "$f kvx test $e" "" "$dir" /dev/null "$CODEC" test "$e" "$dir/kvx$e.bin"
    packs+=("${JOB_OF[$f kvx pack $e]}") tests+=("${JOB_OF[$f kvx test $e]}")
  done
  if have bzip2; then
    add_job "$f bzip2 -9" "" "$dir" "$dir/b9.bz2" bzip2 -9 -c "$in"
    add_job "$f bzip2 -dc" "" "$dir" /dev/null bzip2 -dc "$dir/b9.bz2"
    packs+=("${JOB_OF[$f bzip2 -9]}") tests+=("${JOB_OF[$f bzip2 -dc]}")
  fi
  if have xz; then
    add_job "$f xz -6" "" "$dir" "$dir/x6.xz" xz -6 -c "$in"
    add_job "$f xz -dc" "" "$dir" /dev/null xz -dc "$dir/x6.xz"
    packs+=("${JOB_OF[$f xz -6]}") tests+=("${JOB_OF[$f xz -dc]}")
  fi
  if have 7z; then
    add_job "$f 7z ppmd" "rm -f $(q "$dir/p5.7z")" "$dir" /dev/null 7z a -m0=PPMd:o=5 -mmt=1 "$dir/p5.7z" "$in"
    add_job "$f 7z t" "" "$dir" /dev/null 7z t "$dir/p5.7z"
    packs+=("${JOB_OF[$f 7z ppmd]}") tests+=("${JOB_OF[$f 7z t]}")
  fi
  say "$f: context models packing, $RUNS rounds"
  run_rounds "${packs[@]}"
  say "$f: context models unpacking, $RUNS rounds"
  run_rounds "${tests[@]}"
  for e in "${CONTEXT_ENGINES[@]}"; do
    local n=${JOB_OF[$f kvx pack $e]}
    [[ -z ${FAILED[n]} ]] || continue
    if ! "$CODEC" unpack "$e" "$dir/kvx$e.bin" "$dir/back" || ! cmp -s "$dir/back" "$in"; then
      FAILED[n]="round trip differs"
    fi
    rm -f "$dir/back"
  done

  local original size label bz worst=0
  original=$(size_of "$in")
  bz=$(med "$f bzip2 -9")
  REPORT+=("" "== $f, $original bytes: context models, median of $RUNS runs (/bz2 = time / bzip2 -9 packing)")
  REPORT+=("$(printf '%-22s %9s %6s %9s %6s %6s %9s %6s %6s %8s %8s' engine size '%' 'pack ms' 'MB/s' '/bz2' \
    'unpk ms' 'MB/s' '/bz2' 'pack KB' 'unpk KB')")
  context_row() {  # label size pack-job unpack-job
    local why pm tm
    why=$(failure "$3")
    [[ -n $why ]] || why=$(failure "$4")
    if [[ -n $why ]]; then
      REPORT+=("$(printf '%-22s unavailable: %s' "$1" "$why")")
      return
    fi
    pm=$(med "$3") tm=$(med "$4")
    REPORT+=("$(printf '%-22s %9s %6s %9s %6s %6s %9s %6s %6s %8s %8s' "$1" "$2" "$(percent "$2" "$original")" \
      "$(ms "$pm")" "$(ratio "$original" "$pm")" "$(ratio "$pm" "$bz")" \
      "$(ms "$tm")" "$(ratio "$original" "$tm")" "$(ratio "$tm" "$bz")" "$(peak "$3")" "$(peak "$4")")")
    note_kvx_peak "$1" "$3" "$4"
  }
  for e in "${CONTEXT_ENGINES[@]}"; do
    size=$("$CODEC" size "$dir/kvx$e.bin" 2>/dev/null)
    context_row "${LABEL[$e]}" "${size:-0}" "$f kvx pack $e" "$f kvx test $e"
    local r
    for r in "$(ratio "$(med "$f kvx pack $e")" "$bz")" "$(ratio "$(med "$f kvx test $e")" "$bz")"; do
      if [[ $r != - ]] && ((10#${r/./} > worst)); then worst=$((10#${r/./})); fi
    done
  done
  context_row "bzip2 -9 / -dc" "$(size_of "$dir/b9.bz2")" "$f bzip2 -9" "$f bzip2 -dc"
  context_row "xz -6 / -dc" "$(size_of "$dir/x6.xz")" "$f xz -6" "$f xz -dc"
  context_row "7z PPMd o=5 / t" "$(size_of "$dir/p5.7z")" "$f 7z ppmd" "$f 7z t"
  GOALS+=("$f: slowest context-model time = $(ratio "$worst" 100) x bzip2 -9 packing   goal <= 1.00: $(verdict "$worst" 100)")
}

# ---- commands level -------------------------------------------------------
# The cxx.tar tree archived with recursion and extracted again by each engine.
commands_level() {
  local tree=$WORK/tree out=$WORK/out arcs=$WORK/arcs packs=() unpacks=() tests=()
  mkdir -p "$tree" "$out" "$arcs"
  tar xf "$CORPUS/cxx.tar" -C "$tree" || { REPORT+=("" "commands: cannot unpack cxx.tar"); return; }
  local top; top=$(ls "$tree")
  local clean="rm -rf $(q "$out") && mkdir $(q "$out")"

  # kvx runs even when the commands are not built yet: its rows then say why.
  if [[ -x $KVX ]]; then
    add_job "cmd kvx a -r" "rm -f $(q "$arcs/tree.kvn")" "$tree" /dev/null "$KVX" a -r -y "$arcs/tree.kvn" $top
    add_job "cmd kvx x" "$clean" "$out" /dev/null "$KVX" x -y "$arcs/tree.kvn"
    packs+=("${JOB_OF[cmd kvx a -r]}") unpacks+=("${JOB_OF[cmd kvx x]}")
  fi
  if have zip && have unzip; then
    add_job "cmd zip -r -6" "rm -f $(q "$arcs/tree.zip")" "$tree" /dev/null zip -q -r -6 "$arcs/tree.zip" $top
    add_job "cmd unzip" "$clean" "$out" /dev/null unzip -q "$arcs/tree.zip"
    packs+=("${JOB_OF[cmd zip -r -6]}") unpacks+=("${JOB_OF[cmd unzip]}")
  fi
  add_job "cmd tar czf" "" "$tree" /dev/null tar czf "$arcs/tree.tgz" $top
  add_job "cmd tar xzf" "$clean" "$out" /dev/null tar xzf "$arcs/tree.tgz"
  packs+=("${JOB_OF[cmd tar czf]}") unpacks+=("${JOB_OF[cmd tar xzf]}")
  if have arj; then
    add_job "cmd arj a -r -m1" "rm -f $(q "$arcs/tree.arj")" "$tree" /dev/null arj a -r -m1 -y "$arcs/tree.arj" $top
    add_job "cmd arj x" "$clean" "$out" /dev/null arj x -y "$arcs/tree.arj"
    packs+=("${JOB_OF[cmd arj a -r -m1]}") unpacks+=("${JOB_OF[cmd arj x]}")
    # kvx reading what arj wrote (tests have no output to compare).
    add_job "cmd arj t" "" "$out" /dev/null arj t -y "$arcs/tree.arj"
    tests+=("${JOB_OF[cmd arj t]}")
    if [[ -x $KVX ]]; then
      add_job "cmd kvx t arj" "" "$out" /dev/null "$KVX" t -y "$arcs/tree.arj"
      add_job "cmd kvx x arj" "$clean" "$out" /dev/null "$KVX" x -y "$arcs/tree.arj"
      tests+=("${JOB_OF[cmd kvx t arj]}")
      unpacks+=("${JOB_OF[cmd kvx x arj]}")
    fi
  fi
  # kvx reading what zip wrote, next to unzip, and libdeflate testing the
  # same data as one gzip file (cxx.tar by gzip -6).
  if have zip && have unzip; then
    add_job "cmd unzip -t" "" "$out" /dev/null unzip -tq "$arcs/tree.zip"
    tests+=("${JOB_OF[cmd unzip -t]}")
    if [[ -x $KVX ]]; then
      add_job "cmd kvx t zip" "" "$out" /dev/null "$KVX" t -y "$arcs/tree.zip"
      add_job "cmd kvx x zip" "$clean" "$out" /dev/null "$KVX" x -y "$arcs/tree.zip"
      tests+=("${JOB_OF[cmd kvx t zip]}")
      unpacks+=("${JOB_OF[cmd kvx x zip]}")
    fi
  fi
  if have libdeflate-gunzip && have gzip && gzip -6 -c "$CORPUS/cxx.tar" >"$arcs/cxx.tar.gz"; then
    add_job "cmd libdeflate -t" "" "$out" /dev/null libdeflate-gunzip -t "$arcs/cxx.tar.gz"
    tests+=("${JOB_OF[cmd libdeflate -t]}")
  fi
  say "commands: packing the tree, $RUNS rounds"
  run_rounds "${packs[@]}"
  say "commands: extracting the tree, $RUNS rounds"
  run_rounds "${unpacks[@]}"
  if ((${#tests[@]})); then
    say "commands: testing the arj and zip archives, $RUNS rounds"
    run_rounds "${tests[@]}"
  fi
  # Each extraction must give the tree back (checked once, after the timing).
  local n
  for n in "${unpacks[@]}"; do
    [[ -z ${FAILED[n]} ]] || continue
    eval "$clean"
    (cd "$out" && eval "${JOB_CMD[n]}" </dev/null >/dev/null 2>&1)
    diff -r -q "$tree" "$out" >/dev/null 2>&1 || FAILED[n]="extracted tree differs from the original"
  done

  local files bytes
  files=$(find "$tree" -type f | wc -l) bytes=$(du -sb "$tree" | cut -f1)
  REPORT+=("" "== commands: the cxx.tar tree ($files files, $bytes bytes), median of $RUNS runs")
  REPORT+=("$(printf '%-24s %9s %9s %6s %6s %6s %9s %6s %6s %6s %8s %8s' engine size 'pack ms' \
    '/zip' '/tgz' '/arj' 'extr ms' '/unzip' '/tar' '/arj' 'pack KB' 'extr KB')")
  command_row "kvx a -r / kvx x" "$arcs/tree.kvn" "cmd kvx a -r" "cmd kvx x"
  command_row "zip -r -6 / unzip" "$arcs/tree.zip" "cmd zip -r -6" "cmd unzip"
  command_row "tar czf / tar xzf" "$arcs/tree.tgz" "cmd tar czf" "cmd tar xzf"
  command_row "arj a -r -m1 / arj x" "$arcs/tree.arj" "cmd arj a -r -m1" "cmd arj x"

  # Reading the archive arj made: kvx next to arj itself.
  REPORT+=("" "== arj reading: the tree archived by arj a -r -m1, median of $RUNS runs")
  REPORT+=("$(printf '%-24s %9s %8s %8s' engine 'ms' '/arj t' 'KB')")
  local label job
  for label in "kvx t arj" "arj t" "kvx x arj" "arj x"; do
    job="cmd $label"
    if [[ -n $(failure "$job") ]]; then
      REPORT+=("$(printf '%-24s unavailable: %s' "$label" "$(failure "$job")")")
      continue
    fi
    REPORT+=("$(printf '%-24s %9s %8s %8s' "$label" "$(ms "$(med "$job")")" \
      "$(ratio "$(med "$job")" "$(med "cmd arj t")")" "$(peak "$job")")")
  done
  local r; r=$(ratio "$(med "cmd kvx t arj")" "$(med "cmd arj t")")
  GOALS+=("tree.arj: kvx t = $r x arj t   goal <= 0.50: $(verdict "${r/./}" 50)")

  # Reading the archive zip made: kvx next to unzip and to libdeflate.
  REPORT+=("" "== zip reading: the tree archived by zip -r -6 (libdeflate: cxx.tar as one gzip -6 file), median of $RUNS runs")
  REPORT+=("$(printf '%-24s %9s %8s %8s %8s' engine 'ms' '/unzip-t' '/ldgz-t' 'KB')")
  for label in "kvx t zip" "unzip -t" "libdeflate -t"; do
    job="cmd $label"
    if [[ -n $(failure "$job") ]]; then
      REPORT+=("$(printf '%-24s unavailable: %s' "$label" "$(failure "$job")")")
      continue
    fi
    REPORT+=("$(printf '%-24s %9s %8s %8s %8s' "$label" "$(ms "$(med "$job")")" \
      "$(ratio "$(med "$job")" "$(med "cmd unzip -t")")" "$(ratio "$(med "$job")" "$(med "cmd libdeflate -t")")" \
      "$(peak "$job")")")
  done
  REPORT+=("$(printf '%-24s %9s %8s %8s %8s' engine 'extr ms' '/unzip' '' 'KB')")
  for label in "kvx x zip" "unzip"; do
    job="cmd $label"
    if [[ -n $(failure "$job") ]]; then
      REPORT+=("$(printf '%-24s unavailable: %s' "$label" "$(failure "$job")")")
      continue
    fi
    REPORT+=("$(printf '%-24s %9s %8s %8s %8s' "$label" "$(ms "$(med "$job")")" \
      "$(ratio "$(med "$job")" "$(med "cmd unzip")")" "" "$(peak "$job")")")
  done
  r=$(ratio "$(med "cmd kvx t zip")" "$(med "cmd unzip -t")")
  GOALS+=("tree.zip: kvx t = $r x unzip -t   goal <= 0.60: $(verdict "${r/./}" 60)")
}

command_row() {
  local label=$1 archive=$2 pack=$3 unpack=$4 pm um why
  why=$(failure "$pack")
  [[ -n $why ]] || why=$(failure "$unpack")
  if [[ -n $why ]]; then
    REPORT+=("$(printf '%-24s unavailable: %s' "$label" "$why")")
    return
  fi
  pm=$(med "$pack") um=$(med "$unpack")
  REPORT+=("$(printf '%-24s %9s %9s %6s %6s %6s %9s %6s %6s %6s %8s %8s' "$label" "$(size_of "$archive")" \
    "$(ms "$pm")" "$(ratio "$pm" "$(med "cmd zip -r -6")")" "$(ratio "$pm" "$(med "cmd tar czf")")" \
    "$(ratio "$pm" "$(med "cmd arj a -r -m1")")" \
    "$(ms "$um")" "$(ratio "$um" "$(med "cmd unzip")")" "$(ratio "$um" "$(med "cmd tar xzf")")" \
    "$(ratio "$um" "$(med "cmd arj x")")" "$(peak "$pack")" "$(peak "$unpack")")")
  note_kvx_peak "$label" "$pack" "$unpack"
}

# ---- TAR reading ----------------------------------------------------------
# cxx.tar itself extracted by kvx and by tar.
tar_level() {
  local out=$WORK/tarout clean
  clean="rm -rf $(q "$out") && mkdir $(q "$out")"
  mkdir -p "$out"
  local jobs=()
  if [[ -x $KVX ]]; then
    add_job "tar kvx x" "$clean" "$out" /dev/null "$KVX" x -y "$CORPUS/cxx.tar"
    jobs+=("${JOB_OF[tar kvx x]}")
  fi
  add_job "tar tar xf" "$clean" "$out" /dev/null tar xf "$CORPUS/cxx.tar"
  jobs+=("${JOB_OF[tar tar xf]}")
  say "tar: extracting cxx.tar, $RUNS rounds"
  run_rounds "${jobs[@]}"
  REPORT+=("" "== tar: extracting cxx.tar ($(size_of "$CORPUS/cxx.tar") bytes), median of $RUNS runs")
  REPORT+=("$(printf '%-24s %9s %7s %8s' engine 'extr ms' '/tar' 'extr KB')")
  local label job why
  for label in "kvx x" "tar xf"; do
    job="tar $label"
    why=$(failure "$job")
    if [[ -n $why ]]; then
      REPORT+=("$(printf '%-24s unavailable: %s' "$label" "$why")")
      continue
    fi
    REPORT+=("$(printf '%-24s %9s %7s %8s' "$label" "$(ms "$(med "$job")")" \
      "$(ratio "$(med "$job")" "$(med "tar tar xf")")" "$(peak "$job")")")
  done
  local r; r=$(ratio "$(med "tar kvx x")" "$(med "tar tar xf")")
  GOALS+=("cxx.tar: kvx x = $r x tar xf   goal <= 1.00: $(verdict "${r/./}" 100)")
}

# ---- run ------------------------------------------------------------------
cd "$WORK" || exit 1
# What starting a process under the timer costs: part of every time below.
add_job "start" "" "$WORK" /dev/null true
run_rounds "${JOB_OF[start]}"
want() { [[ -z $ONLY || $ONLY == "$1" ]]; }
if want default; then
  for f in "${FILES[@]}"; do codec_file "$f"; done
  inflate_table
fi
if want context; then for f in "${FILES[@]}"; do context_file "$f"; done; fi
if want commands; then commands_level; fi
if want tar; then tar_level; fi

printf 'kvx benchmark, %s, %s, %d runs per engine (ms = median wall time of one process;\n' \
  "$(date -u '+%Y-%m-%d %H:%M UTC')" "$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)" "$RUNS"
printf '/x = kvx time divided by that peer'"'"'s time, below 1 is faster; KB = peak resident memory;\n'
printf 'starting a process under the timer takes %s ms of each time)\n' "$(ms "$(med start)")"
printf '%s\n' "${REPORT[@]}"
echo
echo "== goals (reported, not enforced)"
printf '%s\n' "${GOALS[@]}"
echo "peak resident memory of kvx = $WORST_RSS KB   goal < 8192 KB: $( ((WORST_RSS > 0 && WORST_RSS < 8192)) && echo met || echo 'NOT met')"
