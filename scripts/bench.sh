#!/usr/bin/env bash
# Measures the listing and the build run against the floors on synthetic corpora of
# 1,000, 20,000 and N files (N defaults to 100,000) and on one 256 MiB scene, prints one
# table and exits non-zero when a target is missed.
#
# Warm figures are medians of BENCH_RUNS runs (default 9) after a warm-up. Run as root,
# it also times the floors and the run from a dropped page cache, the median of
# BENCH_COLD_RUNS runs (default 3). Peak memory comes from one run in a process of its
# own, with the read-ahead and with threads = 0. The footprint layer is timed on the largest
# corpus with `aster footprints` writing a GeoPackage with its spatial index, the default,
# and without it, which shows what the index costs; ASTER_BENCH_FOOTPRINTS replaces the
# first command (the corpus folder is appended as its last argument) and drops the second,
# and set empty it skips both. The peak memory of `aster footprints` is then measured once
# in every format. BENCH_DIR is where corpora are written.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
# GNU time measures the peak memory of a footprint run in a process of its own.
aster_ensure_packages "${ASTER_BUILD_PACKAGES[@]}" time

largest="${1:-100000}"
runs="${BENCH_RUNS:-9}"
cold_runs="${BENCH_COLD_RUNS:-3}"
big_bytes=$((256 * 1024 * 1024))

cmake --preset release >/dev/null
cmake --build --preset release \
    --target aster_bench_driver aster_bench_floor aster_bench_parallel_floor aster >/dev/null
bin="$PWD/build/release/bench"
driver=("$bin/aster_bench_driver" --floor "$bin/aster_bench_floor"
    --parallel-floor "$bin/aster_bench_parallel_floor" --runs "$runs")

# Cold rows need the page cache dropped, which only root may do (and not in every
# container): one trial drop decides.
cold_note=""
if [ "$(id -u)" -ne 0 ]; then
    cold_note="Cold cache: rows skipped, dropping the page cache needs root."
elif ! { sync && echo 3 >/proc/sys/vm/drop_caches; } 2>/dev/null; then
    cold_note="Cold cache: rows skipped, /proc/sys/vm/drop_caches cannot be written here."
else
    driver+=(--cold-runs "$cold_runs")
fi

scratch="$(mktemp -d "${BENCH_DIR:-/tmp}/aster-bench-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
aster="$PWD/build/release/app/aster"
footprints="${ASTER_BENCH_FOOTPRINTS-$aster footprints --overwrite -o $scratch/footprints.gpkg 2>/dev/null}"
footprints_no_index=""
if [ -z "${ASTER_BENCH_FOOTPRINTS+set}" ]; then
    footprints_no_index="$aster footprints --overwrite --no-spatial-index -o $scratch/footprints-no-index.gpkg 2>/dev/null"
fi
footprint_formats=(gpkg shp geojson fgb kml csv)

sizes=$(printf '%s\n' 1000 20000 "$largest" | sort -n -u | awk -v max="$largest" '$1 <= max')
results="$scratch/results.txt"
for n in $sizes; do
    mkdir "$scratch/c$n"
    echo "corpus of $n files..." >&2
    extra=()
    if [ "$n" = "$largest" ] && [ -n "$footprints" ]; then
        extra=(--footprints "$footprints" --polys-command "$aster polys")
        if [ -n "$footprints_no_index" ]; then
            extra+=(--footprints-no-index "$footprints_no_index")
        fi
    fi
    "${driver[@]}" --dir "$scratch/c$n" --files "$n" "${extra[@]}" >>"$results"
    if [ "$n" = "$largest" ] && [ -n "$footprints" ]; then
        # Peak memory (GNU time's maximum resident set, KiB) of one footprint run in each
        # format, each in a process of its own.
        for format in "${footprint_formats[@]}"; do
            out="$scratch/fp-$format"
            mkdir "$out"
            kib=$(/usr/bin/time -f %M "$aster" footprints "$scratch/c$n" -o "$out/footprints.$format" \
                2>&1 >/dev/null | tail -n 1)
            echo "footprint_mem files=$n format=$format kb=$kib" >>"$results"
            rm -rf "$out"
        done
    fi
    rm -rf "$scratch/c$n"
done
mkdir "$scratch/big"
echo "one scene of 256 MiB..." >&2
# Warm only: one file gives the read-ahead nothing to overlap.
"$bin/aster_bench_driver" --floor "$bin/aster_bench_floor" \
    --parallel-floor "$bin/aster_bench_parallel_floor" --runs "$runs" \
    --dir "$scratch/big" --big "$big_bytes" >>"$results"
rm -rf "$scratch/big"

echo
echo "Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), $(uname -r)"
awk -v big_bytes="$big_bytes" -v largest="$largest" \
    -v cold_note="$cold_note" '
# The targets. Each applies from 20,000 files on; 1,000 files is a sanity row.
BEGIN {
    from_files = 20000
    warm_limit = 0.70      # warm run / sequential floor
    cold_limit = 1.30      # cold run / parallel floor
    list_limit = 1.50      # listing / ls -f, from list_from files
    list_from = 100000
    footprints_limit = 2.00 # footprints / the polygon run, both as `aster` commands
    footprints_mb = 300    # peak memory of `aster footprints`, any format, in MB (10^6 bytes)
    big_limit = 2.00       # 256 MiB scene / floor
    growth_limit = 1.20    # time per file at N / at 20,000
    readahead_mib = 16     # read-ahead run over the run with threads = 0, same corpus
    flat_mib = 10          # growth of either run from the smallest to the largest corpus
    slack_mib = 32         # any run: at most 2 x the largest scene + this
    scene_kib = 12         # about the size of a corpus scene file
    name["floor"] = "floor"
    name["parallel_floor"] = "parallel floor"
    name["polys"] = "polygons"
    name["table"] = "table + blank check"
    name["list"] = "listing"
    name["ls"] = "ls -f"
    name["footprints"] = "footprints (GeoPackage)"
    name["footprints_no_index"] = "  without spatial index"
    name["polys_command"] = "aster polys"
}
function field(key,   i, kv) {
    for (i = 2; i <= NF; i++) { split($i, kv, "="); if (kv[1] == key) return kv[2] }
    return ""
}
function fail(message) { missed[++misses] = message }
# A difference of memory figures, with rounding noise shown as 0.
function diff(a, b) { return (a - b > -0.05 && a - b < 0.05) ? 0 : a - b }
function label(n) { return n == "big" ? "1 x 256MiB" : n }
function per_file(n, t) { return t * 1000 / (n == "big" ? 1 : n) }
# One timed row; `ref` empty means a row of its own without a ratio.
function row(n, step, cache, ref, limit,   t, r, ratio, mark) {
    t = ms[n, step, cache]
    if (ref == "") {
        printf "%-11s %-24s %-5s %10.1f %-15s %10s %6s %6s %10.2f\n", label(n), name[step], cache, t, "", "", "", "", per_file(n, t)
        return
    }
    r = ms[n, ref, cache]; ratio = t / r; mark = ""
    if (limit != "" && ratio > limit) {
        mark = " <"
        fail(sprintf("%s files: %s (%s) at %.2f x %s, limit %.2f", label(n), name[step], cache, ratio, name[ref], limit))
    }
    printf "%-11s %-24s %-5s %10.1f %-15s %10.1f %6.2f %6s %10.2f%s\n", label(n), name[step], cache, t, name[ref], r, ratio, limit == "" ? "-" : sprintf("%.2f", limit), per_file(n, t), mark
}
$1 == "time" {
    n = field("big") == "1" ? "big" : field("files")
    ms[n, field("step"), field("cache")] = field("ms")
    if (!(n in seen)) { seen[n] = 1; if (n != "big") sizes[++count] = n + 0 }
}
$1 == "footprint_mem" {
    fp_formats[++fp_count] = field("format")
    fp_kb[field("format")] = field("kb")
    fp_files = field("files")
}
$1 == "mem" {
    n = field("big") == "1" ? "big" : field("files")
    ahead[n, field("step")] = field("readahead_kb") / 1024
    seq[n, field("step")] = field("sequential_kb") / 1024
}
END {
    if (cold_note != "") print cold_note
    printf "%-11s %-24s %-5s %10s %-15s %10s %6s %6s %10s\n", "files", "step", "cache", "ms", "against", "ms", "ratio", "limit", "us/file"
    for (i = 1; i <= count; i++) {
        n = sizes[i]; t = n >= from_files
        row(n, "floor", "warm", "")
        row(n, "parallel_floor", "warm", "floor", "")
        row(n, "polys", "warm", "floor", t ? warm_limit : "")
        row(n, "table", "warm", "floor", t ? warm_limit : "")
        row(n, "list", "warm", "ls", n >= list_from ? list_limit : "")
        if ((n, "floor", "cold") in ms) {
            row(n, "floor", "cold", "")
            row(n, "parallel_floor", "cold", "floor", "")
            row(n, "polys", "cold", "parallel_floor", t ? cold_limit : "")
            row(n, "table", "cold", "parallel_floor", t ? cold_limit : "")
        }
        # The footprint layer against the polygon run, both timed as commands.
        if (n == largest) {
            if ((n, "footprints", "warm") in ms) {
                row(n, "polys_command", "warm", "floor", "")
                row(n, "footprints", "warm", "polys_command", footprints_limit)
                if ((n, "footprints_no_index", "warm") in ms) {
                    row(n, "footprints_no_index", "warm", "polys_command", "")
                    index_ms = ms[n, "footprints", "warm"] - ms[n, "footprints_no_index", "warm"]
                    index_note = sprintf("spatial index at %s files: %.0f ms, %.2f us per listed file, %.2f x aster polys", n, index_ms, index_ms * 1000 / n, index_ms / ms[n, "polys_command", "warm"])
                }
            }
            else
                printf "%-11s %-24s %-5s skipped: ASTER_BENCH_FOOTPRINTS is set empty\n", label(n), name["footprints"], "warm"
        }
    }
    row("big", "polys", "warm", "floor", big_limit)
    row("big", "table", "warm", "floor", big_limit)

    printf "\n%-11s %-24s %15s %15s %10s\n", "files", "peak memory, own process", "read-ahead MiB", "threads 0 MiB", "over MiB"
    for (i = 1; i <= count + 1; i++) {
        n = i <= count ? sizes[i] : "big"
        for (s = 1; s <= 2; s++) {
            step = s == 1 ? "polys" : "table"
            a = ahead[n, step]; q = seq[n, step]; mark = ""
            d = diff(a, q)
            if (n == "big") {
                cap = (2 * big_bytes / 1048576) + slack_mib
                if (a > cap || q > cap) { mark = " <"; fail(sprintf("256 MiB scene: %s memory over 2 x file + %d MiB", name[step], slack_mib)) }
            } else if (n >= from_files) {
                if (a - q > readahead_mib) { mark = " <"; fail(sprintf("%s files: %s read-ahead %.1f MiB over threads 0, limit %d", n, name[step], a - q, readahead_mib)) }
                cap = slack_mib + 2 * scene_kib / 1024
                if (a > cap || q > cap) { mark = " <"; fail(sprintf("%s files: %s memory over 2 x largest scene + %d MiB", n, name[step], slack_mib)) }
            }
            printf "%-11s %-24s %15.1f %15.1f %10.1f%s\n", label(n), name[step], a, q, d, mark
        }
    }

    if (index_note != "") { print ""; print index_note }
    if (fp_count) {
        printf "\n%-11s %-24s %15s %10s\n", "files", "footprints peak memory", "MB", "limit"
        for (i = 1; i <= fp_count; i++) {
            f = fp_formats[i]; mb = fp_kb[f] * 1024 / 1e6; mark = ""
            if (fp_kb[f] == "" || mb > footprints_mb) { mark = " <"; fail(sprintf("%s files: footprints in %s peak at %.0f MB, limit %d", fp_files, f, mb, footprints_mb)) }
            printf "%-11s %-24s %15.1f %10d%s\n", fp_files, f, mb, footprints_mb, mark
        }
    }

    small = sizes[1]; large = sizes[count]
    print ""
    for (s = 1; s <= 2; s++) {
        step = s == 1 ? "polys" : "table"
        ga = diff(ahead[large, step], ahead[small, step]); gq = diff(seq[large, step], seq[small, step])
        printf "memory growth %d to %d files, %s: read-ahead %.1f MiB, threads 0 %.1f MiB (limit %d)\n", small, large, name[step], ga, gq, flat_mib
        if (ga > flat_mib || gq > flat_mib) fail(sprintf("%s memory grows with the number of files", name[step]))
        if (large > from_files && (from_files in seen)) {
            g = (ms[large, step, "warm"] / large) / (ms[from_files, step, "warm"] / from_files)
            printf "time per file %d vs %d files, %s: %.2f x (limit %.2f)\n", large, from_files, name[step], g, growth_limit
            if (g > growth_limit) fail(sprintf("%s grows faster than the number of files", name[step]))
        }
    }
    print ""
    for (i = 1; i <= misses; i++) print "MISSED: " missed[i]
    if (misses) exit 1
    print "All targets met."
}' "$results"
