#!/usr/bin/env bash
# Installs the dependencies, then builds and runs the whole test suite:
#  - the libFuzzer harnesses of the option dispatcher, the option-line parser and the media input
#    path with its nested inputs (clang), each for a fixed time so that the stage takes the same
#    time on a loaded machine (a build plus all tests stays under 30 minutes on 2 cores);
#  - the job component's worker threads, locks, events and log routing under ThreadSanitizer;
#  - every unit and end-to-end test under AddressSanitizer and UndefinedBehaviorSanitizer.
# Warnings are errors in every build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

echo "== fuzzing the option parser"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVIN_FUZZ=ON -DQUORVIN_WERROR=ON >/dev/null
cmake --build build-fuzz --target fuzz_option_dispatch fuzz_option_lines fuzz_media_input \
  -j"$jobs"
for harness in fuzz_option_dispatch fuzz_option_lines; do
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    "build-fuzz/tests/fuzz/$harness" -max_total_time=60 -max_len=512 -seed=1 2>&1 | tail -n 2
done

echo "== fuzzing the media input path"
# Seeds: a tiny file of every container the converter reads, made now with the ffmpeg tool.
rm -rf build-fuzz/media-seeds build-fuzz/media-corpus
bash tests/fuzz/make-media-seeds.sh build-fuzz/media-seeds
mkdir -p build-fuzz/media-corpus
# Full stacks of allocations: the suppressed library leak is known only by a frame in the
# filter library, which the fast unwinder does not reach.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:fast_unwind_on_malloc=0 \
  LSAN_OPTIONS=suppressions=$PWD/tests/fuzz/lsan.supp \
  build-fuzz/tests/fuzz/fuzz_media_input -max_total_time=240 -max_len=32768 -timeout=60 -seed=1 \
  -artifact_prefix="$PWD/build-fuzz/" \
  build-fuzz/media-corpus build-fuzz/media-seeds 2>&1 | tail -n 2

echo "== job component and the transcode stages under ThreadSanitizer"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVIN_TSAN=ON \
  -DQUORVIN_WERROR=ON >/dev/null
cmake --build build-tsan --target quorvin_tests -j"$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
  build-tsan/tests/quorvin_tests --gtest_brief=1 \
  --gtest_filter='JobComponent*:TranscodeTest*:TranscodeEndTest*:VideoPathTest*:AudioPathTest*:OutputFormatsTest*'

echo "== all tests under AddressSanitizer and UndefinedBehaviorSanitizer"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
bash scripts/build.sh build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVIN_SANITIZE=ON -DQUORVIN_WERROR=ON
ctest --test-dir build-test --output-on-failure -j"$jobs"
