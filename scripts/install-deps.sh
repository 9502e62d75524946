#!/usr/bin/env bash
# Installs the Debian 12 packages that building needs (with --tests, testing
# too; with --screenshots, also the screenshot script; with --windows, the
# Windows cross build and Wine; with --package, making the Debian package and
# checking it), but only those that are missing, and says what it installs.
set -euo pipefail

packages=(
    # toolchain
    g++ cmake ninja-build
    # Qt 6 development files and build tools (moc, qmlcachegen, ...)
    qt6-base-dev qt6-declarative-dev qt6-declarative-dev-tools qt6-serialport-dev libgl-dev
    # the icon is drawn from its SVG
    qt6-svg-dev
    # the QML modules Main.qml imports, and the platform plugins (the Debian
    # package depends on the same, packaging/CMakeLists.txt)
    qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts
    qml6-module-qtquick-templates qml6-module-qtquick-window qml6-module-qtqml-workerscript
    qt6-qpa-plugins libgl1-mesa-dri
    # the log and the messages are partly Chinese
    fonts-noto-cjk
)
if [[ "${1:-}" == "--tests" || "${1:-}" == "--screenshots" ]]; then
    packages+=(
        # the window smoke test and the screenshots run in a real X server
        xvfb xauth libx11-dev libxtst-dev
        # the keyboard and screen reader test reads the window through
        # AT-SPI, on a private session bus
        at-spi2-core python3-pyatspi dbus-daemon
        # the benchmark table (column)
        bsdextrautils
        # the real esptool (run from its source) flashing the simulated chip
        # through a pty joined to it
        python3-serial python3-intelhex python3-rich-click socat
        # scripts/test.sh --busy keeps every core busy beside the suite
        stress-ng
    )
fi
if [[ "${1:-}" == "--windows" ]]; then
    packages+=(
        # the cross toolchain, the Qt host tools' shader compiler, packing
        mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
        qt6-shadertools-dev xz-utils zip unzip
        # the installer (CPack's NSIS generator)
        nsis
        # the Windows tests and the deployed program run under Wine in Xvfb
        wine wine64 xvfb xauth libx11-dev libxtst-dev
    )
fi
if [[ "${1:-}" == "--package" ]]; then
    packages+=(
        # CPack finds the libraries' packages with dpkg-shlibdeps (and the
        # binaries with file); dpkg-buildflags gives Debian's build flags
        dpkg-dev file
        # the checks Debian's packagers run (hardening-check is devscripts')
        lintian desktop-file-utils appstream devscripts
    )
fi
if [[ "${1:-}" == "--screenshots" ]]; then
    # clicks and window captures for scripts/make-screenshots.sh
    packages+=(xdotool imagemagick)
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if ((${#missing[@]} == 0)); then
    exit 0
fi

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" < /dev/null
