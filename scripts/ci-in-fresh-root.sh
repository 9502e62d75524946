#!/usr/bin/env bash
# Runs CI (.ci/run) on a clean clone of this repository's HEAD inside a
# freshly debootstrapped Debian root, as CI would on a new machine: root, no
# standard input, nothing installed beforehand. Needs root and debootstrap.
#
#   scripts/ci-in-fresh-root.sh [bookworm|trixie] [root-dir]
#
# The root is kept afterwards (delete it with rm -rf once its mounts are
# gone); the run's output goes to root-dir.log as well as to the terminal.
# ../shared, where it exists, is bound read-only beside the clone.
set -euo pipefail
cd "$(dirname "$0")/.."

suite=${1:-bookworm}
root=${2:-/tmp/velmorin-$suite-root}
# The Debian mirror this machine uses.
mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/* 2>/dev/null |
         sed -n 's/^URIs: *//p; s/^deb \([^ ]*\) .*/\1/p' | grep -m1 -v security || true)
mirror=${mirror:-http://deb.debian.org/debian}

if ! command -v debootstrap >/dev/null; then
    apt-get install -y -q debootstrap < /dev/null
fi
for attempt in 1 2 3; do
    [[ -x $root/bin/bash ]] && break
    # A mirror that does not answer once usually does the next time.
    debootstrap --variant=minbase "$suite" "$root" "$mirror" || sleep 10
done

rm -rf "$root/work/main"
mkdir -p "$root/work"
git clone -q . "$root/work/main"
cp /etc/resolv.conf "$root/etc/resolv.conf"

mounts=(proc sys dev dev/pts)
cleanup() {
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        umount -l "$root/${mounts[i]}" 2>/dev/null || true
    done
    umount -l "$root/work/shared" 2>/dev/null || true
}
trap cleanup EXIT
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
if [[ -d ../shared ]]; then
    mkdir -p "$root/work/shared"
    mount --bind -o ro ../shared "$root/work/shared"
fi

start=$(date +%s)
status=0
env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    chroot "$root" bash -c 'cd /work/main && bash .ci/run' < /dev/null 2>&1 | tee "$root.log" || status=$?
echo "== .ci/run in a fresh $suite root: exit $status after $(($(date +%s) - start)) s" | tee -a "$root.log"
exit "$status"
