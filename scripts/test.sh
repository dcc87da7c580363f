#!/usr/bin/env bash
# Installs the dependencies, builds the project with AddressSanitizer and
# UndefinedBehaviorSanitizer (warnings are errors) and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
bash scripts/build.sh build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVIN_SANITIZE=ON -DQUORVIN_WERROR=ON
ctest --test-dir build-test --output-on-failure -j"$(nproc)"
if [ -x scripts/test-extra.sh ]; then bash scripts/test-extra.sh; fi
