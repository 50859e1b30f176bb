#!/usr/bin/env bash
# Measures the listing and the build run against the floors on synthetic corpora of
# 1,000, 10,000 and N files (N defaults to 100,000) and on one 256 MiB scene, and the
# footprint layer against the polygon run, prints one table and exits non-zero when a
# target is missed. Figures are medians of 5 runs after a warm-up, with a warm page cache.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
aster_ensure_packages "${ASTER_BUILD_PACKAGES[@]}"

largest="${1:-100000}"
runs="${BENCH_RUNS:-5}"
big_bytes=$((256 * 1024 * 1024))

cmake --preset release >/dev/null
cmake --build --preset release --target aster_bench_driver aster_bench_floor aster_bench_layer >/dev/null
driver="$PWD/build/release/bench/aster_bench_driver"
layer="$PWD/build/release/bench/aster_bench_layer"
floor="$PWD/build/release/bench/aster_bench_floor"

scratch="$(mktemp -d "${BENCH_DIR:-/tmp}/aster-bench-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

sizes=$(printf '%s\n' 1000 10000 "$largest" | sort -n -u | awk -v max="$largest" '$1 <= max')
results="$scratch/results.txt"
for n in $sizes; do
    mkdir "$scratch/c$n"
    echo "corpus of $n files..." >&2
    figures="$("$driver" --dir "$scratch/c$n" --floor "$floor" --files "$n" --runs "$runs")"
    echo "footprint layer of $n files..." >&2
    echo "$figures $("$layer" --dir "$scratch/c$n" --runs "$runs")" >>"$results"
    rm -rf "$scratch/c$n"
done
mkdir "$scratch/big"
echo "one scene of 256 MiB..." >&2
"$driver" --dir "$scratch/big" --floor "$floor" --big "$big_bytes" --runs "$runs" |
    sed 's/^/big=1 /' >>"$results"
rm -rf "$scratch/big"

echo
echo "Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), $(uname -r)"
awk -v big_bytes="$big_bytes" '
function field(name,   i, kv) {
    for (i = 1; i <= NF; i++) { split($i, kv, "="); if (kv[1] == name) return kv[2] }
    return ""
}
function row(label, step, t, f, n, rss) {
    printf "%-11s %-22s %10.1f %10.1f %7.2f %9.2f %9.1f\n", label, step, t, f, t / f, t * 1000 / n, rss / 1024
}
function fail(message) { printf "MISSED: %s\n", message; failed = 1 }
BEGIN {
    printf "%-11s %-22s %10s %10s %7s %9s %9s\n", "files", "step", "ms", "floor ms", "ratio", "us/file", "RSS MiB"
}
{
    n = field("files"); rss = field("rss_kb"); fl = field("floor_ms")
    label = field("big") == "1" ? "1 x 256MiB" : n
    row(label, "polygons", field("polys_ms"), fl, n, rss)
    row(label, "table + blank check", field("table_ms"), fl, n, rss)
    if (field("big") == "1") {
        if (field("polys_ms") > 2 * fl || field("table_ms") > 2 * fl) fail("256 MiB scene over 2 x floor")
        if (rss > (2 * big_bytes + 32 * 1048576) / 1024) fail("256 MiB scene memory over 2 x file + 32 MiB")
        next
    }
    row(label, "listing (floor ls -f)", field("list_ms"), field("ls_ms"), n, rss)
    row(label, "layer gpkg (polygons)", field("gpkg_ms"), field("layer_polys_ms"), n, field("layer_rss_kb"))
    if (n >= 10000 && field("gpkg_ms") > 2 * field("layer_polys_ms")) fail(n " files: footprint layer over 2 x the polygon run")
    sizes[++count] = n; polys[n] = field("polys_ms"); table[n] = field("table_ms")
    floor_ms[n] = fl; mem[n] = rss; list[n] = field("list_ms"); ls[n] = field("ls_ms")
    if (rss > 32 * 1024 + 2 * 12 * 1024 / 1024) fail(n " files: memory over 2 x largest scene + 32 MiB")
    if (n >= 10000 && (polys[n] > 1.5 * fl || table[n] > 1.5 * fl)) fail(n " files: run over 1.5 x floor")
}
END {
    small = sizes[1]; large = sizes[count]
    if (large >= 100000 && list[large] > 1.5 * ls[large]) fail("listing over 1.5 x ls -f at " large)
    if (large > 10000 && (10000 in polys)) {
        if (polys[large] / large > 1.2 * polys[10000] / 10000) fail("polygon run grows faster than the number of files")
        if (table[large] / large > 1.2 * table[10000] / 10000) fail("table run grows faster than the number of files")
    }
    if (mem[large] - mem[small] > 10 * 1024) fail("memory grows with the number of files")
    printf "\nmemory growth %d to %d files: %.1f MiB\n", small, large, (mem[large] - mem[small]) / 1024
    if (failed) exit 1
    print "All targets met."
}' "$results"
