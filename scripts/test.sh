#!/usr/bin/env bash
# Installs the dependencies, then builds and runs the whole test suite:
#  - the libFuzzer harnesses of the option dispatcher, the option-line parser and the media input
#    path with its nested inputs (clang): first every input that once made a harness fail, then
#    exploration for a fixed time so that the stage takes the same time on a loaded machine (a
#    build plus all tests stays under 30 minutes on 2 cores); see scripts/fuzz-stage.sh;
#  - the job component's worker threads, locks, events and log routing under ThreadSanitizer;
#  - every unit and end-to-end test under AddressSanitizer and UndefinedBehaviorSanitizer.
# Warnings are errors in every build, and every C and C++ file is as .clang-format has it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

echo "== source format"
bash scripts/check-format.sh

echo "== fuzzing: the option parser, the option lines and the media input path"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVIN_FUZZ=ON -DQUORVIN_WERROR=ON >/dev/null
cmake --build build-fuzz --target fuzz_option_dispatch fuzz_option_lines fuzz_media_input \
  -j"$jobs"
# Full stacks of allocations: the suppressed library leak is known only by a frame in the
# filter library, which the fast unwinder does not reach.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:fast_unwind_on_malloc=0
export LSAN_OPTIONS=suppressions=$PWD/tests/fuzz/lsan.supp
bash scripts/fuzz-stage.sh build-fuzz
unset ASAN_OPTIONS LSAN_OPTIONS

echo "== job component and the transcode stages under ThreadSanitizer"
# Every format's stages once; the tests of what the sound path writes in each format add no
# other threading and run in the sanitizer stage below.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVIN_TSAN=ON \
  -DQUORVIN_WERROR=ON >/dev/null
cmake --build build-tsan --target quorvin_tests -j"$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
  build-tsan/tests/quorvin_tests --gtest_brief=1 \
  --gtest_filter='JobComponent*:TranscodeTest*:TranscodeEndTest*:VideoPathTest*:AudioPathTest*:OutputFormatsTest.EveryFormat*'

echo "== all tests under AddressSanitizer and UndefinedBehaviorSanitizer"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
bash scripts/build.sh build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVIN_SANITIZE=ON -DQUORVIN_WERROR=ON
ctest --test-dir build-test --output-on-failure -j"$jobs"
