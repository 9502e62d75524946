#!/usr/bin/env bash
# Builds and runs all benchmarks and prints one table.
#   scripts/bench.sh          the full run (a few minutes)
#   scripts/bench.sh --quick  each once, small, as CI runs them
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --tests >&2
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target bench_job bench_logpane bench_startup bench_flood >/dev/null

export QT_QPA_PLATFORM=offscreen
results=$(mktemp)
trap 'rm -f "$results"' EXIT
for bench in bench_startup bench_job bench_logpane bench_flood; do
    echo "running $bench ..." >&2
    build/bench/$bench/$bench "$@" | grep '^RESULT' >> "$results"
done

{
    printf 'measurement\tvalue\tunit\tbudget\tverdict\n'
    cut -f2- "$results"
} | column -t -s $'\t'
