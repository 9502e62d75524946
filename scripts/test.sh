#!/usr/bin/env bash
# Builds everything and runs the whole test suite twice: a normal build, then
# one with AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   scripts/test.sh [--busy]
#
# --busy runs it all beside stress-ng keeping every core busy, as on a
# developer's machine that is doing other work: a test that waits for a
# time instead of for what it waits for fails there first.
set -euo pipefail
cd "$(dirname "$0")/.."

busy=no
case "${1:-}" in
    "") ;;
    --busy) busy=yes ;;
    *) echo "usage: $0 [--busy]" >&2; exit 2 ;;
esac

scripts/install-deps.sh --tests

if [[ $busy == yes ]]; then
    echo "== Busy: stress-ng keeps all $(nproc) cores busy while the suite builds and runs"
    stress-ng --cpu "$(nproc)" --quiet &
    stress=$!
    trap 'kill "$stress" 2>/dev/null || true; wait "$stress" 2>/dev/null || true' EXIT
fi

jobs=$(nproc)

# The real esptool's source and the simulated chip it flashes live beside
# the repository; without them the build leaves that table out.
if [[ ! -d ../shared/esptool ]]; then
    echo "== Real esptool: skipped, no esptool source and simulator in ../shared/esptool"
fi

echo "== Build and test"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --parallel "$jobs"
ctest --test-dir build --output-on-failure --parallel "$jobs"

echo "== Build and test with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMORIN_SANITIZE=ON
cmake --build build-sanitize --parallel "$jobs"
# The slow unwinder gives whole stacks through Qt (built without frame
# pointers), so that leak suppressions can name Qt's functions.
export ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
log=build-sanitize/ctest-output.log
if ! ctest --test-dir build-sanitize --output-on-failure --parallel "$jobs" 2>&1 | tee "$log"; then
    # Now and then the leak checker's own tracer crashes at a program's exit,
    # before it has looked for any leak (a known fault of LeakSanitizer).
    # Only when that is all that failed are those tests run once more.
    failed=$(sed -n '/The following tests FAILED:/,$p' "$log" | grep -c ' - ' || true)
    tracer=$(grep -c 'LeakSanitizer has encountered a fatal error' "$log" || true)
    if [[ $failed -eq 0 || $failed -ne $tracer ]]; then
        exit 1
    fi
    echo "== $failed test(s) failed only because LeakSanitizer's tracer crashed; running them once more"
    ctest --test-dir build-sanitize --output-on-failure --rerun-failed
fi
