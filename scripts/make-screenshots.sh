#!/usr/bin/env bash
# Makes the README's screenshots with the program itself: the demo bundle in
# a scratch copy of the program, a real window in Xvfb, clicks by xdotool.
# Needs a serial port to be listed (any will do: the stand-in opens none).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --screenshots

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target appvelmorin esptool-standin velmorin-demo-bundle >/dev/null

out=docs/screenshots
scratch=$(mktemp -d)
display=:$((90 + RANDOM % 100))
cleanup() {
    [[ -n "${app_pid:-}" ]] && kill "$app_pid" 2>/dev/null || true
    [[ -n "${xvfb_pid:-}" ]] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

cp build/app/appvelmorin "$scratch/"
build/tools/demo-bundle/velmorin-demo-bundle "$scratch"

Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp &
xvfb_pid=$!
export DISPLAY=$display QT_QPA_PLATFORM=xcb
sleep 1

start_app() {
    env "$@" "$scratch/appvelmorin" &
    app_pid=$!
    window=$(xdotool search --sync --onlyvisible --name "ESP32-S3 Velmorin" | head -1)
    sleep 1.5
}

shot() {
    import -window "$window" "$out/$1.png"
    echo "wrote $out/$1.png"
}

click() {
    xdotool mousemove --window "$window" "$1" "$2" click 1
}

# Where the flash button and the failure dialog's OK button are in an
# 800 x 520 window.
flash_button=(232 130)

start_app STANDIN_FAIL=
shot idle
click "${flash_button[@]}"
sleep 2.5
shot flashing
sleep 5
shot success
kill "$app_pid"; wait "$app_pid" 2>/dev/null || true

start_app STANDIN_FAIL=write
click "${flash_button[@]}"
sleep 7
shot failure
kill "$app_pid"; wait "$app_pid" 2>/dev/null || true

# The demo profile without firmware.bin: the second entry of the device list.
start_app STANDIN_FAIL=
click 300 30
sleep 0.5
click 200 110
sleep 1
click "${flash_button[@]}"
sleep 1
shot refused
