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
# in every format. `aster list --recursive` is timed on a tree of N files in 1,000
# folders against `find -type f`. BENCH_DIR is where corpora are written.
#
# Three groups of rows run only when N >= 100000, or when their variable is set to 1 (set
# empty, they are skipped at any N), so that a quick `scripts/bench.sh 2000` stays quick:
# ASTER_BENCH_HDF: `aster footprints` over BENCH_HDF_FILES (default 10,000) HDF-EOS files,
# each with its ECS core metadata and a sparse image of 4 MiB, against the same scenes as
# .met files, and the bytes it reads per HDF file; ASTER_BENCH_MILLION: the peak memory of
# `aster footprints` and `aster stac` over a list of 1,000,000 missing files against one
# of 100,000; ASTER_BENCH_MILLION_WRITTEN: the same over 1,000,000 files that are all
# written, against 100,000 (some 13 GB of disk).
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
    --target aster_bench_driver aster_bench_floor aster_bench_parallel_floor \
    aster_bench_stac_floor aster >/dev/null
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
aster="$PWD/build/release/cli/aster"
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
# The footprint layer over ECS granule XML, the layout archives hand out today: at the
# largest size against the sequential floor of reading the same files, and its peak
# memory (GeoPackage) at 20,000 files and at the largest size, which must stay flat.
# ASTER_BENCH_XML set empty skips these rows.
if [ -n "${ASTER_BENCH_XML-1}" ]; then
    for n in $(printf '%s\n' 20000 "$largest" | sort -n -u); do
        x="$scratch/x$n"
        mkdir "$x"
        echo "ECS granule XML corpus of $n files..." >&2
        if [ "$n" = "$largest" ]; then
            "$bin/aster_bench_driver" --xml 1 --dir "$x" --files "$n" --runs "$runs" \
                --floor "$bin/aster_bench_floor" \
                --footprints "$aster footprints --overwrite -o $scratch/xml.gpkg 2>/dev/null" \
                >>"$results"
        else
            "$bin/aster_bench_driver" --corpus-only 1 --xml 1 --dir "$x" --files "$n"
        fi
        kib=$(/usr/bin/time -f %M "$aster" footprints "$x" -o "$scratch/xml-mem.gpkg" \
            --overwrite 2>&1 >/dev/null | tail -n 1)
        echo "footprint_xml_mem files=$n kb=$kib" >>"$results"
        rm -rf "$x" "$scratch/xml.gpkg" "$scratch/xml-mem.gpkg"
    done
fi

# Rows that only the full run makes unless asked for: "1" forces them, empty skips them.
wanted() { # wanted VALUE_OF_THE_VARIABLE
    [ "$1" = 1 ] || { [ "$1" = auto ] && [ "$largest" -ge 100000 ]; }
}

# Footprints over HDF-EOS files, each with its ECS core metadata (the corpus's ODL text as
# the global attribute coremetadata.0) and an image of 2048 x 2048 bytes written without
# fill but for its last byte, so 4 MiB to the reader and a few KiB on the disk; against
# the same command over the same scenes as .met files, both warm; and the bytes the HDF
# run reads (rchar of /proc/PID/io, taken as it exits).
if wanted "${ASTER_BENCH_HDF-auto}"; then
    h="$scratch/hdf"
    mkdir "$h"
    hdf_files="${BENCH_HDF_FILES:-10000}"
    echo "HDF-EOS corpus of $hdf_files files..." >&2
    "$bin/aster_bench_driver" --hdf 1 --dir "$h" --files "$hdf_files" --runs "$runs" \
        --aster "$aster" >>"$results"
    rm -rf "$h"
fi

# Peak memory (GNU time) of `aster footprints` and of `aster stac` over a list of
# 1,000,000 files that do not exist, all skipped as missing, against a list of 100,000.
if wanted "${ASTER_BENCH_MILLION-auto}"; then
    for n in 100000 1000000; do
        m="$scratch/m$n"
        mkdir "$m"
        echo "list of $n missing files..." >&2
        seq -f 'AST_L1B_%07g.met' 1 "$n" | sed 's/$/\r/' >"$m/filelist.txt"
        kib=$(/usr/bin/time -f %M "$aster" footprints "$m" -o "$scratch/m.gpkg" --overwrite \
            2>&1 >/dev/null | tail -n 1)
        echo "skipped_mem files=$n command=footprints kb=$kib" >>"$results"
        kib=$(/usr/bin/time -f %M "$aster" stac "$m" -o "$scratch/m.stac" 2>&1 >/dev/null | tail -n 1)
        echo "skipped_mem files=$n command=stac kb=$kib" >>"$results"
        rm -rf "$m" "$scratch/m.gpkg" "$scratch/m.stac"
    done
fi

# The same two peaks over 100,000 and 1,000,000 files of the table's layout that are all
# written: a GeoPackage with its index, and an ItemCollection. The larger corpus takes
# some 13 GB of disk; with less room the rows are left out, with a word.
if wanted "${ASTER_BENCH_MILLION_WRITTEN-auto}"; then
    room_kib=$(df -Pk "$scratch" | awk 'NR == 2 { print $4 }')
    if [ "$room_kib" -lt $((16 * 1024 * 1024)) ]; then
        echo "written_mem: under 16 GiB free in $scratch, rows left out" >&2
    else
        for n in 100000 1000000; do
            w="$scratch/w$n"
            mkdir "$w"
            echo "$n written files..." >&2
            "$bin/aster_bench_driver" --corpus-only 1 --dir "$w" --files "$n"
            kib=$(/usr/bin/time -f %M "$aster" footprints "$w" -o "$scratch/w.gpkg" --overwrite \
                2>&1 >/dev/null | tail -n 1)
            echo "written_mem files=$n command=footprints kb=$kib" >>"$results"
            kib=$(/usr/bin/time -f %M "$aster" stac "$w" -o "$scratch/w.json" --overwrite \
                2>&1 >/dev/null | tail -n 1)
            echo "written_mem files=$n command=stac kb=$kib" >>"$results"
            rm -rf "$w" "$scratch/w.gpkg" "$scratch/w.json"
        done
    fi
fi

# The recursive listing of a tree of the largest size, in 1,000 day folders of ten year
# folders, against `find FOLDER -type f` over the same tree, both commands writing their
# paths to a file outside it; beside it, the same listing in the driver's process and
# `aster --version`, the command's start alone. ASTER_BENCH_TREE set empty skips the rows.
if [ -n "${ASTER_BENCH_TREE-1}" ]; then
    tree="$scratch/tree"
    mkdir "$tree"
    echo "tree of $largest files in 1,000 folders..." >&2
    "$bin/aster_bench_driver" --tree 1 --dir "$tree" --files "$largest" --runs "$runs" \
        --list-command "$aster list --recursive -o $scratch/tree.txt" \
        --start-command "$aster --version" >>"$results"
    rm -rf "$tree" "$scratch/tree.txt"
fi

mkdir "$scratch/big"
echo "one scene of 256 MiB..." >&2
# Warm only: one file gives the read-ahead nothing to overlap.
"$bin/aster_bench_driver" --floor "$bin/aster_bench_floor" \
    --parallel-floor "$bin/aster_bench_parallel_floor" --runs "$runs" \
    --dir "$scratch/big" --big "$big_bytes" >>"$results"
rm -rf "$scratch/big"

# The STAC catalogue on a corpus of the largest size (and of 20,000 files for memory):
# a static catalogue against the floor of creating the same item files in their folders
# with one syncfs (aster_bench_stac_floor, given a catalogue aster made as the model), and
# an ItemCollection against `aster polys`. Each warm figure is the median of
# BENCH_STAC_RUNS runs (default 3) after a warm-up; every static catalogue and floor goes
# into a new folder, and nothing is removed until the last one is timed: ext4 without a
# journal passes over inodes freed in the last minute when it makes new ones, which slows
# creating files for a while after a large removal, so the timed runs also start a minute
# after the last one. Peak memory from GNU time. ASTER_BENCH_STAC set empty skips the rows.
stac_results="$scratch/stac.txt"
: >"$stac_results"
if [ -n "${ASTER_BENCH_STAC-1}" ]; then
    aster_ensure_packages time
    stac_runs="${BENCH_STAC_RUNS:-3}"
    ms_of() { # the milliseconds a command takes
        local start end
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1
        end=$(date +%s%N)
        echo $(((end - start) / 1000000))
    }
    median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
    stac_sizes=$(printf '%s\n' 20000 "$largest" | sort -n -u)
    for n in $stac_sizes; do
        d="$scratch/stac$n"
        mkdir "$d"
        echo "STAC catalogue of $n files..." >&2
        mkdir "$d/c"
        "$bin/aster_bench_driver" --corpus-only 1 --dir "$d/c" --files "$n"
        "$aster" stac "$d/c" -o "$d/model" >/dev/null 2>&1
        sync
        mem_static=$(/usr/bin/time -f %M "$aster" stac "$d/c" -o "$d/m.out" 2>&1 >/dev/null | tail -1)
        mem_items=$(/usr/bin/time -f %M "$aster" stac "$d/c" -o "$d/m.json" 2>&1 >/dev/null | tail -1)
        echo "mem files=$n static_kb=$mem_static items_kb=$mem_items" >>"$stac_results"
        if [ "$n" = "$largest" ]; then
            sync
            sleep 61
            for ((r = 0; r < stac_runs; r++)); do
                "$bin/aster_bench_stac_floor" "$d/model" "$d/floor$r" | sed -n 's/.* ms=\([0-9.]*\).*/\1/p' >>"$d/floor.ms"
                sync
                ms_of "$aster" stac "$d/c" -o "$d/out$r" >>"$d/static.ms"
                sync
            done
            "$aster" polys "$d/c" >/dev/null 2>&1
            "$aster" stac "$d/c" -o "$d/items.json" --overwrite >/dev/null 2>&1
            for ((r = 0; r < stac_runs; r++)); do
                ms_of "$aster" polys "$d/c" >>"$d/polys.ms"
                ms_of "$aster" stac "$d/c" -o "$d/items.json" --overwrite >>"$d/items.ms"
            done
            echo "time files=$n floor=$(median <"$d/floor.ms") static=$(median <"$d/static.ms")" \
                "polys=$(median <"$d/polys.ms") items=$(median <"$d/items.ms")" >>"$stac_results"
        fi
        rm -rf "$d"
    done
fi

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
    xml_limit = 3.00       # footprints over ECS granule XML / the floor of the same files
    polys_command_limit = 0.75 # aster polys as a command / the floor, the same corpus
    hdf_limit = 3.00       # footprints over HDF-EOS files / over the same scenes as .met
    hdf_read_kib = 256     # bytes read per HDF file of 4 MiB, in KiB
    skipped_mib = 32       # peak memory growth from 100,000 skipped files to 1,000,000
    tree_limit = 1.50      # aster list --recursive / find -type f, the same tree
    xml_flat_mib = 24      # growth of its peak memory from 20,000 files to N
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
    name["xml_floor"] = "floor (ECS XML)"
    name["xml_footprints"] = "footprints (ECS XML)"
    name["hdf_met_footprints"] = "footprints (.met)"
    name["hdf_hdf_footprints"] = "footprints (HDF-EOS)"
    name["tree_find"] = "find -type f (tree)"
    name["tree_list"] = "list --recursive (tree)"
    name["tree_list_in_process"] = "  in the driver"
    name["tree_start"] = "  aster --version"
}
function field(key,   i, kv) {
    for (i = 2; i <= NF; i++) { split($i, kv, "="); if (kv[1] == key) return kv[2] }
    return ""
}
function fail(message) { missed[++misses] = message }
# A difference of memory figures, with rounding noise shown as 0.
function diff(a, b) { return (a - b > -0.05 && a - b < 0.05) ? 0 : a - b }
function label(n) { return n == "big" ? "1 x 256MiB" : n == "xml" ? xml_files : n == "tree" ? tree_files : n == "hdf" ? hdf_files : n }
function per_file(n, t) { return t * 1000 / (n == "big" ? 1 : n == "xml" ? xml_files : n == "tree" ? tree_files : n == "hdf" ? hdf_files : n) }
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
$1 == "time" && field("tree") == "1" {
    tree_files = field("files")
    ms["tree", "tree_" field("step"), "warm"] = field("ms")
    next
}
$1 == "time" && field("hdf") == "1" {
    hdf_files = field("files")
    ms["hdf", "hdf_" field("step"), "warm"] = field("ms")
    next
}
$1 == "hdf_io" { hdf_rchar = field("rchar"); hdf_apparent = field("apparent"); hdf_allocated = field("allocated") }
$1 == "skipped_mem" || $1 == "written_mem" { mem_kb[substr($1, 1, 7), field("command"), field("files")] = field("kb") }
$1 == "time" && field("xml") == "1" {
    xml_files = field("files")
    ms["xml", "xml_" field("step"), "warm"] = field("ms")
    next
}
$1 == "time" {
    n = field("big") == "1" ? "big" : field("files")
    ms[n, field("step"), field("cache")] = field("ms")
    if (!(n in seen)) { seen[n] = 1; if (n != "big") sizes[++count] = n + 0 }
}
$1 == "footprint_xml_mem" { xml_kb[++xml_mem_count] = field("kb"); xml_mem_files[xml_mem_count] = field("files") }
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
                row(n, "polys_command", "warm", "floor", t ? polys_command_limit : "")
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
    if (("xml", "xml_footprints", "warm") in ms) {
        row("xml", "xml_floor", "warm", "")
        row("xml", "xml_footprints", "warm", "xml_floor", xml_limit)
    }
    if (("hdf", "hdf_hdf_footprints", "warm") in ms) {
        row("hdf", "hdf_met_footprints", "warm", "")
        row("hdf", "hdf_hdf_footprints", "warm", "hdf_met_footprints", hdf_limit)
    }
    if (("tree", "tree_list", "warm") in ms) {
        row("tree", "tree_find", "warm", "")
        row("tree", "tree_list", "warm", "tree_find", tree_limit)
        row("tree", "tree_list_in_process", "warm", "tree_find", "")
        if (("tree", "tree_start", "warm") in ms) row("tree", "tree_start", "warm", "")
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

    if (xml_mem_count) {
        printf "\n%-11s %-24s %15s\n", "files", "footprints peak, ECS XML", "MB"
        for (i = 1; i <= xml_mem_count; i++)
            printf "%-11s %-24s %15.1f\n", xml_mem_files[i], "GeoPackage", xml_kb[i] * 1024 / 1e6
        if (xml_mem_count > 1) {
            g = (xml_kb[xml_mem_count] - xml_kb[1]) / 1024
            printf "memory growth %s to %s files, footprints over ECS XML: %.1f MiB (limit %d)\n", xml_mem_files[1], xml_mem_files[xml_mem_count], g, xml_flat_mib
            if (g > xml_flat_mib) fail(sprintf("footprints over ECS XML: memory grows by %.1f MiB from %s to %s files", g, xml_mem_files[1], xml_mem_files[xml_mem_count]))
        }
    }

    if (hdf_files != "") {
        kib = hdf_rchar / hdf_files / 1024; mark = ""
        if (kib >= hdf_read_kib) { mark = " <"; fail(sprintf("%s HDF-EOS files: footprints read %.1f KiB a file, limit %d", hdf_files, kib, hdf_read_kib)) }
        printf "\nfootprints over %s HDF-EOS files read %.1f KiB a file (limit %d; the process in all, its start included), of %.1f MiB apparent, %.1f KiB on the disk%s\n", hdf_files, kib, hdf_read_kib, hdf_apparent / hdf_files / 1048576, hdf_allocated / hdf_files / 1024, mark
    }
    # The peaks over 1,000,000 listed files against 100,000, all skipped, then all written.
    for (k = 1; k <= 2; k++) {
        kind = k == 1 ? "skipped" : "written"
        if (!((kind, "footprints", 1000000) in mem_kb)) continue
        printf "\n%-36s %15s %15s %10s\n", "peak memory, all listed " kind, "100000 MiB", "1000000 MiB", "growth"
        for (c = 1; c <= 2; c++) {
            cmd = c == 1 ? "footprints" : "stac"
            form = k == 1 ? "" : (c == 1 ? " (GeoPackage)" : " (ItemCollection)")
            a = mem_kb[kind, cmd, 100000] / 1024; b = mem_kb[kind, cmd, 1000000] / 1024; mark = ""
            if (mem_kb[kind, cmd, 100000] == "" || mem_kb[kind, cmd, 1000000] == "" || b - a > skipped_mib) { mark = " <"; fail(sprintf("aster %s: peak memory over 1,000,000 %s files %.1f MiB above 100,000, limit %d", cmd, kind, b - a, skipped_mib)) }
            printf "%-36s %15.1f %15.1f %10.1f%s\n", "aster " cmd form, a, b, diff(b, a), mark
        }
        printf "limit: growth within %d MiB\n", skipped_mib
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
}' "$results" || missed=1

if [ -s "$stac_results" ]; then
    echo
    awk -v largest="$largest" '
    BEGIN {
        static_limit = 2.00 # static catalogue / its floor
        items_limit = 2.00  # ItemCollection / aster polys
        # Peak memory growth from 20,000 scenes to the largest corpus: the table of ids (8-byte
        # slots at most three quarters full, so up to 21 bytes a scene just after it grows),
        # the names of the folder up to the 4 MiB kept in memory, and a few MiB.
        per_scene_bytes = 40
        flat_mib = 4 + (largest - 20000) * per_scene_bytes / 1048576
    }
    function field(key,   i, kv) {
        for (i = 2; i <= NF; i++) { split($i, kv, "="); if (kv[1] == key) return kv[2] }
        return ""
    }
    $1 == "mem" { ms[field("files")] = 1; st[field("files")] = field("static_kb") / 1024; it[field("files")] = field("items_kb") / 1024 }
    $1 == "time" { n = field("files"); floor = field("floor"); stat = field("static"); polys = field("polys"); items = field("items") }
    END {
        printf "%-11s %-30s %10s %-22s %10s %6s %6s\n", "files", "STAC step", "ms", "against", "ms", "ratio", "limit"
        r = stat / floor; m = r > static_limit ? " <" : ""
        if (m != "") fail[++f] = sprintf("static catalogue at %.2f x its floor, limit %.2f", r, static_limit)
        printf "%-11s %-30s %10.0f %-22s %10.0f %6.2f %6.2f%s\n", n, "static catalogue", stat, "item files + syncfs", floor, r, static_limit, m
        r = items / polys; m = r > items_limit ? " <" : ""
        if (m != "") fail[++f] = sprintf("ItemCollection at %.2f x aster polys, limit %.2f", r, items_limit)
        printf "%-11s %-30s %10.0f %-22s %10.0f %6.2f %6.2f%s\n", n, "ItemCollection", items, "aster polys", polys, r, items_limit, m
        printf "\n%-11s %-30s %15s %15s\n", "files", "STAC peak memory (GNU time)", "static MiB", "items MiB"
        for (k in ms) printf "%-11s %-30s %15.1f %15.1f\n", k, "", st[k], it[k]
        gs = st[largest] - st[20000]; gi = it[largest] - it[20000]
        printf "STAC memory growth 20000 to %d scenes: static %.1f MiB, ItemCollection %.1f MiB (limit %.1f: 4 MiB and %d bytes a scene)\n", largest, gs, gi, flat_mib, per_scene_bytes
        if (gs > flat_mib || gi > flat_mib) fail[++f] = "STAC memory grows with the number of scenes"
        for (i = 1; i <= f; i++) print "MISSED: " fail[i]
        if (f) exit 1
    }' "$stac_results" || missed=1
fi
exit "${missed:-0}"
