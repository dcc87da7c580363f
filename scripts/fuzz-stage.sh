#!/usr/bin/env bash
# The fuzz stage of scripts/test.sh, over the harnesses built in BUILD (default build-fuzz):
#  1. the regression inputs of each harness (tests/fuzz/regressions/HARNESS/: every input that
#     once made it fail) run once each, in a fixed order; any failure fails the stage;
#  2. exploration for a fixed time per harness, from fixed seeds. What the fuzzer reaches in
#     that time depends on the machine's speed and load, so a finding is run once more on its
#     own before it counts: a crash, a leak, a sanitizer report or a timeout that happens again
#     fails the stage; a timeout that does not come back (the input ends in time on its own, so
#     the machine was slow) is reported and does not. Either way the reproducing command is
#     printed; an input that fails belongs in the regression folder once it is fixed.
# Usage: fuzz-stage.sh [BUILD]
set -uo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build-fuzz}" && pwd) || exit 2
fuzz=$build/tests/fuzz
regressions=$PWD/tests/fuzz/regressions
# What a reproducing command needs besides the harness and the input.
environment="ASAN_OPTIONS=${ASAN_OPTIONS:-} LSAN_OPTIONS=${LSAN_OPTIONS:-}"
timeout_s=60
status=0

echo "-- regression inputs"
for harness in fuzz_option_dispatch fuzz_option_lines fuzz_media_input; do
  folder=$regressions/$harness
  if ! "$fuzz/$harness" -runs=0 -timeout=$timeout_s "$folder" >"$build/$harness-regressions.log" 2>&1
  then
    tail -n 30 "$build/$harness-regressions.log"
    echo "FAIL: $harness fails on a regression input; reproduce with:"
    echo "  $environment $fuzz/$harness -timeout=$timeout_s $folder/*"
    status=1
  else
    echo "$harness: $(find "$folder" -type f | wc -l) regression inputs pass"
  fi
done
[ "$status" -eq 0 ] || exit "$status"

# explore HARNESS SECONDS ARGS...: fixed-time exploration; a finding is checked once more.
explore() {
  local harness=$1 seconds=$2
  shift 2
  local artifacts=$build/$harness-artifacts/
  rm -rf "$artifacts"
  mkdir -p "$artifacts"
  echo "-- exploring $harness for ${seconds} s"
  if "$fuzz/$harness" -max_total_time="$seconds" -timeout=$timeout_s -seed=1 \
    -artifact_prefix="$artifacts" "$@" >"$build/$harness-explore.log" 2>&1; then
    grep -E '^Done [0-9]+ runs' "$build/$harness-explore.log" | tail -n 1
    return 0
  fi
  tail -n 30 "$build/$harness-explore.log"
  local finding
  finding=$(find "$artifacts" -type f | head -n 1)
  if [ -z "$finding" ]; then
    echo "FAIL: $harness ended with an error and left no input behind"
    return 1
  fi
  local repro="$environment $fuzz/$harness -timeout=$timeout_s $finding"
  echo "-- running the finding once more on its own"
  local started=$SECONDS
  if "$fuzz/$harness" -timeout=$timeout_s "$finding" >"$build/$harness-rerun.log" 2>&1; then
    case $(basename "$finding") in
      timeout-* | slow-unit-*)
        echo "NOTE: $harness timed out on $finding during exploration, but the input ran in" \
          "$((SECONDS - started)) s on its own: a slow or loaded machine, not a hang."
        echo "  reproduce with: $repro"
        return 0
        ;;
    esac
    echo "FAIL: $harness failed on $finding during exploration (it passed on its own:" \
      "a fault that depends on what ran before it)"
  else
    tail -n 30 "$build/$harness-rerun.log"
    echo "FAIL: $harness fails on $finding again on its own"
  fi
  echo "  reproduce with: $repro"
  return 1
}

explore fuzz_option_dispatch 45 -max_len=512 || status=1
explore fuzz_option_lines 45 -max_len=512 || status=1
# Seeds: a tiny file of every container the converter reads, made now with the ffmpeg tool,
# and the regression inputs.
rm -rf "$build/media-seeds" "$build/media-corpus"
bash tests/fuzz/make-media-seeds.sh "$build/media-seeds"
mkdir -p "$build/media-corpus"
explore fuzz_media_input 150 -max_len=32768 "$build/media-corpus" "$build/media-seeds" \
  "$regressions/fuzz_media_input" || status=1
exit "$status"
