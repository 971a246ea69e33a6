#!/usr/bin/env bash
# Configures and builds one build folder: scripts/build.sh [FOLDER [SANITIZERS]]
# FOLDER defaults to build; SANITIZERS is e.g. address,undefined or thread.
set -euo pipefail
cd "$(dirname "$0")/.."
folder=${1:-build}
sanitize=${2:-}
cmake -S . -B "$folder" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMENO_SANITIZE="$sanitize" >/dev/null
cmake --build "$folder" -j"$(nproc)"
