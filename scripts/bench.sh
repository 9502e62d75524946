#!/usr/bin/env bash
# Builds and runs all benchmarks and prints one table.
#   scripts/bench.sh          the full run (a few minutes)
#   scripts/bench.sh --quick  each once, small, as CI runs them
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --tests >&2
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --parallel 2 --target bench_job bench_logpane bench_startup bench_flood >/dev/null
# The real esptool's job exists only where its source is beside the
# repository (see README.md).
benches="bench_startup bench_job bench_logpane bench_flood"
if cmake --build build --parallel 2 --target bench_realjob >/dev/null 2>&1; then
    benches="$benches bench_realjob"
else
    echo "no esptool source beside the repository: the real job is left out" >&2
fi

export QT_QPA_PLATFORM=offscreen
results=$(mktemp)
trap 'rm -f "$results"' EXIT
for bench in $benches; do
    echo "running $bench ..." >&2
    build/bench/$bench/$bench "$@" | grep '^RESULT' >> "$results"
done

{
    printf 'measurement\tvalue\tunit\tbudget\tverdict\n'
    cut -f2- "$results"
} | column -t -s $'\t'
