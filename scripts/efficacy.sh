#!/usr/bin/env bash
# What the service does to a disk in use: kestrel-efficacy runs one seeded workload on a directory drive
# without the service and with it (the real service in the same process: command thread, drive set,
# watchers and engine), time 20 times faster; this script plots the figures over time.
#
#     bash scripts/efficacy.sh [--build-dir DIR] [--out DIR] [--plot-only] [kestrel-efficacy options]
#
# Writes DIR/efficacy.csv and DIR/efficacy.png (default DIR: docs) and prints the figures. About two
# minutes with the defaults (10 nominal minutes of workload and 10 of rest, per run).
# --plot-only draws the plot again from an existing DIR/efficacy.csv.
set -euo pipefail
cd "$(dirname "$0")/.."
build= out=docs plotonly=0
args=()
while [ $# -gt 0 ]; do
    case $1 in
        --build-dir) build=$2; shift ;;
        --out) out=$2; shift ;;
        --plot-only) plotonly=1 ;;
        *) args+=("$1") ;;
    esac
    shift
done
if [ $plotonly = 0 ] && [ -z "$build" ]; then
    build=build/host
    [ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j "$(nproc)" --target kestrel-efficacy >/dev/null
fi
mkdir -p "$out"
csv=$out/efficacy.csv
# The service's console lines go to a log; the figures are the lines after "seed".
[ $plotonly = 1 ] || "$build/tools/kestrel-efficacy" "$csv" "${args[@]}" | sed -n '/^seed /,$p'

command -v gnuplot >/dev/null || { echo "gnuplot is not installed: no plot" >&2; exit 0; }
gnuplot <<PLOT
set datafile separator ","
set terminal pngcairo size 900,620 font "sans,10"
set output "$out/efficacy.png"
set multiplot layout 2,2 title "One seeded workload on a 512 MiB drive, without and with the service (nominal minutes)"
set key center right
set grid
set xlabel "minutes"
sel(run, col) = (strcol(1) eq run) ? column(col) : 1/0
set title "fragmented files"
plot "$csv" using (\$2/60):(sel("without",4)) with lines lw 2 lc rgb "#c03030" title "without", \
     "" using (\$2/60):(sel("service",4)) with lines lw 2 lc rgb "#2060c0" title "with the service"
set title "total fragments"
plot "$csv" using (\$2/60):(sel("without",5)) with lines lw 2 lc rgb "#c03030" title "without", \
     "" using (\$2/60):(sel("service",5)) with lines lw 2 lc rgb "#2060c0" title "with the service"
set title "files left to process (service)"
plot "$csv" using (\$2/60):(sel("service",6)) with lines lw 2 lc rgb "#2060c0" notitle
set title "clusters moved (service, cumulative)"
plot "$csv" using (\$2/60):(sel("service",7)) with lines lw 2 lc rgb "#2060c0" notitle
unset multiplot
PLOT
echo "wrote $csv and $out/efficacy.png"
