#!/usr/bin/env bash
# Cross-builds for Windows (scripts/build-windows.sh, with the demo bundle)
# and runs under Wine in Xvfb: the Qt Test suites, then the deployed program
# itself, unpacked from the zip into a fresh Wine prefix, flashing the demo.
#
#   scripts/test-windows.sh [QT_PREFIX]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build-windows.sh --demo "$@"
out=$PWD/build-windows
qt=${1:-$out/qt6-mingw}

# The Linux build holds the smoke test that drives the Windows program.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target tst_windowsmoke >/dev/null

export WINEDEBUG=-all WINEARCH=win64
# Wine reads Unix file names in the locale's encoding; the test directories
# have Chinese names.
export LC_ALL=C.UTF-8
# No Mono or Gecko installers when a prefix is created.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Xvfb picks a free display itself and names it once it is ready.
rm -f "$out/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$out/display" 2>/dev/null &
xvfb=$!
cleanup() {
    WINEPREFIX=$out/wine-tests wineserver -k 2>/dev/null || true
    WINEPREFIX=$out/wine-user wineserver -k 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
until [[ -s $out/display ]]; do
    kill -0 "$xvfb" 2>/dev/null || { echo "Xvfb did not start" >&2; exit 1; }
    sleep 0.1
done
export DISPLAY=:$(cat "$out/display")

# Wine passes no QT_* variable of this environment to Windows programs; the
# prefix's registry sets them. Qt Quick's default Direct3D backend draws
# nothing under Wine, its software renderer draws correctly.
new_prefix() {
    rm -rf "$WINEPREFIX"
    wine wineboot -i >/dev/null 2>&1
    wine reg add 'HKCU\Environment' /v QT_QUICK_BACKEND /d software /f >/dev/null
    # What Qt reports goes to stderr, where the tests look for it, not to
    # the debugger.
    wine reg add 'HKCU\Environment' /v QT_FORCE_STDERR_LOGGING /d 1 /f >/dev/null
    # A crashing program ends at once instead of waiting for a debugger.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
}

echo "== Windows test suites under Wine"
export WINEPREFIX=$out/wine-tests
new_prefix
wine reg add 'HKCU\Environment' /v QT_QPA_PLATFORM /d offscreen /f >/dev/null
WINEPATH="$(winepath -w "$qt/bin");$(winepath -w /usr/lib/gcc/x86_64-w64-mingw32/*-posix);$(winepath -w /usr/x86_64-w64-mingw32/lib)"
export WINEPATH
ctest --test-dir "$out/build" --output-on-failure
wineserver -k 2>/dev/null || true
unset WINEPATH

echo "== The deployed program under Wine, from the zip in a fresh prefix"
export WINEPREFIX=$out/wine-user
new_prefix
unzip -q "$out"/velmorin-*-windows-x64.zip -d "$WINEPREFIX/drive_c"
program=$(ls "$WINEPREFIX"/drive_c/velmorin-*-windows-x64/appvelmorin.exe)
# The demo's stand-in opens no device, but a port must be listed, whether
# or not this machine has one for Wine to show. The list lives in a part of
# the registry that lasts only as long as the Wine server.
wineserver -k 2>/dev/null || true
wineserver -p
wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v VelmorinDemo /d COM3 /f >/dev/null
VELMORIN_WINDOWS_PROGRAM=$program build/tests/smoke/tst_windowsmoke/tst_windowsmoke \
    "deployedProgramFlashesTheDemo:Windows zip"
