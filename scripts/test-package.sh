#!/usr/bin/env bash
# Builds the Debian package (scripts/package-linux.sh) and checks it as
# Debian's packagers and its users would: lintian finds no error and no
# missing hardening; apt installs it on this machine; velmorin is on PATH,
# hardening-check passes on the program; its desktop entry and
# AppStream metainfo validate; the installed velmorin, started from PATH in
# Xvfb with the demo bundle in /opt/velmorin/firmware, flashes with the
# stand-in to the success dialog; reinstalling, removing and purging the
# package leave the firmware directory's files as they were. Afterwards the
# package and the demo are gone again.
#
# It installs into /opt/velmorin, so it runs only where velmorin is not
# installed and /opt/velmorin does not exist: a real installation and its
# firmware are never touched. Needs root or sudo.
set -euo pipefail
cd "$(dirname "$0")/.."

program_dir=/opt/velmorin
firmware=$program_dir/firmware
if dpkg-query -W -f='${Status}' velmorin 2>/dev/null | grep -qv "not-installed"; then
    echo "== Debian package: skipped, velmorin is installed on this machine (the check installs and removes it)"
    exit 0
fi
if [[ -e $program_dir ]]; then
    echo "== Debian package: skipped, $program_dir exists on this machine (the check installs there and removes it)"
    exit 0
fi
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
    sudo_cmd=(sudo)
fi
apt_get() {
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -q "$@" < /dev/null
}
start=$(date +%s)

scripts/package-linux.sh
out=$PWD/build-package
deb=$(ls build-package/velmorin_*.deb)

echo "== lintian"
lintian --display-info --fail-on error "$deb" | tee "$out/lintian.txt"
# Missing hardening is only a warning or a note to lintian; the program is
# to be built as Debian builds its own.
if grep -E '^[EWIPX]: velmorin: hardening-' "$out/lintian.txt"; then
    echo "lintian finds the program built without Debian's hardening flags" >&2
    exit 1
fi
# Two of Debian's hardening flags cannot be seen in the binary, so every
# compile command must carry them. The program holds no call that fortify
# turns into a checked one (packaging/lintian-overrides says why). And on
# amd64 Debian's own C start files (crt1.o, crti.o, crtn.o) carry no
# control-flow (CET) note, so the linker leaves it out of every program,
# Debian's own dpkg included on Debian 13: hardening-check cannot find it.
required=(-D_FORTIFY_SOURCE=)
if DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS | grep -q -- '-fcf-protection'; then
    required+=(-fcf-protection)
fi
for flag in "${required[@]}"; do
    without=$(ninja -C "$out" -t commands appvelmorin | grep -- ' -c ' | grep -vc -- "$flag" || true)
    if ((without > 0)); then
        echo "$without of the program's sources are compiled without $flag" >&2
        exit 1
    fi
done

# The demo bundle and the smoke test come from the test build.
scripts/install-deps.sh --tests
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target velmorin-demo-bundle tst_windowsmoke >/dev/null
demo=$(mktemp -d)
cleanup() {
    apt_get purge velmorin >/dev/null 2>&1 || true
    # Only what the check put there, then the directories if they are empty.
    for entry in "$demo"/firmware/*; do
        "${sudo_cmd[@]}" rm -rf "$firmware/${entry##*/}"
    done
    "${sudo_cmd[@]}" rmdir "$firmware" "$program_dir" 2>/dev/null || true
    rm -rf "$demo"
}
trap cleanup EXIT

echo "== apt-get install ./$deb"
installing=$(date +%s)
apt_get install "./$deb"
echo "Installed in $(($(date +%s) - installing)) s"

echo "== The installed files"
command -v velmorin
# Fortify and control-flow protection are checked on the build above.
# Branch protection (Debian 13's hardening-check) is arm64's.
hardening_options=(--nofortify --nocfprotection)
# (Its --help exits non-zero, so it is read whole before it is looked at.)
usage=$(hardening-check --help 2>&1 || true)
if [[ $usage == *--nobranchprotection* ]]; then
    hardening_options+=(--nobranchprotection)
fi
hardening-check "${hardening_options[@]}" "$program_dir/appvelmorin"
desktop-file-validate /usr/share/applications/org.velmorin.flasher.desktop
appstreamcli validate --no-net /usr/share/metainfo/org.velmorin.flasher.metainfo.xml

echo "== The installed velmorin flashes the demo"
build/tools/demo-bundle/velmorin-demo-bundle "$demo"
"${sudo_cmd[@]}" cp -r "$demo/firmware/." "$firmware/"
firmware_files() {
    (cd "$firmware" && find . -type f ! -path ./README -exec md5sum {} + | sort -k 2)
}
firmware_files > "$demo/staged"
VELMORIN_INSTALLED_PROGRAM=velmorin build/tests/smoke/tst_windowsmoke/tst_windowsmoke \
    "deployedProgramFlashesTheDemo:Debian package"

echo "== Reinstalling, removing and purging keep the firmware"
# Once removed, a package with no configuration files is gone for apt too;
# it is installed again before it is purged.
for step in "install --reinstall ./$deb" "remove velmorin" "install ./$deb" "purge velmorin"; do
    # shellcheck disable=SC2086 # the step is words for apt-get
    apt_get $step >/dev/null
    if ! firmware_files | cmp -s - "$demo/staged"; then
        echo "apt-get $step changed the files in $firmware:" >&2
        firmware_files | diff "$demo/staged" - >&2 || true
        exit 1
    fi
    echo "apt-get $step: the firmware is as it was"
done
echo "== Debian package checked in $(($(date +%s) - start)) s"
