#!/usr/bin/env bash
# Line and branch coverage that a target's corpora reach: builds the replay
# programs with clang's source coverage in build-coverage, replays the
# committed seeds, the past crashes and the corpus the fuzzer grew
# (build-fuzz/corpus/<target>), and reports the source files named, or all.
#   fuzz/coverage.sh TARGET [SOURCE...]     e.g. fuzz/coverage.sh inflate src/formats/inflate.cpp
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: fuzz/coverage.sh TARGET [SOURCE...]}
shift
build=build-coverage
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DKVX_TESTS=OFF \
        -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
        -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" >/dev/null
fi
cmake --build "$build" --target "replay_$target" >/dev/null
profile=$build/$target
LLVM_PROFILE_FILE=$profile.profraw "$build/fuzz/replay_$target" \
  "build-fuzz/corpus/$target" "fuzz/corpus/$target" "fuzz/crashes/$target" >/dev/null 2>&1
llvm-profdata-14 merge -sparse "$profile.profraw" -o "$profile.profdata"
llvm-cov-14 report "$build/fuzz/replay_$target" -instr-profile="$profile.profdata" "$@"
