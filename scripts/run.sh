#!/usr/bin/env bash
# Builds the flasher and starts it. Extra arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target appvelmorin esptool-standin
exec build/app/appvelmorin "$@"
