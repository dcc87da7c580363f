#!/usr/bin/env bash
# Installs the dependencies, builds the converter and runs its main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DQUORVIN_TESTS=OFF
./build/cli/quorvin-convert --list-formats
./build/cli/quorvin-convert --show-options
