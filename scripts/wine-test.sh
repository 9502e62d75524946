#!/usr/bin/env bash
# Runs a cross-built Qt Test program under Wine, for CTest (set as the
# build's CMAKE_CROSSCOMPILING_EMULATOR). A console program's output does not
# come through Wine to a pipe, so Qt Test writes its results to a file, which
# is shown afterwards; the exit code comes through as it is.
# scripts/test-windows.sh sets up the Wine prefix and the DLL path.
program=$1
shift
results=$(mktemp --suffix=.txt)
trap 'rm -f "$results"' EXIT
# Wine's drive Z: is the Unix root. (winepath, a Wine program itself, now
# and then printed something else under load.)
wine "$program" "$@" -o "Z:${results//\//\\},txt"
status=$?
iconv -f UTF-8 -t UTF-8 -c "$results" | tr -d '\r'
exit "$status"
