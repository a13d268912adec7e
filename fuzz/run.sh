#!/usr/bin/env bash
# Runs one fuzz target of the fuzz build (build-fuzz, see fuzz/README.md) at
# the lowest priority, with its dictionary and an input length that suits it.
# New inputs go to build-fuzz/corpus/<target>/, findings to
# build-fuzz/artifacts/<target>/; the committed seeds and past crashes are read.
#   fuzz/run.sh TARGET [libFuzzer options...]    e.g. -max_total_time=1800 -runs=10000000
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: fuzz/run.sh TARGET [libFuzzer options...]}
shift
binary=build-fuzz/fuzz/fuzz_$target
[ -x "$binary" ] || { echo "run.sh: no $binary; build the fuzz targets first (fuzz/README.md)" >&2; exit 1; }
case $target in
  cmdline) max_len=4096 ;;
  *_unpack) max_len=8198 ;;
  inflate) max_len=32771 ;;
  default_round_trip) max_len=262148 ;;
  *_round_trip) max_len=65540 ;;
  *) max_len=32769 ;;
esac
work=build-fuzz/corpus/$target
artifacts=build-fuzz/artifacts/$target
mkdir -p "$work" "$artifacts"
options=(-max_len=$max_len -timeout=25 -rss_limit_mb=2560 -print_final_stats=1 -artifact_prefix="$artifacts/")
[ -f "fuzz/dict/$target.dict" ] && options+=(-dict="fuzz/dict/$target.dict")
inputs=("$work" "fuzz/corpus/$target")
[ -d "fuzz/crashes/$target" ] && inputs+=("fuzz/crashes/$target")
exec nice -n 19 "$binary" "${options[@]}" "$@" "${inputs[@]}"
