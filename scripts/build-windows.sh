#!/usr/bin/env bash
# Cross-builds the program, the stand-in and the Qt Test suites for Windows
# x86-64 with Debian's mingw-w64, then deploys the program into a folder
# that runs on its own and packs it as velmorin-<version>-windows-x64.zip and
# as the installer velmorin-<version>-windows-x64-setup.exe.
#
#   scripts/build-windows.sh [--demo] [QT_PREFIX]
#
# QT_PREFIX is a Qt for Windows x86-64 built with mingw-w64 (posix threads).
# Without it, the prebuilt one in ../shared/qt6-mingw is unpacked into
# build-windows/ and used. Debian's Qt serves as the host tools. --demo puts
# the demo firmware bundle into the folder and the zip.
#
# Everything lands in build-windows/: the build in build/, the folder in
# velmorin-<version>-windows-x64/, and the zip and the installer beside it.
set -euo pipefail
cd "$(dirname "$0")/.."

demo=0
qt=""
for argument in "$@"; do
    case "$argument" in
        --demo) demo=1 ;;
        *) qt=$argument ;;
    esac
done

scripts/install-deps.sh --windows

out=$PWD/build-windows
mkdir -p "$out"
if [[ -z "$qt" ]]; then
    tarball=$(ls ../shared/qt6-mingw/qt6*-mingw64-*.tar.xz 2>/dev/null | head -1 || true)
    if [[ -z "$tarball" ]]; then
        echo "No Qt for Windows given and none in ../shared/qt6-mingw." >&2
        exit 2
    fi
    qt=$out/qt6-mingw
    if [[ ! -f "$qt/lib/cmake/Qt6/Qt6Config.cmake" ]]; then
        echo "Unpacking $tarball"
        tar -xJf "$tarball" -C "$out"
    fi
fi
qt=$(realpath "$qt")
version_of() {
    sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$1"/cmake/Qt6/Qt6ConfigVersionImpl.cmake
}
host_version=$(version_of /usr/lib/x86_64-linux-gnu)
target_version=$(version_of "$qt/lib")
if [[ "$host_version" != "$target_version" ]]; then
    echo "The host tools are Qt $host_version, the Qt for Windows is $target_version; they must be the same." >&2
    exit 2
fi

# This machine's build draws the program's icon (and stages the demo).
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target velmorin-icon >/dev/null

cmake -S . -B "$out/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_PREFIX_PATH="$qt" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$PWD/scripts/wine-test.sh" \
    -DVELMORIN_ICON_TOOL="$PWD/build/tools/icon/velmorin-icon"
cmake --build "$out/build" --parallel "$(nproc)"

version=$(sed -n 's/^project(velmorin VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=velmorin-$version-windows-x64
deploy=$out/$name
rm -rf "$deploy" "$deploy.zip"
mkdir -p "$deploy"

# What windeployqt does for a native build. Qt's deployment support runs
# windeployqt, which exists only as a Windows program, so here the DLLs are
# found by following the import tables with objdump.
cp "$out/build/appvelmorin.exe" "$deploy/"
mkdir -p "$deploy/plugins/platforms" "$deploy/plugins/imageformats" "$deploy/qml/QtQuick"
cp "$qt/plugins/platforms/qwindows.dll" "$deploy/plugins/platforms/"
cp "$qt/plugins/imageformats/qjpeg.dll" "$deploy/plugins/imageformats/"
# The modules Main.qml imports, and the ones they import in turn.
cp -r "$qt/qml/QtQml" "$deploy/qml/"
for module in Controls Layouts Templates Window; do
    cp -r "$qt/qml/QtQuick/$module" "$deploy/qml/QtQuick/"
done
cp "$qt/qml/QtQuick"/{qmldir,*.dll} "$deploy/qml/QtQuick/"
# Only the Basic style is used.
find "$deploy/qml/QtQuick/Controls" -mindepth 1 -maxdepth 1 -type d ! -name Basic ! -name impl -exec rm -rf {} +
# Type information serves tools, not the running program.
find "$deploy/qml" -name '*.qmltypes' -delete

dll_directories=("$qt/bin" /usr/lib/gcc/x86_64-w64-mingw32/*-posix /usr/x86_64-w64-mingw32/lib)
imports_of() {
    x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p'
}
pending=("$deploy/appvelmorin.exe")
while IFS= read -r -d '' plugin; do pending+=("$plugin"); done < <(find "$deploy/plugins" "$deploy/qml" -name '*.dll' -print0)
while ((${#pending[@]} > 0)); do
    binary=${pending[0]}
    pending=("${pending[@]:1}")
    for dll in $(imports_of "$binary"); do
        [[ -e "$deploy/$dll" ]] && continue
        for directory in "${dll_directories[@]}"; do
            if [[ -f "$directory/$dll" ]]; then
                cp "$directory/$dll" "$deploy/"
                pending+=("$deploy/$dll")
                break
            fi
        done
    done
done

cat > "$deploy/qt.conf" <<'CONF'
[Paths]
Prefix = .
Plugins = plugins
QmlImports = qml
CONF
find "$deploy" -name '*.dll' -o -name '*.exe' | xargs x86_64-w64-mingw32-strip --strip-unneeded

cat > "$deploy/README.txt" <<'TEXT'
Velmorin flasher for Windows

Start appvelmorin.exe. It looks for its tool and images in the folder
"firmware" beside it:

    firmware\esptool.exe                  esptool (its Windows release)
    firmware\<profile>\bootloader.bin     flashed at 0x0
    firmware\<profile>\partitions.bin     flashed at 0x8000
    firmware\<profile>\boot_app0.bin      flashed at 0xe000
    firmware\<profile>\firmware.bin       flashed at 0x10000
    firmware\<profile>\device.jpg         the picture shown for the profile

<profile> is one of the names the device selector offers.
TEXT
sed -i 's/\r*$/\r/' "$deploy/README.txt"

# The installer (packaging/windows) holds the folder as it is now, without
# a firmware folder: the one in the user's installation is the user's.
rm -f "$out/$name-setup.exe"
(cd "$out/build" && cpack -D "CPACK_INSTALLED_DIRECTORIES=$deploy;.")
mv "$out/build/$name-setup.exe" "$out/"

if ((demo)); then
    # The demo bundle's images and pictures are the same on every system;
    # only its stand-in must be the Windows one.
    cmake --build build --target velmorin-demo-bundle >/dev/null
    build/tools/demo-bundle/velmorin-demo-bundle "$deploy" "$out/build/esptool-standin.exe"
    cat >> "$deploy/README.txt" <<'TEXT'

This copy holds a demo firmware folder: a stand-in for esptool that writes
to no device, and generated images and pictures. Replace the folder with
a real one to flash boards.
TEXT
    sed -i 's/\r*$/\r/' "$deploy/README.txt"
fi

(cd "$out" && zip -qr "$name.zip" "$name")
echo "Built $deploy ($(du -sm "$deploy" | cut -f1) MB), $deploy.zip ($(du -sm "$deploy.zip" | cut -f1) MB)" \
    "and $deploy-setup.exe ($(du -sm "$deploy-setup.exe" | cut -f1) MB)"
