#!/usr/bin/env bash
# Builds the flasher and starts it. Extra arguments go to the program.
#
# Without a firmware/ directory beside the program, a demo bundle is staged
# there first (a stand-in esptool that writes to no device, and generated
# images and pictures), so the whole flash can be seen without a device.
# STANDIN_FAIL=connect or STANDIN_FAIL=write makes the demo flash fail.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target appvelmorin esptool-standin velmorin-demo-bundle
build/tools/demo-bundle/velmorin-demo-bundle build/app
exec build/app/appvelmorin "$@"
