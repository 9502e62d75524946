#!/usr/bin/env bash
# Cross-builds for Windows (scripts/build-windows.sh, with the demo bundle)
# and runs under Wine in Xvfb: the Qt Test suites, then the deployed program
# itself, unpacked from the zip into a fresh Wine prefix, flashing the demo;
# then the installer in a fresh prefix: installed silently, the program, its
# shortcut and its uninstall entry in place, the installed program flashing
# the demo, an upgrade over an older version and uninstalling keeping
# firmware\ and removing all else.
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
    WINEPREFIX=$out/wine-installer wineserver -k 2>/dev/null || true
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
# nothing under Wine, its software renderer draws correctly: the program
# chooses that one itself, the test binaries that make the window on their
# own are told to.
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
wineserver -k 2>/dev/null || true

echo "== The installer under Wine, in a fresh prefix"
checking=$(date +%s)
installer=$(ls "$out"/velmorin-*-windows-x64-setup.exe)
deploy=${installer%-setup.exe}
# An older version to upgrade from: the same program, and a file that the
# newer one no longer has (and so must not be in the installation after the
# upgrade).
older=$out/velmorin-0.9-windows-x64
rm -rf "$older"
cp -al "$deploy" "$older"
rm -rf "$older/firmware"
echo "Only version 0.9 has this file." > "$older/left-by-0.9.txt"
(cd "$out/build" && cpack -D "CPACK_INSTALLED_DIRECTORIES=$older;." -D CPACK_PACKAGE_VERSION=0.9 \
    -D CPACK_PACKAGE_FILE_NAME=velmorin-0.9-windows-x64-setup -D CPACK_NSIS_COMPRESSOR=zlib >/dev/null)
older_installer=$out/build/velmorin-0.9-windows-x64-setup.exe

fail() {
    echo "$*" >&2
    exit 1
}
# Windows asks for an administrator before it runs a program named like an
# installer, unless the program's manifest asks for no elevation.
grep -aq 'level="asInvoker"' "$installer" || fail "the installer's manifest does not ask to run without elevation"

export WINEPREFIX=$out/wine-installer
new_prefix
windows_path() {
    local path=${1//\\//}
    echo "$WINEPREFIX/drive_c/${path#C:/}"
}
# The uninstaller hands its work to a copy of itself and returns at once;
# whatever the installer or the uninstaller started has ended once the
# prefix's Wine server has.
run_to_end() {
    wine "$@"
    timeout 300 wineserver -w
}
installed=$(windows_path "$(wine cmd /c 'echo %LOCALAPPDATA%' | tr -d '\r')")/Programs/Velmorin
shortcut=$(windows_path "$(wine cmd /c 'echo %APPDATA%' | tr -d '\r')")"/Microsoft/Windows/Start Menu/Programs/Velmorin Flasher.lnk"
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Velmorin'
registry_value() {
    wine reg query "$uninstall_key" /v "$1" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z]* *//p"
}
# The installation holds the deployed folder as it is, its uninstaller and
# firmware\; the shortcut and "Installed apps" lead to it.
check_installed() {
    local version=$1 origin=$2
    # (The folder's README.txt has a note on the demo that the installer's has not.)
    diff -r -x firmware -x Uninstall.exe -x README.txt "$origin" "$installed" || fail "the installation is not the folder it was made from"
    [[ -f "$installed/README.txt" ]] || fail "the installation has no README.txt"
    [[ -d "$installed/firmware" ]] || fail "the installation has no firmware folder"
    [[ -f "$shortcut" ]] || fail "no Start-menu shortcut"
    # A shortcut holds its target's path in the system's code page and the
    # file it takes its icon from in UTF-16; both are the program.
    strings -a "$shortcut" | grep -q '\\Programs\\Velmorin\\appvelmorin\.exe$' \
        || fail "the shortcut does not start the program"
    strings -a -el "$shortcut" | grep -q '\\Programs\\Velmorin\\appvelmorin\.exe$' \
        || fail "the shortcut does not show the program's icon"
    wine uninstaller --list | grep -q '|||Velmorin Flasher' || fail "\"Installed apps\" does not list the program"
    [[ $(registry_value DisplayVersion) == "$version" ]] || fail "the uninstall entry names version $(registry_value DisplayVersion), not $version"
    [[ $(registry_value DisplayIcon) == *'\Programs\Velmorin\appvelmorin.exe' ]] || fail "the uninstall entry shows no icon of the program"
    local uninstaller
    uninstaller=$(registry_value UninstallString)
    uninstaller=${uninstaller//\"/}
    [[ -f $(windows_path "$uninstaller") ]] || fail "the uninstall entry names $uninstaller, which does not exist"
    # Nothing for all users, which would need an administrator.
    ! compgen -G "$WINEPREFIX/drive_c/Program Files*/Velmorin" >/dev/null || fail "installed into Program Files"
    ! wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Velmorin' >/dev/null 2>&1 \
        || fail "an uninstall entry for all users"
}
firmware_files() {
    (cd "$installed/firmware" && find . -type f -exec md5sum {} + | sort -k 2)
}
check_firmware_kept() {
    firmware_files | cmp -s - "$out/firmware-staged" || fail "$1 changed firmware\\: $(firmware_files | diff "$out/firmware-staged" - || true)"
}
check_uninstalled() {
    local left
    [[ -d "$installed/firmware" ]] || fail "the uninstaller removed firmware\\"
    left=$(cd "$installed" && find . -mindepth 1 ! -path './firmware' ! -path './firmware/*')
    [[ -z $left ]] || fail "the uninstaller left $left"
    [[ ! -e $shortcut ]] || fail "the uninstaller left the shortcut"
    ! wine uninstaller --list | grep -q 'Velmorin' || fail "\"Installed apps\" still lists the program"
}

run_to_end "$installer" /S
check_installed 1.0 "$deploy"
echo "Installed: the program in the user's programs folder, the shortcut, the uninstall entry"

# The user puts the firmware beside the program; the installed program
# flashes with it, telling the tool where the images are.
cp -r "$deploy/firmware/." "$installed/firmware/"
firmware_files > "$out/firmware-staged"
rm -f "$out/installed-tool-arguments.json"
# The port as for the zip above.
wineserver -k 2>/dev/null || true
wineserver -p
wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v VelmorinDemo /d COM3 /f >/dev/null
STANDIN_ARGS_FILE="Z:${out//\//\\}\\installed-tool-arguments.json" VELMORIN_WINDOWS_INSTALLED_PROGRAM="$installed/appvelmorin.exe" \
    build/tests/smoke/tst_windowsmoke/tst_windowsmoke "deployedProgramFlashesTheDemo:Windows installer"
wineserver -k
# The tool records its arguments as a JSON list; the images' paths are in
# Qt's form, with forward slashes.
[[ -f "$out/installed-tool-arguments.json" ]] || fail "the installed program ran no tool"
arguments=$(cat "$out/installed-tool-arguments.json")
echo "The tool ran with $arguments"
[[ $arguments == *'"--port", "COM'* ]] || fail "the installed program gave the tool no port"
[[ $(grep -o '"[^"]*\.bin"' <<<"$arguments" | grep -c '/AppData/Local/Programs/Velmorin/firmware/') == 4 \
    && $(grep -o '"[^"]*\.bin"' <<<"$arguments" | wc -l) == 4 ]] \
    || fail "the installed program did not give the tool the four images in its own firmware\\"

run_to_end "$installed/Uninstall.exe" /S
check_uninstalled
check_firmware_kept "uninstalling"
echo "Uninstalled: all gone but firmware\\, which is as it was"

run_to_end "$older_installer" /S
check_installed 0.9 "$older"
run_to_end "$installer" /S
check_installed 1.0 "$deploy"
check_firmware_kept "upgrading"
echo "Upgraded from 0.9: firmware\\ is as it was, nothing of 0.9 is left"

run_to_end "$installed/Uninstall.exe" /S
check_uninstalled
check_firmware_kept "uninstalling"
echo "== The installer checked in $(($(date +%s) - checking)) s ($(du -sm "$installer" | cut -f1) MB)"
